#include "agent/capture_path.h"

#include <system_error>

#include "core/unicode.h"

namespace vantle::agent::CapturePath {
namespace fs = std::filesystem;

namespace {

std::string withoutTrailingSeparator(std::string text) {
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

std::string canonical(const fs::path& path) {
  if (path.empty()) return {};
  std::error_code error;
  // weakly_canonical resolves the existing prefix and normalizes the rest;
  // it can still fail (a component that cannot be searched), and then the
  // lexical form is the best answer there is.
  fs::path resolved = fs::weakly_canonical(path, error);
  if (error) {
    fs::path absolute = fs::absolute(path, error);
    resolved = (error ? path : absolute).lexically_normal();
  }
  return withoutTrailingSeparator(resolved.lexically_normal().string());
}

std::string key(const std::filesystem::path& path) { return core::canonicalForm(CapturePath::canonical(path)); }

bool same(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (!a || !b) return !a && !b;
  return core::canonicallyEqual(CapturePath::canonical(*a), CapturePath::canonical(*b));
}

}  // namespace vantle::agent::CapturePath
