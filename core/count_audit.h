// Judges one folder: do its recorded visits agree with each other and with a
// fresh reading of the folder? Pure logic, used on the companion side.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/verification.h"

namespace vantle::core::CountAudit {

// One recorded visit of the folder (one closed shot).
struct Visit {
  int64_t startFrameCount = 0;
  int64_t endFrameCount = 0;
  int64_t framesAdded = 0;
  bool operator==(const Visit&) const = default;
};

// Everything recorded about one folder; `name` is used in the sentences.
struct Ledger {
  std::string path;
  std::string name;
  std::vector<Visit> visits;  // in the order of the visits

  bool operator==(const Ledger&) const = default;

  // Sum of framesAdded, clamped to the 64-bit range; 0 without visits.
  int64_t reportedFrames() const;
  // The last visit's end count; 0 without visits.
  int64_t lastKnownInFolder() const;
  // The first visit's start count: frames there before the shoot came; 0 without visits.
  int64_t alreadyThere() const;
};

// The cases of a finding, in order.
struct Verified {
  int64_t onDisk = 0;
  bool operator==(const Verified&) const = default;
};
struct RecordDisagreesWithItself {
  int64_t reported = 0;
  int64_t span = 0;
  bool operator==(const RecordDisagreesWithItself&) const = default;
};
struct VisitMissing {
  int64_t afterFrame = 0;
  int64_t nextStartsAt = 0;
  bool operator==(const VisitMissing&) const = default;
};
struct MoreInFolder {
  int64_t lastKnown = 0;
  int64_t onDisk = 0;
  bool operator==(const MoreInFolder&) const = default;
};
struct FewerInFolder {
  int64_t lastKnown = 0;
  int64_t onDisk = 0;
  bool operator==(const FewerInFolder&) const = default;
};
struct ConsistentButUnverified {
  bool operator==(const ConsistentButUnverified&) const = default;
};
struct FolderMissing {
  bool operator==(const FolderMissing&) const = default;
};
struct FolderUnreadable {
  bool operator==(const FolderUnreadable&) const = default;
};
struct NotChecked {
  bool operator==(const NotChecked&) const = default;
};

using Finding = std::variant<Verified, RecordDisagreesWithItself, VisitMissing, MoreInFolder,
                             FewerInFolder, ConsistentButUnverified, FolderMissing,
                             FolderUnreadable, NotChecked>;

// Whether the finding is a problem worth showing.
bool isProblem(const Finding& finding);

// Judges the ledger: no visits, then continuity, then self-consistency, then
// the reading. Sums and spans are judged exactly, whatever their size; a
// payload beyond the 64-bit range is clamped to its nearest end.
Finding check(const Ledger& ledger, const std::optional<FolderReading>& reading);

// The English sentence for a finding about the folder named `shotName`, or
// nullopt when the finding needs none.
std::optional<std::string> describe(const Finding& finding, const std::string& shotName);

}  // namespace vantle::core::CountAudit
