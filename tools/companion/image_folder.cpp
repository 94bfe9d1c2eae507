#include "tools/companion/image_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/safe_text.h"

namespace vantle::tools {

namespace fs = std::filesystem;

namespace {

constexpr size_t longestName = 200;

std::string withSuffix(const std::string& name, size_t n) {
  const fs::path path(name);
  return path.stem().string() + "-" + std::to_string(n) + path.extension().string();
}

bool writeAll(int fd, const core::Bytes& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string safeImageName(const std::optional<std::string>& suggested, size_t index) {
  const std::string fallback = "image-" + std::to_string(index) + ".jpg";
  if (!suggested) return fallback;
  std::string_view last = *suggested;
  last.remove_prefix(last.find_last_of('/') + 1);
  // Never a hidden file: with --out at home, ".bashrc" would be the user's
  // own. Dropping the leading dots also leaves nothing of "." and "..".
  last.remove_prefix(std::min(last.find_first_not_of('.'), last.size()));
  std::string name = support::withUnsafeReplaced(last, '_');
  if (name.empty() || name.size() > longestName) return fallback;
  return name;
}

std::variant<ImageFolder, ImageFolder::Failure> ImageFolder::open(fs::path folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error || !fs::is_directory(folder)) {
    return Failure{"cannot use " + folder.string() + " as the output folder: " +
                   (error ? error.message() : std::string("it is not a folder"))};
  }
  return ImageFolder(std::move(folder));
}

std::variant<std::string, ImageFolder::Failure> ImageFolder::write(const core::Bytes& data,
                                                                   const std::optional<std::string>& suggested) {
  ++count_;
  std::string name = safeImageName(suggested, count_);
  for (size_t n = 2; used_.contains(name); ++n) name = withSuffix(safeImageName(suggested, count_), n);

  // A fresh name of our own, so that nothing else is clobbered; made with
  // the user's umask like any other file.
  const std::string temporary =
      (folder_ / (".vantle-companion-" + std::to_string(getpid()) + "-" + std::to_string(count_) + ".part")).string();
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return Failure{"cannot write into " + folder_.string() + ": " + std::strerror(errno)};
  const bool written = writeAll(fd, data);
  const int writeError = errno;
  const bool closed = close(fd) == 0;
  if (!written || !closed) {
    unlink(temporary.c_str());
    return Failure{"cannot write " + name + ": " + std::strerror(written ? errno : writeError)};
  }
  if (rename(temporary.c_str(), (folder_ / name).c_str()) != 0) {
    const int renameError = errno;
    unlink(temporary.c_str());
    return Failure{"cannot write " + name + ": " + std::strerror(renameError)};
  }
  used_.insert(name);
  return name;
}

}  // namespace vantle::tools
