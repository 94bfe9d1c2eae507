#include "agent/storage/agent_storage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>

#include <nlohmann/json.hpp>

#include "agent/capture_path.h"
#include "agent/storage/durable_file.h"
#include "agent/storage/storage_root.h"
#include "support/log.h"
#include "support/random_uuid.h"

namespace vantle::agent {
namespace {

constexpr std::string_view kLog = "storage";

const std::string kSegments = "segments.jsonl";
const std::string kVerifications = "verifications.jsonl";
const std::string kNextSeq = "next-seq.txt";
const std::string kAgentID = "agent-id.txt";
const std::string kCurrentShoot = "current-shoot.txt";
const std::string kSessions = "sessions.json";
const std::string kLoginItemOffered = "login-item-offered.txt";

std::string trimmed(std::string_view text) {
  constexpr std::string_view space = " \t\n\r\v\f";
  const size_t first = text.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(space) - first + 1));
}

// Decimal digits with an optional "+" (or "-" before a zero), nothing else,
// within 64 bits.
std::optional<uint64_t> parseCounter(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (negative && value != 0) return std::nullopt;
  return value;
}

std::map<std::string, std::string> decodeSessions(const std::optional<std::string>& text) {
  std::map<std::string, std::string> table;
  const std::optional<core::Json> json = text ? core::VantleCoding::parse(*text) : std::nullopt;
  if (!json || !json->is_object()) return table;
  for (const auto& [key, value] : json->items()) {
    if (!value.is_string()) return {};
    table.emplace(key, value.get<std::string>());
  }
  return table;
}

}  // namespace

AgentStorage::AgentStorage(std::filesystem::path root, const Clock& clock)
    : queue_("com.orvane.vantle.storage"), root_(std::move(root)), clock_(clock), segmentLog_(root_ / kSegments) {
  std::error_code error;
  std::filesystem::create_directories(root_, error);
  if (error) support::log::error(kLog, "could not create the storage root " + root_.string() + ": " + error.message());
}

const std::shared_ptr<AgentStorage>& AgentStorage::shared() {
  // Deliberately never destroyed: queued appends may still run at exit.
  static const auto* storage = new std::shared_ptr<AgentStorage>(
      std::make_shared<AgentStorage>(StorageRoot::resolve(StorageRoot::processEnvironment())));
  return *storage;
}

std::vector<core::WireSegment> AgentStorage::segments(uint64_t since) { return segmentLog_.since(since); }

std::vector<core::WireSegment> AgentStorage::allSegments() { return segmentLog_.since(0); }

std::vector<core::WireSegment> AgentStorage::segments(const std::optional<std::string>& inShoot) {
  if (!inShoot) return {};
  return segmentLog_.inShoot(*inShoot);
}

uint64_t AgentStorage::highestSeq() { return std::max(readSeqFile().value_or(0), segmentLog_.highestSeq()); }

uint64_t AgentStorage::reserveSeq() {
  return queue_.sync([this] {
    // Above every stored segment too: a counter put back from an older copy,
    // or whose last write failed, must not hand out a number again.
    const uint64_t base = std::max(readSeqFile().value_or(0), segmentLog_.highestSeq());
    if (base == std::numeric_limits<uint64_t>::max()) {
      // Wrapping would restart at 0, which means "none"; stay at the top.
      support::log::error(kLog, "the sequence counter is at its limit");
      return base;
    }
    writeSeqFile(base + 1);
    return base + 1;
  });
}

bool AgentStorage::adopt(uint64_t minimumSeq) {
  if (minimumSeq > highestPlausibleSeq) {
    support::log::error(kLog, "a companion holds seq " + std::to_string(minimumSeq) +
                                  ", which no agent can have issued; the numbering goes on from where it is");
    return false;
  }
  return queue_.sync([this, minimumSeq] {
    const uint64_t current = std::max(readSeqFile().value_or(0), segmentLog_.highestSeq());
    if (minimumSeq <= current) return false;
    writeSeqFile(minimumSeq);
    return true;
  });
}

void AgentStorage::appendSegment(const core::WireSegment& segment) {
  queue_.post([self = shared_from_this(), segment] { self->appendLine(kSegments, segment.encode()); });
}

void AgentStorage::appendVerification(const core::ShootVerification& verification) {
  queue_.post([self = shared_from_this(), verification] { self->appendLine(kVerifications, verification.encode()); });
}

std::vector<core::ShootVerification> AgentStorage::verifications() {
  return queue_.sync([this] {
    std::vector<core::ShootVerification> kept;  // in order of each shoot's first line
    std::map<std::string, size_t> slotOfShoot;
    const std::string text = DurableFile::read(fileAt(kVerifications)).value_or("");
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = std::min(text.find('\n', start), text.size());
      const std::string_view line(text.data() + start, end - start);
      start = end + 1;
      if (line.empty()) continue;
      const std::optional<core::Json> json = core::VantleCoding::parse(line);
      if (!json) continue;
      std::optional<core::ShootVerification> verification = core::ShootVerification::decode(*json, clock_.now());
      if (!verification) continue;
      const auto [slot, isNew] = slotOfShoot.emplace(verification->shootID, kept.size());
      if (isNew) {
        kept.push_back(std::move(*verification));
      } else if (!(kept[slot->second].at > verification->at)) {
        kept[slot->second] = std::move(*verification);  // later line wins a tie
      }
    }
    std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.at < b.at; });
    return kept;
  });
}

void AgentStorage::flush() {
  queue_.sync([] {});
}

std::string AgentStorage::agentID() {
  // What the file says: the stored ID; nothing, when a new one is due; or
  // the error of a file that is there but cannot be read.
  struct Found {
    std::optional<std::string> id;
    int error = 0;
  };
  const auto look = [this]() -> Found {
    int error = 0;
    const std::optional<std::string> text = DurableFile::read(fileAt(kAgentID), &error);
    if (!text && error != ENOENT) return {std::nullopt, error};
    std::string id = trimmed(text.value_or(""));
    const bool hasHistory = readSeqFile().has_value() || segmentLog_.highestSeq() != 0;
    if (id.empty() || !hasHistory) return {};
    return {std::move(id), 0};
  };
  // The ID to answer with, remembered for this run; nullopt when a new one is due.
  const auto settle = [this](const Found& found) -> std::optional<std::string> {
    std::lock_guard lock(agentIDLock_);
    if (found.id) return agentID_ = found.id;
    if (found.error == 0) return std::nullopt;
    // Only a missing file may be replaced: this one holds the identity the
    // companions know. Keep the one of this run and read again next time.
    support::log::error(kLog, "could not read " + fileAt(kAgentID).string() + ": " + std::strerror(found.error) +
                                  "; the agent ID is not renewed");
    if (!agentID_) agentID_ = support::randomUUID();
    return agentID_;
  };
  if (auto id = settle(look())) return *id;
  // Renewed on the queue, so two callers racing here agree on one new ID.
  return queue_.sync([&] {
    if (auto id = settle(look())) return *id;
    std::string id = support::randomUUID();
    write(kAgentID, id);
    // A counter of 0 ties the new ID to the history that starts now: without
    // it the next caller would find no history and issue yet another ID, and
    // the first run would stamp two identities.
    if (!readSeqFile() && segmentLog_.highestSeq() == 0) writeSeqFile(0);
    return *settle({id, 0});
  });
}

std::optional<std::string> AgentStorage::currentShootID() {
  std::string id = trimmed(DurableFile::read(fileAt(kCurrentShoot)).value_or(""));
  if (id.empty()) return std::nullopt;
  return id;
}

void AgentStorage::setCurrentShootID(const std::optional<std::string>& shootID) {
  queue_.sync([&] {
    const std::filesystem::path file = fileAt(kCurrentShoot);
    if (!isSafe(file)) {
      support::log::error(kLog, "refused to write " + file.string() + ": it leads outside the storage root");
      return;
    }
    write(kCurrentShoot, shootID.value_or(""));
  });
}

std::string AgentStorage::sessionID(const std::string& forSessionAt) {
  return queue_.sync([&] {
    if (!sessionTable_) sessionTable_ = decodeSessions(DurableFile::read(fileAt(kSessions)));
    const std::string key = CapturePath::canonical(forSessionAt);
    if (const auto found = sessionTable_->find(key); found != sessionTable_->end()) return found->second;

    std::string id = support::randomUUID();
    sessionTable_->emplace(key, id);
    core::Json table = core::Json::object();
    for (const auto& [path, sessionID] : *sessionTable_) table[path] = sessionID;
    write(kSessions, core::VantleCoding::dump(table));
    return id;
  });
}

bool AgentStorage::hasOfferedLoginItem() {
  std::error_code error;
  return std::filesystem::exists(fileAt(kLoginItemOffered), error);
}

void AgentStorage::markLoginItemOffered() { write(kLoginItemOffered, "1"); }

bool AgentStorage::isSafe(const std::filesystem::path& path) const { return StorageRoot::contains(root_, path); }

std::optional<uint64_t> AgentStorage::readSeqFile() const {
  const std::optional<std::string> text = DurableFile::read(fileAt(kNextSeq));
  if (!text) return std::nullopt;
  const std::string counter = trimmed(*text);
  if (counter.empty()) return std::nullopt;
  return parseCounter(counter);
}

void AgentStorage::writeSeqFile(uint64_t seq) const { write(kNextSeq, std::to_string(seq)); }

void AgentStorage::appendLine(const std::string& fileName, const core::Json& record) const {
  VANTLE_ON_QUEUE(queue_);
  const std::filesystem::path file = fileAt(fileName);
  if (!isSafe(file)) {
    support::log::error(kLog, "refused to append to " + file.string() + ": it leads outside the storage root");
    return;
  }
  std::string line = core::VantleCoding::dump(record);
  line.push_back('\n');
  const DurableFile::AppendResult result = DurableFile::appendLine(file, line);
  if (result.outcome == DurableFile::AppendOutcome::failed) {
    support::log::error(kLog, "a record was not stored: " + result.reason);
  }
}

bool AgentStorage::write(const std::string& fileName, const std::string& content) const {
  if (const auto reason = DurableFile::writeAtomically(fileAt(fileName), content)) {
    support::log::error(kLog, *reason);
    return false;
  }
  return true;
}

}  // namespace vantle::agent
