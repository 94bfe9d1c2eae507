// The companion side of the protocol, for every companion of the family.
//
// Browses for agents by DNS-SD, connects to one with its pairing code, tells
// a refused code from a network problem, retries with growing delays
// (1, 2, 4, 8, 15, 15 ... seconds) and turns the agent's messages into
// callbacks. A failure before TCP is connected (nothing listening, no route,
// time-out) is a network problem and is retried. With a code that has never
// worked, a failure after TCP connected and before the TLS handshake finished
// means the code was refused. A code that has worked is refused only by the
// handshake's verdict (an alert, a failed handshake); a reset or an end of
// stream in its handshake is a network problem, retried without limit. A
// refused code stays refused until clearRejection or a connect with another
// code or agent.
//
// Every callback runs on the client queue ("com.orvane.vantle.client"); an
// application hops to its own interface thread itself. Install callbacks
// before the first call. Every method may be called from any thread, the
// client's own callbacks included; the work happens on the queue. connect,
// clearRejection, disconnect and the requests only post their work and
// return at once. startBrowsing, stopBrowsing, state and remoteAddress act
// on the queue before they return: from another thread they wait for it,
// after whatever was posted before them (state() after disconnect() is idle,
// and no callback of the old connection follows); from a callback they act
// in place, so a state change they make is reported (onStateChange, nested)
// before they return. Timers hold the client weakly.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/message.h"

namespace vantle::net {

// Where an agent can be reached: a numeric address or host name and a port,
// and the DNS-SD instance name when it was found by browsing. With a name,
// every attempt looks it up again and goes where it resolves to now; the
// address and port are only where browsing saw it (and choose the address
// family asked for). With a name and an `agentID`, the name must still be
// advertised with that ID: another computer may take the name once the agent
// is gone, and an attempt on it fails before any handshake, which would hand
// it a transcript to search the code in.
struct Endpoint {
  std::string host;
  uint16_t port = 0;
  std::optional<std::string> serviceName;
  std::optional<std::string> agentID;

  bool operator==(const Endpoint&) const = default;
  std::string description() const;
};

struct DiscoveredAgent {
  std::string id;    // the DNS-SD instance name
  std::string name;  // the record's "name", else the instance name
  std::optional<std::string> agentID;
  Endpoint endpoint;
  bool operator==(const DiscoveredAgent&) const = default;
};

struct VantleConnectionState {
  enum class Kind { failed, idle, browsing, connecting, reconnecting, connected, rejected };
  Kind kind = Kind::idle;
  std::string reason;  // for failed

  bool operator==(const VantleConnectionState&) const = default;
  bool isConnected() const { return kind == Kind::connected; }
  std::string description() const;

  static VantleConnectionState of(Kind kind) { return {kind, {}}; }
  static VantleConnectionState failedWith(std::string reason) { return {Kind::failed, std::move(reason)}; }
};

class VantleClient : public std::enable_shared_from_this<VantleClient> {
 public:
  struct Timing {
    double attemptDeadline = 6;   // seconds an attempt may take to become ready
    double firstRetryDelay = 1;
    double maximumRetryDelay = 15;
  };

  static std::shared_ptr<VantleClient> create();
  static std::shared_ptr<VantleClient> create(Timing timing);
  ~VantleClient();

  std::function<void(const core::VantleSnapshot&)> onSnapshot;
  std::function<void(const core::WireSegment&)> onSegment;
  std::function<void(const std::vector<core::FolderReading>&)> onAudit;
  std::function<void(const core::ShootVerification&)> onVerification;
  std::function<void(const core::Bytes&, const std::optional<std::string>& fileName)> onSelectedImageData;
  std::function<void(const std::string& reason)> onSelectedImageUnavailable;
  std::function<void(const core::Bytes&, const std::string& fileName, const std::string& path)> onFrameThumbnail;
  std::function<void()> onFrameCleared;
  std::function<void(const VantleConnectionState&)> onStateChange;
  std::function<void(const std::vector<DiscoveredAgent>&)> onAgentsChanged;
  std::function<void(const std::string& address, uint16_t port)> onRemoteAddress;

  // (Re)starts browsing; the state becomes browsing when it was idle.
  void startBrowsing();
  // Once it returns, no list from the stopped browse reaches onAgentsChanged.
  void stopBrowsing();

  void connect(Endpoint endpoint, std::string secret);
  void clearRejection();
  void disconnect();

  // Sends when a connection exists; otherwise nothing happens.
  void send(const core::VantleMessage& message);
  // Sends the first 500 paths (the agent's limit) as an audit request.
  void audit(std::vector<std::string> folders);
  void requestFrameImage(const std::string& path);
  void requestSelectedImage(bool highRes);

  // How far the companion has followed the agent's segment log; sent when
  // subscribing. May be set before connecting.
  uint64_t highestSeq() const { return highestSeq_; }
  void setHighestSeq(uint64_t seq) { highestSeq_ = seq; }

  VantleConnectionState state();
  std::optional<std::pair<std::string, uint16_t>> remoteAddress();

 private:
  explicit VantleClient(Timing timing);
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::atomic<uint64_t> highestSeq_{0};
};

}  // namespace vantle::net
