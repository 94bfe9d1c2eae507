// The browsers' certificate, checked by OpenSSL's own command line.
#include "web/web_certificate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "tests/support/temp_folder.h"

namespace vantle::web {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// What `command` printed on its standard output.
std::string output(const std::string& command) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  std::string text;
  char buffer[4096];
  for (size_t got; pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, got);
  if (pipe) pclose(pipe);
  return text;
}

WebCertificate loaded(const fs::path& folder, std::chrono::seconds renewWithin = std::chrono::hours(24 * 30)) {
  auto result = WebCertificate::loadOrMake(folder, "studio-mac", renewWithin);
  if (auto* why = std::get_if<std::string>(&result)) ADD_FAILURE() << *why;
  return std::get_if<WebCertificate>(&result) ? std::get<WebCertificate>(result) : WebCertificate{};
}

TEST(WebCertificate, MadeOnceAsAnEcdsaP256CertificateForTheHostAndKeptPrivate) {
  testing::TempFolder folder;
  const WebCertificate made = loaded(folder.path());
  const fs::path certificate = folder.path() / WebCertificate::certificateFile;
  const fs::path key = folder.path() / WebCertificate::keyFile;
  for (const fs::path& file : {certificate, key}) {
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0) << file;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
  }
  // What a browser would show is what the agent says.
  EXPECT_EQ(output("openssl x509 -noout -fingerprint -sha256 -in '" + certificate.string() + "'"),
            "sha256 Fingerprint=" + made.fingerprint + "\n");
  const std::string text = output("openssl x509 -noout -text -in '" + certificate.string() + "'");
  EXPECT_THAT(text, HasSubstr("prime256v1"));
  EXPECT_THAT(text, HasSubstr("DNS:studio-mac, DNS:studio-mac.local, DNS:localhost"));
  EXPECT_THAT(text, HasSubstr("TLS Web Server Authentication"));
  EXPECT_EQ(output("openssl pkey -in '" + key.string() + "' -pubout"),
            output("openssl x509 -noout -pubkey -in '" + certificate.string() + "'"));

  // The next launch keeps it: browsers that accepted it once are not asked again.
  const WebCertificate again = loaded(folder.path());
  EXPECT_EQ(again.fingerprint, made.fingerprint);
  EXPECT_EQ(again.keyPem, made.keyPem);
}

TEST(WebCertificate, OneAboutToExpireNotMatchingItsKeyOrDamagedIsMadeAgain) {
  testing::TempFolder folder;
  const fs::path certificate = folder.path() / WebCertificate::certificateFile;
  const fs::path key = folder.path() / WebCertificate::keyFile;
  // A day left: renewed a month ahead.
  output("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=old -keyout '" +
         key.string() + "' -out '" + certificate.string() + "'");
  const std::string expiring = output("openssl x509 -noout -fingerprint -sha256 -in '" + certificate.string() + "'");
  ASSERT_THAT(expiring, HasSubstr("Fingerprint="));
  const WebCertificate renewed = loaded(folder.path());
  EXPECT_EQ(expiring.find(renewed.fingerprint), std::string::npos);

  // Another key beside it.
  output("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '" + key.string() + "'");
  const WebCertificate rekeyed = loaded(folder.path());
  EXPECT_NE(rekeyed.fingerprint, renewed.fingerprint);

  testing::TempFolder::writeAt(certificate, {'-', '-', '-'});
  EXPECT_NE(loaded(folder.path()).fingerprint, rekeyed.fingerprint);
}

TEST(WebCertificate, AFolderThatCannotBeWrittenIsSaidNotIgnored) {
  testing::TempFolder folder;
  testing::TempFolder::writeAt(folder.path() / "file", {'x'});
  const auto result = WebCertificate::loadOrMake(folder.path() / "file" / "web", "studio-mac");
  ASSERT_TRUE(std::holds_alternative<std::string>(result));
  EXPECT_THAT(std::get<std::string>(result), HasSubstr("file/web"));
}

}  // namespace
}  // namespace vantle::web
