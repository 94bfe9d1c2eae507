// The agent's server side: listens for companions, pairs them by TLS
// pre-shared key, answers their requests and broadcasts the agent's news.
//
// It knows nothing of shots or storage: everything it needs comes through the
// closures below, which the controller installs before `start` and does not
// change afterwards. They are called on the service queue
// ("com.orvane.vantle.service"), except the two image pulls, which run one at
// a time on the pull queue ("com.orvane.vantle.service.pull"). `start`,
// `stop`, `peerCount` and `debugPort` wait for the service queue and must not
// be called from it; the broadcasts may be called from any thread and never
// block on the network. Every callback holds the service weakly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/message.h"
#include "support/serial_queue.h"

namespace vantle::net {

struct FrameThumbnail {
  core::Bytes data;
  std::string fileName;
  std::string path;
};

// The segments a subscriber missed, in sending order. The service reads
// them one at a time, on its queue, as the companion's connection takes
// them, so a long day's replay never sits in memory whole.
struct Backlog {
  std::vector<uint64_t> seqs;  // what will be sent, for the log
  // The JSON text of the next segment record (as WireSegment::encode makes
  // it, and as the storage keeps it), sent on as it is; nullopt once there
  // are no more. One that can no longer be read is skipped.
  std::function<std::optional<std::string>()> next;

  // A backlog of segments already in memory.
  static Backlog of(std::vector<core::WireSegment> segments);
};

class VantleService : public std::enable_shared_from_this<VantleService> {
 public:
  static constexpr uint16_t defaultPort = 39182;
  // Paths read in one audit, at the most.
  static constexpr size_t auditLimit = core::VantleMessage::pathsKept;
  // The largest message a companion may send. Its largest is an audit of
  // `auditLimit` paths: at most 4,096 bytes each (PATH_MAX), each byte at
  // most two in JSON (a quote or a backslash escaped; only control
  // characters, which folder names do not hold, take six), 4 MB in all;
  // nothing else it sends comes near. A peer that declares more is cut off
  // before its body is buffered, and paths past the first `auditLimit` are
  // never built.
  static constexpr size_t companionMessageLimit = auditLimit * 4096 * 2 + 64 * 1024;
  // Audits one peer may have waiting to be counted; a further one is dropped.
  static constexpr int auditsPerPeer = 2;
  // Handshakes one address (an IPv6 /64) may have under way at once; a
  // further connection from it closes its oldest one.
  static constexpr size_t handshakesPerSource = 16;

  // `preferredPort` is tried first; when it cannot be had the system assigns
  // one, unless `fallBack` is false (then starting fails). 0 asks for a
  // system-assigned port straight away.
  static std::shared_ptr<VantleService> create(uint16_t preferredPort = defaultPort, bool fallBack = true);
  ~VantleService();

  std::function<Backlog(uint64_t since)> backlog;
  std::function<uint64_t()> highestSeq;
  std::function<void(uint64_t since)> onSequenceAhead;
  // Called on the service's audit queue, one audit at a time.
  std::function<std::vector<core::FolderReading>(const std::vector<std::string>& paths)> countFolders;
  std::function<std::vector<core::ShootVerification>()> verifications;
  std::function<core::VantleSnapshot()> currentSnapshot;
  std::function<void(int peers)> onPeerCountChanged;
  std::function<core::ImagePullOutcome(bool highRes)> onRequestSelectedImage;
  std::function<core::ImagePullOutcome(const std::string& path)> onRequestFrameImage;
  std::function<std::optional<FrameThumbnail>()> latestFrameThumbnail;
  // A sentence for the user about the listener or the advertisement.
  std::function<void(const std::string& sentence)> onError;
  // The name the listener is advertised under, once DNS-SD has it (after a
  // collision, the name it was renamed to).
  std::function<void(const std::string& name)> onAdvertised;

  // Published in the DNS-SD record; set before `start`.
  void setAgentID(std::optional<std::string> agentID);

  // Drops any previous listener and peers, then listens and advertises with
  // `secret` as the pairing code. Returns the reason when not even a
  // system-assigned port could be opened; nullopt once listening.
  std::optional<std::string> start(const std::string& secret, const std::string& displayName);

  // Closes the listener and every peer, without peer-count callbacks.
  void stop();

  int peerCount();
  // The bound port, while listening.
  std::optional<uint16_t> debugPort();
  // Connections accepted whose handshake has not ended.
  size_t debugHandshakes();

  void broadcast(const core::VantleMessage& message);
  void broadcastFrameThumbnail(core::Bytes data, std::string fileName, std::string path);
  void broadcastFrameCleared();

 private:
  struct Peer;
  VantleService(uint16_t preferredPort, bool fallBack);
  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend struct Impl;
};

}  // namespace vantle::net
