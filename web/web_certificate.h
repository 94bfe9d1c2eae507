// The browser companion's TLS identity: a self-signed ECDSA P-256
// certificate and its key, kept in a folder under the storage root.
//
// `loadOrMake` reads the pair when it is there, matches, and stays valid for
// at least `renewWithin` more; otherwise it makes a new pair (valid 397 days,
// under browsers' limit for a leaf certificate) and replaces both files,
// readable by the user alone. The certificate names `hostName`, its ".local"
// name and localhost. A browser shows the SHA-256 fingerprint of what it was
// given; `fingerprint` is the same text, so a careful user can compare them.
// Nothing here throws; a failure is a sentence naming the file.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>

namespace vantle::web {

struct WebCertificate {
  std::string certificatePem;
  std::string keyPem;
  std::string fingerprint;  // "AB:CD:…", 32 bytes of SHA-256 over the DER certificate

  static constexpr std::string_view certificateFile = "browser-certificate.pem";
  static constexpr std::string_view keyFile = "browser-key.pem";

  static std::variant<WebCertificate, std::string> loadOrMake(
      const std::filesystem::path& folder, std::string_view hostName,
      std::chrono::seconds renewWithin = std::chrono::hours(24 * 30));
};

}  // namespace vantle::web
