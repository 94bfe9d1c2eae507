// Who may follow the shoot in a browser: one access token, and the sessions
// pages trade it for.
//
// The token is 128 secure random bits written as 32 lower-case hex digits;
// it travels in the browser QR code's address. A page that shows it gets a
// session: another 128 random bits, which the page keeps as a cookie. At
// most `sessionLimit` sessions live at once; opening one more ends the one
// used longest ago. `renew` ("New Pairing Code") makes a new token and ends
// every session.
//
// The token is kept under the storage root, readable by the user alone, so
// that a screen following the shoot reconnects by itself after the agent
// restarts; it changes only when the user asks for a new pairing code.
//
// Secrets are compared in constant time. Thread-safe: the web server's
// thread checks while the main thread renews.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantle::web {

class WebAccess {
 public:
  static constexpr size_t sessionLimit = 32;
  static constexpr std::string_view tokenFile = "browser-token";

  // 128 secure random bits as 32 hex digits; empty only when the system's
  // random source fails.
  static std::string randomSecret();

  // The token kept in `folder`, or a new one written there (0600). Nullopt
  // only when no token can be made; a token that cannot be kept still works
  // until the agent stops, and `problem` says why it was not kept.
  static std::optional<std::string> loadOrMakeToken(const std::filesystem::path& folder, std::string* problem);
  // A new token written to `folder`, replacing the old one.
  static std::optional<std::string> makeToken(const std::filesystem::path& folder, std::string* problem);

  explicit WebAccess(std::string token = {});

  std::string token() const;
  // A new token; every session ends. Returns the generation it starts.
  uint64_t renew(std::string token);
  // Changes with every renewal: a stream opened under an older generation
  // has lost its session.
  uint64_t generation() const;

  // A new session when `offered` is the token, else nullopt. Ends the
  // longest-unused session when `sessionLimit` are open.
  std::optional<std::string> openSession(std::string_view offered);
  // Whether `session` is open now; marks it used.
  bool admits(std::string_view session);
  size_t sessionCount() const;

 private:
  struct Session {
    std::string secret;
    uint64_t lastUse = 0;
  };
  mutable std::mutex mutex_;
  std::string token_;
  uint64_t generation_ = 1;
  uint64_t uses_ = 0;  // a logical clock for "used longest ago"
  std::vector<Session> sessions_;
};

// Whether two secrets are equal, in time that depends on their lengths only.
bool sameSecret(std::string_view a, std::string_view b);

}  // namespace vantle::web
