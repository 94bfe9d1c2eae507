#include "web/web_access.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>

#include "support/user_files.h"

namespace vantle::web {

namespace {

constexpr size_t kSecretBytes = 16;

bool looksLikeToken(std::string_view text) {
  return text.size() == 2 * kSecretBytes &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

bool sameSecret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string WebAccess::randomSecret() {
  unsigned char bytes[kSecretBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return {};
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

std::optional<std::string> WebAccess::loadOrMakeToken(const std::filesystem::path& folder, std::string* problem) {
  if (const auto kept = support::readSmallFile(folder / tokenFile, 256)) {
    std::string text = *kept;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (looksLikeToken(text)) return text;
  }
  return makeToken(folder, problem);
}

std::optional<std::string> WebAccess::makeToken(const std::filesystem::path& folder, std::string* problem) {
  std::string token = randomSecret();
  if (token.empty()) {
    if (problem) *problem = "the system's random source failed; browsers cannot be given an address";
    return std::nullopt;
  }
  if (const auto failed = support::replaceFile(folder / tokenFile, token + "\n", 0600); failed && problem) {
    *problem = *failed;
  }
  return token;
}

WebAccess::WebAccess(std::string token) : token_(std::move(token)) {}

std::string WebAccess::token() const {
  std::lock_guard lock(mutex_);
  return token_;
}

uint64_t WebAccess::renew(std::string token) {
  std::lock_guard lock(mutex_);
  token_ = std::move(token);
  sessions_.clear();
  return ++generation_;
}

uint64_t WebAccess::generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

std::optional<std::string> WebAccess::openSession(std::string_view offered) {
  std::lock_guard lock(mutex_);
  if (token_.empty() || !sameSecret(offered, token_)) return std::nullopt;
  std::string secret = randomSecret();
  if (secret.empty()) return std::nullopt;
  if (sessions_.size() >= sessionLimit) {
    sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(),
                                     [](const Session& a, const Session& b) { return a.lastUse < b.lastUse; }));
  }
  sessions_.push_back({secret, ++uses_});
  return secret;
}

bool WebAccess::admits(std::string_view session) {
  std::lock_guard lock(mutex_);
  // Every open session is compared, so the time taken says nothing of which matched.
  Session* found = nullptr;
  for (Session& candidate : sessions_) {
    if (sameSecret(session, candidate.secret)) found = &candidate;
  }
  if (!found) return false;
  found->lastUse = ++uses_;
  return true;
}

size_t WebAccess::sessionCount() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

}  // namespace vantle::web
