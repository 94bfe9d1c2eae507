#include "core/count_audit.h"

#include "core/overloaded.h"
#include "core/saturating.h"

namespace vantle::core::CountAudit {
namespace {

Int128 exactReported(const std::vector<Visit>& visits) {
  Int128 sum = 0;
  for (const Visit& v : visits) sum += v.framesAdded;
  return sum;
}

// "1 frame", "0 frames", "-1 frames".
std::string frames(int64_t n) { return std::to_string(n) + (n == 1 ? " frame" : " frames"); }

}  // namespace

int64_t Ledger::reportedFrames() const { return clampToInt64(exactReported(visits)); }

int64_t Ledger::lastKnownInFolder() const { return visits.empty() ? 0 : visits.back().endFrameCount; }

int64_t Ledger::alreadyThere() const { return visits.empty() ? 0 : visits.front().startFrameCount; }

bool isProblem(const Finding& finding) {
  return !std::holds_alternative<Verified>(finding) &&
         !std::holds_alternative<ConsistentButUnverified>(finding) &&
         !std::holds_alternative<NotChecked>(finding);
}

Finding check(const Ledger& ledger, const std::optional<FolderReading>& reading) {
  const std::vector<Visit>& visits = ledger.visits;
  if (visits.empty()) return NotChecked{};

  for (size_t i = 1; i < visits.size(); ++i) {
    if (visits[i].startFrameCount != visits[i - 1].endFrameCount) {
      return VisitMissing{visits[i - 1].endFrameCount, visits[i].startFrameCount};
    }
  }

  // Compared in 128 bits so that counts near the 64-bit limits are judged
  // exactly rather than wrapped into agreement.
  const Int128 span = static_cast<Int128>(visits.back().endFrameCount) - visits.front().startFrameCount;
  const Int128 reported = exactReported(visits);
  if (span != reported) {
    return RecordDisagreesWithItself{clampToInt64(reported), clampToInt64(span)};
  }

  if (!reading) return ConsistentButUnverified{};
  if (!reading->exists) return FolderMissing{};
  if (!reading->readable) return FolderUnreadable{};

  const int64_t last = visits.back().endFrameCount;
  const int64_t onDisk = reading->frameCount;
  if (last < onDisk) return MoreInFolder{last, onDisk};
  if (onDisk < last) return FewerInFolder{last, onDisk};
  return Verified{onDisk};
}

std::optional<std::string> describe(const Finding& finding, const std::string& shotName) {
  const std::string& n = shotName;
  return std::visit(
      Overloaded{
          [&](const RecordDisagreesWithItself& f) -> std::optional<std::string> {
            return n + " reports " + frames(f.reported) + " but its visits only account for " +
                   frames(f.span) + ".";
          },
          [&](const VisitMissing& f) -> std::optional<std::string> {
            return n + " is missing a visit: one ended at " + std::to_string(f.afterFrame) +
                   ", the next begins at " + std::to_string(f.nextStartsAt) + ".";
          },
          [&](const MoreInFolder& f) -> std::optional<std::string> {
            return n + "'s folder holds " + frames(f.onDisk) + ", " + frames(f.lastKnown) + " recorded.";
          },
          [&](const FewerInFolder& f) -> std::optional<std::string> {
            return n + "'s folder holds " + frames(f.onDisk) + ", " + frames(f.lastKnown) +
                   " recorded \u2014 frames may have been deleted.";
          },
          [&](const FolderMissing&) -> std::optional<std::string> {
            return n + "'s folder is no longer there.";
          },
          [&](const FolderUnreadable&) -> std::optional<std::string> { return n + " could not be read."; },
          [](const auto&) -> std::optional<std::string> { return std::nullopt; },
      },
      finding);
}

}  // namespace vantle::core::CountAudit
