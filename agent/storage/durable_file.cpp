#include "agent/storage/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/storage/descriptor.h"

namespace vantle::agent::DurableFile {
namespace {

std::string failure(std::string_view what, const std::filesystem::path& file, int error) {
  return std::string(what) + " " + file.string() + ": " + std::strerror(error);
}

// Writes all of `bytes`, continuing after short writes and interruptions.
bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Makes a rename or a new entry in `folder` durable. Some file systems do
// not sync folders; the entry is in place either way, so failures are not
// reported.
void syncFolder(const std::filesystem::path& folder) {
  Descriptor dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace

std::optional<std::string> read(const std::filesystem::path& file, int* error) {
  const auto failed = [error]() -> std::optional<std::string> {
    if (error) *error = errno;
    return std::nullopt;
  };
  Descriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return failed();
  std::string content;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return failed();
    }
    if (n == 0) return content;
    content.append(buffer, static_cast<size_t>(n));
  }
}

std::optional<std::string> writeAtomically(const std::filesystem::path& file, std::string_view content) {
  const std::filesystem::path folder = file.parent_path();
  std::string temporary = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
  Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.valid()) return failure("could not create a temporary file beside", file, errno);

  const auto abandon = [&](std::string_view what) {
    const int error = errno;
    if (fd.valid()) fd.close();
    ::unlink(temporary.c_str());
    return failure(what, file, error);
  };
  if (!writeAll(fd.get(), content)) return abandon("could not write");
  if (::fsync(fd.get()) != 0) return abandon("could not sync");
  if (!fd.close()) return abandon("could not close the new content of");
  if (::rename(temporary.c_str(), file.c_str()) != 0) return abandon("could not replace");
  syncFolder(folder);
  return std::nullopt;
}

AppendResult appendLine(const std::filesystem::path& file, std::string_view line) {
  Descriptor fd(::open(file.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno != ENOENT) {
      return {AppendOutcome::failed, "could not open " + file.string() + " for appending: " +
                                         std::strerror(errno) + "; the file is kept as it is"};
    }
    if (auto reason = writeAtomically(file, line)) return {AppendOutcome::failed, std::move(*reason)};
    return {AppendOutcome::created, {}};
  }

  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return {AppendOutcome::failed, failure("could not inspect", file, errno)};
  std::string bytes;
  if (info.st_size > 0) {
    char last = '\n';
    if (::pread(fd.get(), &last, 1, info.st_size - 1) != 1) {
      return {AppendOutcome::failed, failure("could not read the end of", file, errno)};
    }
    // A crash mid-append leaves a torn last line; end it so the new record
    // starts a line of its own.
    if (last != '\n') bytes.push_back('\n');
  }
  bytes.append(line);

  if (!writeAll(fd.get(), bytes)) return {AppendOutcome::failed, failure("could not append to", file, errno)};
  if (::fdatasync(fd.get()) != 0) return {AppendOutcome::failed, failure("could not sync", file, errno)};
  fd.close();  // the data is synced; a late close error changes nothing
  return {AppendOutcome::appended, {}};
}

}  // namespace vantle::agent::DurableFile
