#include "support/user_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vantle::support {
namespace {

std::optional<std::filesystem::path> absoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || value[0] != '/') return std::nullopt;
  return std::filesystem::path(value);
}

std::optional<std::filesystem::path> homeFolder() {
  if (auto home = absoluteFromEnvironment("HOME")) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
      found->pw_dir[0] == '/') {
    return std::filesystem::path(found->pw_dir);
  }
  return std::nullopt;
}

std::string failureFor(std::string_view what, const std::filesystem::path& path, int error) {
  return std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

// Makes the rename durable: the folder entry must reach the disk too.
void syncFolder(const std::filesystem::path& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool writeAll(int fd, std::string_view contents) {
  while (!contents.empty()) {
    const ssize_t written = write(fd, contents.data(), contents.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    contents.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

std::optional<std::filesystem::path> configHome() {
  if (auto config = absoluteFromEnvironment("XDG_CONFIG_HOME")) return config;
  if (auto home = homeFolder()) return *home / ".config";
  return std::nullopt;
}

std::optional<std::filesystem::path> stateHome() {
  if (auto state = absoluteFromEnvironment("XDG_STATE_HOME")) return state;
  if (auto home = homeFolder()) return *home / ".local" / "state";
  return std::nullopt;
}

// Non-blocking open, so a FIFO planted in place of the file cannot stall us.
std::optional<std::string> readSmallFile(const std::filesystem::path& file, size_t limit) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> contents;
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<size_t>(info.st_size) <= limit) {
    std::string text;
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 || text.size() + static_cast<size_t>(got) > limit) break;
      if (got == 0) {
        contents = std::move(text);
        break;
      }
      text.append(buffer, static_cast<size_t>(got));
    }
  }
  close(fd);
  return contents;
}

std::optional<std::string> replaceFile(const std::filesystem::path& file, std::string_view contents, mode_t mode) {
  const std::filesystem::path folder = file.parent_path();
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return "Cannot create the folder " + folder.string() + ": " + error.message();

  std::string hidden = ".";
  hidden += file.filename().string();
  hidden += ".XXXXXX";
  std::string temporary = (folder / hidden).string();
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return failureFor("Cannot write in", folder, errno);
  fchmod(fd, mode);
  const bool written = writeAll(fd, contents) && fsync(fd) == 0;
  const int writeError = errno;
  close(fd);
  if (!written) {
    unlink(temporary.c_str());
    return failureFor("Cannot write", file, writeError);
  }
  if (rename(temporary.c_str(), file.c_str()) != 0) {
    const int renameError = errno;
    unlink(temporary.c_str());
    return failureFor("Cannot replace", file, renameError);
  }
  syncFolder(folder);
  return std::nullopt;
}

}  // namespace vantle::support
