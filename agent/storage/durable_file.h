// Whole-file writes and line appends that survive a crash of the process or
// of the machine.
//
// A whole-file write goes to a temporary file in the same folder, is synced,
// renamed over the target and the folder is synced: afterwards the target
// holds either the old or the new content, never a mixture. An append is one
// write to a file opened with O_APPEND followed by fdatasync, so every line
// that was appended before a crash reads back whole.
//
// These are plain functions on the caller's thread; the storage calls the
// writing ones only from its queue. None throws: a failure is reported as a
// short English sentence naming the file and the system's reason.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantle::agent::DurableFile {

// The whole content of `file`; nullopt when it is missing or unreadable,
// with the system's error number in `error` when given (ENOENT: missing).
std::optional<std::string> read(const std::filesystem::path& file, int* error = nullptr);

// Replaces `file` with `content` atomically and durably. Returns nullopt on
// success, else why it failed (the previous file is then left as it was).
std::optional<std::string> writeAtomically(const std::filesystem::path& file, std::string_view content);

enum class AppendOutcome {
  appended,     // `line` is at the end of the existing file and synced
  created,      // there was no file: it was written whole, holding `line` alone
  failed,       // nothing was changed; see the reason
};

struct AppendResult {
  AppendOutcome outcome;
  std::string reason;  // empty unless failed
};

// Appends `line` (which ends with "\n") to `file`. A file that ends in a torn
// line (one left without its "\n" by a crash) gets that "\n" first, in the
// same write, so the new line never merges into the torn one. An existing
// file that cannot be opened for appending is never replaced: that is a
// failure, and the file keeps its history.
AppendResult appendLine(const std::filesystem::path& file, std::string_view line);

}  // namespace vantle::agent::DurableFile
