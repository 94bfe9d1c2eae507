// The small enumerations that the snapshot and other records carry.
//
// Each travels in JSON as the text of its case name; EnumText gives the
// names (caseName, caseNamed).
#pragma once

#include <cstdint>

#include "core/enum_text.h"

namespace vantle::core {

// The protocol version the agent writes into snapshots and its DNS-SD record.
inline constexpr int64_t vantleProtocolVersion = 1;

// The result of the last reading of the designation.
enum class AgentStatus {
  ok,
  captureOneNotRunning,
  noDocument,
  catalogNotSupported,
  permissionDenied,
  folderUnreadable,
};

// Where the designated folder comes from: the capture application, or a folder
// the user chose to watch.
enum class SourceKind { designation, observed };

// How the designated folder is watched: file-system events, or polling.
enum class WatchMode { fsevents, polling };

// The kind of the capture application's open document.
enum class DocumentKind { session, catalog };

template <>
struct EnumText<AgentStatus> {
  static constexpr std::array<std::string_view, 6> names{
      "ok", "captureOneNotRunning", "noDocument", "catalogNotSupported", "permissionDenied", "folderUnreadable"};
};
template <>
struct EnumText<SourceKind> {
  static constexpr std::array<std::string_view, 2> names{"designation", "observed"};
};
template <>
struct EnumText<WatchMode> {
  static constexpr std::array<std::string_view, 2> names{"fsevents", "polling"};
};
template <>
struct EnumText<DocumentKind> {
  static constexpr std::array<std::string_view, 2> names{"session", "catalog"};
};

}  // namespace vantle::core
