#include "web/web_certificate.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <functional>
#include <memory>
#include <optional>

#include "support/user_files.h"

namespace vantle::web {

namespace {

constexpr long validDays = 397;

struct Free {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(X509* certificate) const { X509_free(certificate); }
  void operator()(BIO* bio) const { BIO_free(bio); }
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Certificate = std::unique_ptr<X509, Free>;
using Bio = std::unique_ptr<BIO, Free>;

std::string pemOf(const std::function<int(BIO*)>& write) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) return {};
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

std::string fingerprintOf(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return {};
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    if (i) text += ':';
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 15];
  }
  return text;
}

// The pair in `certificatePem` and `keyPem`, when both parse, belong
// together and stay valid for `renewWithin` more.
std::optional<WebCertificate> usable(const std::string& certificatePem, const std::string& keyPem,
                                     std::chrono::seconds renewWithin) {
  Bio certificateBio(BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())));
  Bio keyBio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())));
  Certificate certificate(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
  Key key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  if (!certificate || !key || X509_check_private_key(certificate.get(), key.get()) != 1) return std::nullopt;
  time_t until = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() + renewWithin);
  if (X509_cmp_time(X509_get0_notAfter(certificate.get()), &until) <= 0) return std::nullopt;
  if (X509_cmp_current_time(X509_get0_notBefore(certificate.get())) > 0) return std::nullopt;
  return WebCertificate{certificatePem, keyPem, fingerprintOf(certificate.get())};
}

std::variant<WebCertificate, std::string> make(std::string_view hostName) {
  Key key(EVP_EC_gen("P-256"));
  Certificate certificate(X509_new());
  if (!key || !certificate) return std::string("The browsers' certificate could not be made: no key.");
  X509_set_version(certificate.get(), 2);
  // A random serial: browsers remember a certificate by issuer and serial.
  unsigned char serial[16];
  BIGNUM* number = nullptr;
  if (RAND_bytes(serial, sizeof serial) == 1) number = BN_bin2bn(serial, sizeof serial, nullptr);
  if (number) {
    BN_clear_bit(number, 127);  // positive, as a serial must be
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
  }
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60 * 60);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), validDays * 24 * 60 * 60);
  X509_set_pubkey(certificate.get(), key.get());
  X509_NAME* name = X509_get_subject_name(certificate.get());
  const std::string host(hostName.empty() ? "localhost" : hostName);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Orvane Vantle"), -1, -1,
                             0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1,
                             0);
  X509_set_issuer_name(certificate.get(), name);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
  const std::string names = "DNS:" + host + ",DNS:" + host + ".local,DNS:localhost,IP:127.0.0.1,IP:::1";
  for (const auto& [nid, value] :
       {std::pair{NID_subject_alt_name, names}, std::pair{NID_basic_constraints, std::string("critical,CA:FALSE")},
        std::pair{NID_ext_key_usage, std::string("serverAuth")}}) {
    std::unique_ptr<X509_EXTENSION, Free> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    if (extension) X509_add_ext(certificate.get(), extension.get(), -1);
  }
  if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0) {
    return std::string("The browsers' certificate could not be signed.");
  }
  const std::string certificatePem = pemOf([&](BIO* bio) { return PEM_write_bio_X509(bio, certificate.get()); });
  const std::string keyPem =
      pemOf([&](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
  return WebCertificate{certificatePem, keyPem, fingerprintOf(certificate.get())};
}

}  // namespace

std::variant<WebCertificate, std::string> WebCertificate::loadOrMake(const std::filesystem::path& folder,
                                                                     std::string_view hostName,
                                                                     std::chrono::seconds renewWithin) {
  const std::filesystem::path certificatePath = folder / certificateFile, keyPath = folder / keyFile;
  const auto certificatePem = support::readSmallFile(certificatePath, 64 * 1024);
  const auto keyPem = support::readSmallFile(keyPath, 64 * 1024);
  if (certificatePem && keyPem) {
    if (auto kept = usable(*certificatePem, *keyPem, renewWithin)) return *kept;
  }
  auto made = make(hostName);
  auto* fresh = std::get_if<WebCertificate>(&made);
  if (!fresh) return made;
  // The key first: a certificate never stands beside a key it does not match for long.
  if (auto why = support::replaceFile(keyPath, fresh->keyPem, 0600)) return *why;
  if (auto why = support::replaceFile(certificatePath, fresh->certificatePem, 0600)) return *why;
  return made;
}

}  // namespace vantle::web
