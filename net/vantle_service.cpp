#include "net/vantle_service.h"

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <list>
#include <map>

#include <nlohmann/json.hpp>

#include "core/vantle_coding.h"
#include "net/dns_sd.h"
#include "net/framing.h"
#include "net/pairing_guard.h"
#include "net/peer_outbox.h"
#include "net/security.h"
#include "net/tls_connection.h"
#include "net/tls_context.h"
#include "support/asio_queue.h"
#include "support/console.h"
#include "support/log.h"
#include "support/weak.h"

namespace vantle::net {

namespace log = support::log;
using support::printLine;
using core::VantleMessage;
using Kind = VantleMessage::Kind;
using Frame = std::shared_ptr<const std::string>;

namespace {

constexpr std::string_view kWire = "wire";

// Bounds that keep a hostile or sleeping peer from growing the agent.
constexpr size_t kPendingHandshakes = 64;  // unpaired connections at once, in all
constexpr size_t kPeers = 128;             // paired companions at once; the load bench has 100
constexpr int kPullsPerPeer = 2;           // image pulls one peer may have waiting


std::optional<Frame> framed(const VantleMessage& message) {
  auto result = VantleFraming::frame(message);
  if (auto* bytes = std::get_if<std::string>(&result)) return std::make_shared<const std::string>(std::move(*bytes));
  return std::nullopt;
}

}  // namespace

// A paired companion. What it is owed waits in its outbox, which bounds
// it: snapshots and thumbnails only as the newest, replays paced by the
// connection, and everything else within a byte budget whose excess
// disconnects the peer (it may reconnect and subscribe again).
struct VantleService::Peer {
  std::shared_ptr<TlsConnection> connection;
  std::shared_ptr<PeerOutbox> outbox;
  std::string buffer;
  int pullsOutstanding = 0;
  int auditsOutstanding = 0;
};

// A connection still in its handshake: it belongs to the listener that
// accepted it and counts against its source's share.
struct PendingHandshake {
  std::shared_ptr<TlsConnection> connection;
  PairingGuard::Source source;
};

struct VantleService::Impl {
  Impl(uint16_t preferredPort, bool fallBack)
      : queue("com.orvane.vantle.service"),
        pullQueue("com.orvane.vantle.service.pull"),
        auditQueue("com.orvane.vantle.service.audit"),
        preferredPort(preferredPort),
        fallBack(fallBack) {}

  support::SerialQueue queue;
  support::SerialQueue pullQueue;
  support::SerialQueue auditQueue;  // folders are counted here, never on the service's queue
  uint16_t preferredPort;
  bool fallBack;
  std::weak_ptr<VantleService> self;

  // Everything below lives on `queue`.
  std::unique_ptr<asio::ip::tcp::acceptor> listener;
  std::unique_ptr<ServiceAdvertiser> advertiser;
  std::shared_ptr<TlsContext> tls;
  std::map<const Peer*, std::shared_ptr<Peer>> peers;
  std::list<PendingHandshake> handshakes;  // oldest first
  uint64_t generation = 0;                 // of the listener; every stop and start moves it on
  PairingGuard guard;
  std::optional<std::string> agentID;
  std::string secret;
  std::string displayName;
  bool acceptFailing = false;
  bool reportScheduled = false;  // a report of guessing waits for its interval

  VantleService& owner() { return *self.lock(); }

  void reportError(const std::string& sentence) {
    log::error(kWire, sentence);
    if (owner().onError) owner().onError(sentence);
  }

  // ---- Listening ----

  std::optional<std::string> listen() {
    VANTLE_ON_QUEUE(queue);
    tls = VantleSecurity::parameters(secret, VantleSecurity::Role::server);
    std::string error;
    if (preferredPort != 0) {
      listener = openListener(preferredPort, error);  // a taken port falls back silently
    }
    if (!listener && (fallBack || preferredPort == 0)) listener = openListener(0, error);
    if (!listener) return error;
    advertise();
    accept();
    return std::nullopt;
  }

  // One dual-stack socket, so IPv4 companions connect too; on a host without
  // IPv6, a plain IPv4 one.
  std::unique_ptr<asio::ip::tcp::acceptor> openListener(uint16_t port, std::string& error) {
    std::error_code ec;
    auto acceptor = openListener(asio::ip::tcp::v6(), port, ec);
    const bool noIPv6 = ec == asio::error::address_family_not_supported || ec == std::errc::address_not_available;
    if (!acceptor && noIPv6) acceptor = openListener(asio::ip::tcp::v4(), port, ec);
    if (!acceptor) error = ec.message();
    return acceptor;
  }

  std::unique_ptr<asio::ip::tcp::acceptor> openListener(asio::ip::tcp protocol, uint16_t port, std::error_code& ec) {
    auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(support::strandOf(queue));
    acceptor->open(protocol, ec);
    if (!ec && protocol == asio::ip::tcp::v6()) acceptor->set_option(asio::ip::v6_only(false), ec);
    if (!ec) acceptor->set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor->bind(asio::ip::tcp::endpoint(protocol, port), ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return nullptr;
    return acceptor;
  }

  std::optional<uint16_t> boundPort() const {
    if (!listener) return std::nullopt;
    std::error_code ec;
    const auto endpoint = listener->local_endpoint(ec);
    if (ec) return std::nullopt;
    return endpoint.port();
  }

  void advertise() {
    VANTLE_ON_QUEUE(queue);
    const TxtRecord txt{{"v", std::to_string(core::vantleProtocolVersion)},
                        {"name", displayName},
                        {"id", agentID.value_or("")}};
    // The advertiser calls from its own thread.
    ServiceAdvertiser::Callbacks callbacks;
    callbacks.onRegistered = support::weaklyOn(queue, self, [](VantleService& s, const std::string& name) {
      log::info(kWire, "advertising as \"" + name + "\"");
      if (s.onAdvertised) s.onAdvertised(name);
    });
    callbacks.onUnavailable = support::weaklyOn(queue, self, [](VantleService& s, const std::string& reason) {
      s.impl_->reportError("Companions cannot find this computer by name: " + reason +
                           ". They can still connect by address.");
    });
    advertiser = std::make_unique<ServiceAdvertiser>(displayName, std::string(VantleSecurity::serviceType),
                                                     *boundPort(), txt, std::move(callbacks));
  }

  void accept() {
    VANTLE_ON_QUEUE(queue);
    if (!listener) return;
    listener->async_accept(
        support::strandOf(queue),
        support::weakly(self, [acceptor = listener.get()](VantleService& s, const std::error_code& error,
                                                          asio::ip::tcp::socket socket) {
          Impl& impl = *s.impl_;
          if (impl.listener.get() != acceptor) return;  // torn down meanwhile
          if (error) {
            if (error == asio::error::operation_aborted) return;
            // Running out of descriptors is usually passing: say so once and
            // keep accepting rather than going deaf for the rest of the day.
            if (!impl.acceptFailing) impl.reportError("Listener failed: " + error.message());
            impl.acceptFailing = true;
            impl.queue.postAfter(1.0, support::weakly(impl.self, [](VantleService& s) { s.impl_->accept(); }));
            return;
          }
          impl.acceptFailing = false;
          impl.admit(std::move(socket));
          impl.accept();
        }));
  }

  // A new connection: refused at once when its source is being slowed down
  // for wrong codes, else its handshake starts, within the caps on
  // connections still in their handshake (the oldest gives way).
  void admit(asio::ip::tcp::socket socket) {
    VANTLE_ON_QUEUE(queue);
    std::error_code ec;
    const asio::ip::tcp::endpoint remote = socket.remote_endpoint(ec);
    if (ec) return;
    const PairingGuard::Source source = PairingGuard::sourceOf(remote.address());
    if (!guard.mayTry(source, PairingGuard::Clock::now())) {
      socket.close(ec);  // before any TLS: it costs the agent nothing
      return;
    }
    makeRoomForHandshake(source);

    auto connection = TlsConnection::accepted(std::move(socket), tls);
    handshakes.push_back({connection, source});
    const uint64_t mine = generation;
    // Whether the handshake still belongs to this listener; it is then no
    // longer pending.
    const auto settled = [connection, mine](Impl& impl) {
      if (impl.generation != mine) return false;  // stopped or restarted meanwhile
      impl.handshakes.remove_if([&](const PendingHandshake& p) { return p.connection == connection; });
      return true;
    };
    TlsConnection::Handlers handlers;
    handlers.onReady = support::weakly(self, [settled, connection, source](VantleService& s) {
      Impl& impl = *s.impl_;
      if (!settled(impl)) return connection->cancel();
      impl.guard.paired(source);
      if (impl.peers.size() >= kPeers) {
        log::error(kWire,
                   "refused a companion from " + source.address + ": " + std::to_string(kPeers) + " are connected");
        return connection->cancel();
      }
      impl.join(connection);
    });
    handlers.onFailed = support::weakly(self, [settled, source](VantleService& s, const TlsConnection::Failure&) {
      Impl& impl = *s.impl_;
      if (!settled(impl)) return;
      impl.guard.failed(source, PairingGuard::Clock::now());  // a wrong code, a broken or a silent handshake
      impl.reportGuessing();
    });
    handlers.onCancelled = support::weakly(self, [settled](VantleService& s) { settled(*s.impl_); });
    connection->start(std::move(handlers));
  }

  void makeRoomForHandshake(const PairingGuard::Source& source) {
    VANTLE_ON_QUEUE(queue);
    const auto fromSource = [&](const PendingHandshake& p) { return p.source.network == source.network; };
    if (static_cast<size_t>(std::count_if(handshakes.begin(), handshakes.end(), fromSource)) >= handshakesPerSource) {
      // Pushed out by its own network's newer connections: a handshake left
      // unfinished is a failure of its source, or silence would cost nothing.
      guard.failed(source, PairingGuard::Clock::now());
      reportGuessing();
      closeHandshake(std::find_if(handshakes.begin(), handshakes.end(), fromSource));
    }
    if (handshakes.size() >= kPendingHandshakes) closeHandshake(handshakes.begin());
  }

  void closeHandshake(std::list<PendingHandshake>::iterator pending) {
    VANTLE_ON_QUEUE(queue);
    if (pending == handshakes.end()) return;
    const std::shared_ptr<TlsConnection> connection = pending->connection;
    handshakes.erase(pending);
    connection->cancel();
  }

  // Tells of guessing when a report is due; one that must wait for the
  // guard's interval is given when it ends.
  void reportGuessing() {
    VANTLE_ON_QUEUE(queue);
    const PairingGuard::Clock::time_point now = PairingGuard::Clock::now();
    if (const std::optional<std::string> sentence = guard.reportDue(now)) return reportError(*sentence);
    const std::optional<PairingGuard::Clock::time_point> at = guard.nextReportAt();
    if (!at || reportScheduled) return;
    reportScheduled = true;
    queue.postAfter(std::chrono::duration<double>(*at - now).count(), support::weakly(self, [](VantleService& s) {
                      s.impl_->reportScheduled = false;
                      s.impl_->reportGuessing();
                    }));
  }

  void join(const std::shared_ptr<TlsConnection>& connection) {
    VANTLE_ON_QUEUE(queue);
    auto peer = std::make_shared<Peer>();
    peer->connection = connection;
    // The connection completes its writes on this queue, as the outbox needs.
    peer->outbox = PeerOutbox::create([weakConnection = std::weak_ptr<TlsConnection>(connection)](
                                          const PeerOutbox::Frame& frame, std::function<void()> written) {
      auto connection = weakConnection.lock();
      if (!connection || connection->ended()) return false;
      connection->send(frame, [written = std::move(written)](bool) { written(); });
      return true;
    });
    peers[peer.get()] = peer;
    const auto gone = support::weakly(self, [weakPeer = std::weak_ptr<Peer>(peer)](VantleService& s) {
      const std::shared_ptr<Peer> peer = weakPeer.lock();
      if (!peer) return;
      Impl& impl = *s.impl_;
      if (impl.peers.erase(peer.get()) > 0 && s.onPeerCountChanged) {
        s.onPeerCountChanged(static_cast<int>(impl.peers.size()));
      }
    });
    connection->setHandlers({.onFailed = [gone](const TlsConnection::Failure&) { gone(); }, .onCancelled = gone});
    if (owner().onPeerCountChanged) owner().onPeerCountChanged(static_cast<int>(peers.size()));
    receive(peer);
  }

  void receive(const std::shared_ptr<Peer>& peer) {
    VANTLE_ON_QUEUE(queue);
    peer->connection->receive(support::weakly(
        self, [peer](VantleService& s, std::string_view bytes, bool complete, const std::optional<std::string>& error) {
          Impl& impl = *s.impl_;
          if (!bytes.empty()) {
            peer->buffer.append(bytes);
            VantleFraming::Drained drained = VantleFraming::drainUpTo(peer->buffer, std::chrono::system_clock::now(),
                                                                      companionMessageLimit);
            for (const VantleMessage& message : drained.messages) impl.handle(message, peer);
            if (drained.outOfStep) {
              log::info(kWire, "a companion sent a message larger than any it may send, and was let go");
              peer->connection->cancel();
              return;
            }
          }
          if (complete || error) {
            peer->connection->cancel();
            return;
          }
          impl.receive(peer);
        }));
  }

  void tearDown() {
    VANTLE_ON_QUEUE(queue);
    ++generation;
    for (PendingHandshake& pending : std::exchange(handshakes, {})) pending.connection->cancel();
    for (auto& [key, peer] : peers) peer->connection->cancel();
    peers.clear();
    if (listener) {
      std::error_code ignored;
      listener->close(ignored);
      listener.reset();
    }
    advertiser.reset();
  }

  // ---- Requests ----

  void send(const std::shared_ptr<Peer>& peer, const VantleMessage& message) {
    VANTLE_ON_QUEUE(queue);
    if (auto frame = framed(message)) send(peer, *frame, message.t);
  }

  // A snapshot or a thumbnail only matters as the newest; anything else is
  // sent whole.
  void send(const std::shared_ptr<Peer>& peer, const Frame& frame, Kind kind) {
    VANTLE_ON_QUEUE(queue);
    const PeerOutbox::Kind lane = kind == Kind::snapshot         ? PeerOutbox::Kind::snapshot
                                  : kind == Kind::frameThumbnail ? PeerOutbox::Kind::thumbnail
                                                                 : PeerOutbox::Kind::ordered;
    sendFrame(peer, frame, lane);
  }

  // A peer past its budget has stopped reading and is let go.
  void sendFrame(const std::shared_ptr<Peer>& peer, const Frame& frame,
                 PeerOutbox::Kind lane = PeerOutbox::Kind::ordered) {
    if (peer->outbox->push(frame, lane)) return;
    log::error(kWire, "a companion stopped reading with " + std::to_string(peer->outbox->waitingBytes() >> 20) +
                          " MiB waiting for it; disconnected");
    peer->connection->cancel();
  }

  // A peer that asks for replays faster than it reads them is let go too.
  void sendRun(const std::shared_ptr<Peer>& peer, PeerOutbox::Run run) {
    VANTLE_ON_QUEUE(queue);
    if (peer->outbox->pushRun(std::move(run))) return;
    log::error(kWire, "a companion asked for more than it reads; disconnected");
    peer->connection->cancel();
  }

  void handle(const VantleMessage& m, const std::shared_ptr<Peer>& peer) {
    VANTLE_ON_QUEUE(queue);
    switch (m.t) {
      case Kind::subscribe: return subscribe(m.since.value_or(0), peer);
      case Kind::ping: return send(peer, VantleMessage{.t = Kind::pong});
      case Kind::audit: return audit(m.paths.value_or(std::vector<std::string>{}), peer);
      case Kind::requestSelectedImage:
      case Kind::requestHighResSelectedImage:
        printLine("VantleService: Received " + std::string(core::caseName(m.t)) + " from client");
        return pullSelected(m.t == Kind::requestHighResSelectedImage, peer);
      case Kind::requestFrameImage:
        if (!m.imagePath || m.imagePath->empty()) {
          return sendReply(peer, replyFrames(core::ImageUnavailable{"No frame was named."}));
        }
        return pullFrame(*m.imagePath, peer);
      default:
        return;
    }
  }

  void subscribe(uint64_t since, const std::shared_ptr<Peer>& peer) {
    VANTLE_ON_QUEUE(queue);
    VantleService& s = owner();
    if (s.highestSeq) {
      const uint64_t issued = s.highestSeq();
      if (issued < since) {
        log::error(kWire, "subscriber holds seq " + std::to_string(since) + " but this agent has only issued " +
                              std::to_string(issued) + " \u2014 numbering restarted; stepping over it");
        if (s.onSequenceAhead) s.onSequenceAhead(since);
      }
    }
    Backlog backlog = s.backlog ? s.backlog(since) : Backlog{};
    std::string seqs;
    for (const uint64_t seq : backlog.seqs) {
      if (!seqs.empty()) seqs += ",";
      seqs += std::to_string(seq);
    }
    log::info(kWire, "subscribe since=" + std::to_string(since) + " replaying=" + std::to_string(backlog.seqs.size()) +
                         " seqs=" + seqs);
    // Each segment is read and framed when the connection has taken the
    // ones before it; whatever is sent meanwhile waits behind the replay.
    if (backlog.next) {
      sendRun(peer, [next = std::move(backlog.next)]() -> std::optional<Frame> {
        while (std::optional<std::string> record = next()) {
          // The record goes out as stored: a day of pictures is not decoded
          // and encoded again for every companion that joins.
          auto result = VantleFraming::frameBody(R"({"t":"segment","segment":)" + *record + "}");
          if (auto* bytes = std::get_if<std::string>(&result)) return std::make_shared<const std::string>(std::move(*bytes));
        }
        return std::nullopt;
      });
    }
    if (s.verifications) {
      for (const auto& v : s.verifications()) send(peer, VantleMessage{.t = Kind::verified, .verification = v});
    }
    if (s.currentSnapshot) send(peer, VantleMessage{.t = Kind::snapshot, .snapshot = s.currentSnapshot()});
    if (s.latestFrameThumbnail) {
      if (auto thumbnail = s.latestFrameThumbnail()) {
        send(peer, VantleMessage{.t = Kind::frameThumbnail,
                                 .imageData = thumbnail->data,
                                 .imageFileName = thumbnail->fileName,
                                 .imagePath = thumbnail->path});
      }
    }
  }

  void audit(std::vector<std::string> paths, const std::shared_ptr<Peer>& peer) {
    VANTLE_ON_QUEUE(queue);
    if (paths.size() > auditLimit) paths.resize(auditLimit);
    if (paths.empty()) return;
    if (peer->auditsOutstanding >= auditsPerPeer) {
      log::info(kWire, "an audit was dropped: the companion's earlier ones are still being counted");
      return;
    }
    ++peer->auditsOutstanding;
    // Counted and framed on the audit queue, one audit at a time, so a slow
    // drive holds up no handshake or broadcast; one peer's answers keep its order.
    support::postWeakly(auditQueue, self, [weakPeer = std::weak_ptr<Peer>(peer), paths = std::move(paths),
                                           count = owner().countFolders](VantleService& s) {
      std::vector<core::FolderReading> readings;
      if (auto peer = weakPeer.lock(); peer && !peer->connection->ended() && count) readings = count(paths);
      const std::string counted = "audit of " + std::to_string(paths.size()) + " folder(s), answered " +
                                  std::to_string(readings.size());
      std::optional<Frame> frame = framed(VantleMessage{.t = Kind::audited, .readings = std::move(readings)});
      support::postWeakly(s.impl_->queue, s.impl_->self, [weakPeer, counted, frame](VantleService& s) {
        const std::shared_ptr<Peer> peer = weakPeer.lock();
        if (!peer) return;
        --peer->auditsOutstanding;
        log::info(kWire, counted);
        if (frame) s.impl_->send(peer, *frame, Kind::audited);
      });
    });
  }

  // ---- Image pulls ----

  void pullSelected(bool highRes, const std::shared_ptr<Peer>& peer) {
    VANTLE_ON_QUEUE(queue);
    auto pull = owner().onRequestSelectedImage;
    runPull(peer, [pull, highRes]() -> core::ImagePullOutcome {
      if (!pull) return core::ImageUnavailable{"This agent cannot pull images."};
      return pull(highRes);
    });
  }

  void pullFrame(const std::string& path, const std::shared_ptr<Peer>& peer) {
    VANTLE_ON_QUEUE(queue);
    auto pull = owner().onRequestFrameImage;
    runPull(peer, [pull, path]() -> core::ImagePullOutcome {
      if (!pull) return core::ImageUnavailable{"This agent cannot pull frames."};
      return pull(path);
    });
  }

  // One pull at a time on the pull queue; a peer may have only a few
  // waiting, and those of a peer that left are dropped. The reply is framed
  // on the pull queue too: a large image never holds the service queue.
  void runPull(const std::shared_ptr<Peer>& peer, std::function<core::ImagePullOutcome()> pull) {
    VANTLE_ON_QUEUE(queue);
    if (peer->pullsOutstanding >= kPullsPerPeer) {
      return send(peer, VantleMessage{.t = Kind::selectedImageUnavailable,
                                      .reason = std::string("Another image is still on its way.")});
    }
    ++peer->pullsOutstanding;
    std::weak_ptr<Peer> weakPeer = peer;
    support::postWeakly(pullQueue, self, [weakPeer, pull = std::move(pull)](VantleService& s) {
      std::vector<Frame> frames;
      if (auto peer = weakPeer.lock(); peer && !peer->connection->ended()) frames = replyFrames(pull());
      support::postWeakly(s.impl_->queue, s.impl_->self, [weakPeer, frames = std::move(frames)](VantleService& s) {
        if (const std::shared_ptr<Peer> peer = weakPeer.lock()) {
          --peer->pullsOutstanding;
          s.impl_->sendReply(peer, frames);
        }
      });
    });
  }

  // The frames of a reply go out one after the other as the connection
  // takes them: several large images arrive whole, whatever the budget.
  void sendReply(const std::shared_ptr<Peer>& peer, std::vector<Frame> frames) {
    VANTLE_ON_QUEUE(queue);
    sendRun(peer, [frames = std::move(frames), next = size_t{0}]() mutable -> std::optional<Frame> {
      if (next == frames.size()) return std::nullopt;
      return std::move(frames[next++]);
    });
  }

  static std::vector<Frame> replyFrames(const core::ImagePullOutcome& outcome) {
    std::vector<Frame> frames;
    const auto unavailable = [&](const std::string& reason) {
      printLine("VantleService: image unavailable \u2014 " + reason);
      if (auto frame = framed(VantleMessage{.t = Kind::selectedImageUnavailable, .reason = reason})) {
        frames.push_back(*frame);
      }
    };
    if (const auto* refused = std::get_if<core::ImageUnavailable>(&outcome)) {
      unavailable(refused->reason);
      return frames;
    }
    const auto& images = std::get<core::ImagesPulled>(outcome).images;
    if (images.empty()) unavailable("The selected image could not be read.");
    for (const core::PulledImage& image : images) {
      auto result = VantleFraming::frame(
          VantleMessage{.t = Kind::selectedImageData, .imageData = image.data, .imageFileName = image.fileName});
      if (auto* error = std::get_if<VantleFraming::FramingError>(&result)) {
        printLine("VantleService: failed to frame image data \u2014 " + error->description());
        continue;
      }
      frames.push_back(std::make_shared<const std::string>(std::move(std::get<std::string>(result))));
      printLine("VantleService: sent " + image.fileName + " to client");
    }
    return frames;
  }

};

VantleService::VantleService(uint16_t preferredPort, bool fallBack)
    : impl_(std::make_unique<Impl>(preferredPort, fallBack)) {}

VantleService::~VantleService() = default;

std::shared_ptr<VantleService> VantleService::create(uint16_t preferredPort, bool fallBack) {
  std::shared_ptr<VantleService> service(new VantleService(preferredPort, fallBack));
  service->impl_->self = service;
  return service;
}

void VantleService::setAgentID(std::optional<std::string> agentID) {
  impl_->queue.sync([&] { impl_->agentID = std::move(agentID); });
}

std::optional<std::string> VantleService::start(const std::string& secret, const std::string& displayName) {
  return impl_->queue.sync([&] {
    impl_->tearDown();
    if (secret != impl_->secret) impl_->guard.newCode();  // who knew the old code does not know this one
    impl_->secret = secret;
    impl_->displayName = displayName;
    auto error = impl_->listen();
    if (!error) {
      log::info(kWire, "listening on port " + std::to_string(impl_->boundPort().value_or(0)));
    }
    return error;
  });
}

void VantleService::stop() {
  impl_->queue.sync([&] { impl_->tearDown(); });
}

int VantleService::peerCount() {
  return impl_->queue.sync([&] { return static_cast<int>(impl_->peers.size()); });
}

size_t VantleService::debugHandshakes() {
  return impl_->queue.sync([&] { return impl_->handshakes.size(); });
}

std::optional<uint16_t> VantleService::debugPort() {
  return impl_->queue.sync([&] { return impl_->boundPort(); });
}

void VantleService::broadcast(const VantleMessage& message) {
  auto frame = framed(message);
  if (!frame) return;
  std::optional<std::tuple<uint64_t, std::string, int64_t>> segment;
  if (message.segment) segment = {message.segment->seq, message.segment->folderName, message.segment->framesAdded};
  support::postWeakly(impl_->queue, weak_from_this(), [frame = *frame, segment, kind = message.t](VantleService& s) {
    Impl& impl = *s.impl_;
    if (segment) {
      const auto& [seq, folderName, framesAdded] = *segment;
      log::info(kWire, "broadcast segment seq=" + std::to_string(seq) + " " + folderName + " frames=" +
                           std::to_string(framesAdded) + " to " + std::to_string(impl.peers.size()) + " peer(s)");
    }
    for (auto& [key, peer] : impl.peers) impl.send(peer, frame, kind);
  });
}

void VantleService::broadcastFrameThumbnail(core::Bytes data, std::string fileName, std::string path) {
  auto frame = framed(VantleMessage{.t = Kind::frameThumbnail,
                                    .imageData = std::move(data),
                                    .imageFileName = std::move(fileName),
                                    .imagePath = std::move(path)});
  if (!frame) return;
  support::postWeakly(impl_->queue, weak_from_this(), [frame = *frame](VantleService& s) {
    for (auto& [key, peer] : s.impl_->peers) s.impl_->sendFrame(peer, frame, PeerOutbox::Kind::thumbnail);
  });
}

void VantleService::broadcastFrameCleared() {
  auto frame = framed(VantleMessage{.t = Kind::frameThumbnail});
  if (!frame) return;
  support::postWeakly(impl_->queue, weak_from_this(), [frame = *frame](VantleService& s) {
    for (auto& [key, peer] : s.impl_->peers) {
      peer->outbox->dropWaitingThumbnail();
      s.impl_->sendFrame(peer, frame);
    }
  });
}

Backlog Backlog::of(std::vector<core::WireSegment> segments) {
  Backlog backlog;
  for (const auto& segment : segments) backlog.seqs.push_back(segment.seq);
  backlog.next = [segments = std::move(segments), next = size_t{0}]() mutable -> std::optional<std::string> {
    if (next == segments.size()) return std::nullopt;
    return core::VantleCoding::dump(segments[next++].encode());
  };
  return backlog;
}

}  // namespace vantle::net
