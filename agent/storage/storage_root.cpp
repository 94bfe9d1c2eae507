#include "agent/storage/storage_root.h"

#include <cstdlib>
#include <system_error>

namespace vantle::agent::StorageRoot {

Environment processEnvironment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

namespace {

std::filesystem::path chosenRoot(const Environment& environment) {
  if (auto override = environment("VANTLE_STORAGE_ROOT"); override && !override->empty()) {
    return std::filesystem::path(*override);
  }
  // The XDG rule: a relative XDG_DATA_HOME is invalid and ignored.
  if (auto data = environment("XDG_DATA_HOME"); data && std::filesystem::path(*data).is_absolute()) {
    return std::filesystem::path(*data) / "OrvaneVantle";
  }
  if (auto home = environment("HOME"); home && !home->empty()) {
    return std::filesystem::path(*home) / ".local" / "share" / "OrvaneVantle";
  }
  std::error_code error;
  std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
  if (error) temporary = "/tmp";
  return temporary / "OrvaneVantle";
}

}  // namespace

std::filesystem::path resolve(const Environment& environment) {
  // Made absolute now: paths under the root go to other processes (the
  // capture application writes proofs there), which would resolve a
  // relative one against their own working folder.
  const std::filesystem::path root = chosenRoot(environment);
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(root, error);
  return error ? root : absolute;
}

std::string canonicalStoragePath(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
  if (error) resolved = std::filesystem::absolute(path, error);
  std::string text = resolved.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

bool contains(const std::filesystem::path& root, const std::filesystem::path& path) {
  const std::string base = canonicalStoragePath(root);
  const std::string candidate = canonicalStoragePath(path);
  if (candidate == base) return true;
  // The root "/" holds everything; any other root needs its separator.
  const std::string prefix = base == "/" ? base : base + "/";
  return candidate.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace vantle::agent::StorageRoot
