#include "net/vantle_service.h"

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include <chrono>
#include <map>

#include "net/dns_sd.h"
#include "net/framing.h"
#include "net/security.h"
#include "net/tls_connection.h"
#include "net/tls_context.h"
#include "support/asio_queue.h"
#include "support/console.h"
#include "support/log.h"

namespace vantle::net {

namespace log = support::log;
using support::printLine;
using core::VantleMessage;
using Kind = VantleMessage::Kind;
using Frame = std::shared_ptr<const std::string>;

namespace {

constexpr std::string_view kWire = "wire";


std::optional<Frame> framed(const VantleMessage& message) {
  auto result = VantleFraming::frame(message);
  if (auto* bytes = std::get_if<std::string>(&result)) return std::make_shared<const std::string>(std::move(*bytes));
  return std::nullopt;
}

}  // namespace

struct VantleService::Peer {
  std::shared_ptr<TlsConnection> connection;
  std::string buffer;
  bool thumbnailInFlight = false;
  std::optional<Frame> pendingThumbnail;
};

struct VantleService::Impl {
  Impl(uint16_t preferredPort, bool fallBack)
      : queue("com.orvane.vantle.service"), pullQueue("com.orvane.vantle.service.pull"),
        preferredPort(preferredPort),
        fallBack(fallBack) {}

  support::SerialQueue queue;
  support::SerialQueue pullQueue;
  uint16_t preferredPort;
  bool fallBack;
  std::weak_ptr<VantleService> self;

  // Everything below lives on `queue`.
  std::unique_ptr<asio::ip::tcp::acceptor> listener;
  std::unique_ptr<ServiceAdvertiser> advertiser;
  std::shared_ptr<TlsContext> tls;
  std::map<const Peer*, std::shared_ptr<Peer>> peers;
  std::optional<std::string> agentID;
  std::string secret;
  std::string displayName;
  bool acceptFailing = false;

  VantleService& owner() { return *self.lock(); }

  void reportError(const std::string& sentence) {
    log::error(kWire, sentence);
    if (auto s = self.lock(); s && s->onError) s->onError(sentence);
  }

  // ---- Listening ----

  std::optional<std::string> listen() {
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

  std::unique_ptr<asio::ip::tcp::acceptor> openListener(uint16_t port, std::string& error) {
    auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(support::strandOf(queue));
    std::error_code ec;
    // One dual-stack socket, so IPv4 companions connect too.
    acceptor->open(asio::ip::tcp::v6(), ec);
    if (!ec) acceptor->set_option(asio::ip::v6_only(false), ec);
    if (!ec) acceptor->set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor->bind(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), port), ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      error = ec.message();
      return nullptr;
    }
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
    const TxtRecord txt{{"v", std::to_string(core::vantleProtocolVersion)},
                        {"name", displayName},
                        {"id", agentID.value_or("")}};
    auto weakSelf = self;
    ServiceAdvertiser::Callbacks callbacks;
    callbacks.onRegistered = [weakSelf](const std::string& name) {
      log::info(kWire, "advertising as \"" + name + "\"");
      if (auto s = weakSelf.lock()) {
        s->impl_->queue.post([weakSelf, name] {
          if (auto s = weakSelf.lock(); s && s->onAdvertised) s->onAdvertised(name);
        });
      }
    };
    callbacks.onUnavailable = [weakSelf](const std::string& reason) {
      if (auto s = weakSelf.lock()) {
        s->impl_->queue.post([weakSelf, reason] {
          if (auto s = weakSelf.lock()) {
            s->impl_->reportError("Companions cannot find this computer by name: " + reason +
                                  ". They can still connect by address.");
          }
        });
      }
    };
    advertiser = std::make_unique<ServiceAdvertiser>(displayName, std::string(VantleSecurity::serviceType),
                                                     *boundPort(), txt, std::move(callbacks));
  }

  void accept() {
    if (!listener) return;
    listener->async_accept(support::strandOf(queue), [weakSelf = self, acceptor = listener.get()](
                                                         const std::error_code& error, asio::ip::tcp::socket socket) {
      auto s = weakSelf.lock();
      if (!s || s->impl_->listener.get() != acceptor) return;  // torn down meanwhile
      Impl& impl = *s->impl_;
      if (error) {
        if (error == asio::error::operation_aborted) return;
        // Running out of descriptors is usually passing: say so once and
        // keep accepting rather than going deaf for the rest of the day.
        if (!impl.acceptFailing) impl.reportError("Listener failed: " + error.message());
        impl.acceptFailing = true;
        impl.queue.postAfter(1.0, [weakSelf] {
          if (auto s = weakSelf.lock()) s->impl_->accept();
        });
        return;
      }
      impl.acceptFailing = false;
      impl.admit(std::move(socket));
      impl.accept();
    });
  }

  void admit(asio::ip::tcp::socket socket) {
    auto peer = std::make_shared<Peer>();
    peer->connection = TlsConnection::accepted(std::move(socket), tls);
    auto weakSelf = self;
    TlsConnection::Handlers handlers;
    handlers.onReady = [weakSelf, peer] {
      auto s = weakSelf.lock();
      if (!s) return;
      Impl& impl = *s->impl_;
      impl.peers[peer.get()] = peer;
      if (s->onPeerCountChanged) s->onPeerCountChanged(static_cast<int>(impl.peers.size()));
      impl.receive(peer);
    };
    const auto gone = [weakSelf, peer] {
      auto s = weakSelf.lock();
      if (!s) return;
      Impl& impl = *s->impl_;
      if (impl.peers.erase(peer.get()) > 0 && s->onPeerCountChanged) {
        s->onPeerCountChanged(static_cast<int>(impl.peers.size()));
      }
    };
    handlers.onFailed = [gone](const TlsConnection::Failure&) { gone(); };
    handlers.onCancelled = gone;
    peer->connection->start(std::move(handlers));
  }

  void receive(const std::shared_ptr<Peer>& peer) {
    peer->connection->receive([weakSelf = self, peer](std::string_view bytes, bool complete,
                                                      const std::optional<std::string>& error) {
      auto s = weakSelf.lock();
      if (!s) return;
      Impl& impl = *s->impl_;
      if (!bytes.empty()) {
        peer->buffer.append(bytes);
        for (const VantleMessage& message : VantleFraming::drain(peer->buffer, std::chrono::system_clock::now())) {
          impl.handle(message, peer);
        }
      }
      if (complete || error) {
        peer->connection->cancel();
        return;
      }
      impl.receive(peer);
    });
  }

  void tearDown() {
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
    if (auto frame = framed(message)) peer->connection->send(*frame);
  }

  void handle(const VantleMessage& m, const std::shared_ptr<Peer>& peer) {
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
          return deliver(core::ImageUnavailable{"No frame was named."}, peer);
        }
        return pullFrame(*m.imagePath, peer);
      default:
        return;
    }
  }

  void subscribe(uint64_t since, const std::shared_ptr<Peer>& peer) {
    VantleService& s = owner();
    if (s.highestSeq) {
      const uint64_t issued = s.highestSeq();
      if (issued < since) {
        log::error(kWire, "subscriber holds seq " + std::to_string(since) + " but this agent has only issued " +
                              std::to_string(issued) + " \u2014 numbering restarted; stepping over it");
        if (s.onSequenceAhead) s.onSequenceAhead(since);
      }
    }
    const std::vector<core::WireSegment> segments = s.backlog ? s.backlog(since) : std::vector<core::WireSegment>{};
    std::string seqs;
    for (const auto& segment : segments) {
      if (!seqs.empty()) seqs += ",";
      seqs += std::to_string(segment.seq);
    }
    log::info(kWire, "subscribe since=" + std::to_string(since) + " replaying=" + std::to_string(segments.size()) +
                         " seqs=" + seqs);
    for (const auto& segment : segments) send(peer, VantleMessage{.t = Kind::segment, .segment = segment});
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
    if (paths.size() > auditLimit) paths.resize(auditLimit);
    if (paths.empty()) return;
    VantleService& s = owner();
    std::vector<core::FolderReading> readings = s.countFolders ? s.countFolders(paths) : std::vector<core::FolderReading>{};
    log::info(kWire, "audit of " + std::to_string(paths.size()) + " folder(s), answered " +
                         std::to_string(readings.size()));
    send(peer, VantleMessage{.t = Kind::audited, .readings = std::move(readings)});
  }

  // ---- Image pulls ----

  void pullSelected(bool highRes, const std::shared_ptr<Peer>& peer) {
    auto pull = owner().onRequestSelectedImage;
    runPull(peer, [pull, highRes]() -> core::ImagePullOutcome {
      if (!pull) return core::ImageUnavailable{"This agent cannot pull images."};
      return pull(highRes);
    });
  }

  void pullFrame(const std::string& path, const std::shared_ptr<Peer>& peer) {
    auto pull = owner().onRequestFrameImage;
    runPull(peer, [pull, path]() -> core::ImagePullOutcome {
      if (!pull) return core::ImageUnavailable{"This agent cannot pull frames."};
      return pull(path);
    });
  }

  void runPull(const std::shared_ptr<Peer>& peer, std::function<core::ImagePullOutcome()> pull) {
    pullQueue.post([weakSelf = self, peer, pull = std::move(pull)] {
      core::ImagePullOutcome outcome = pull();
      auto s = weakSelf.lock();
      if (!s) return;
      s->impl_->queue.post([weakSelf, peer, outcome = std::move(outcome)] {
        if (auto s = weakSelf.lock()) s->impl_->deliver(outcome, peer);
      });
    });
  }

  void deliver(const core::ImagePullOutcome& outcome, const std::shared_ptr<Peer>& peer) {
    if (const auto* unavailable = std::get_if<core::ImageUnavailable>(&outcome)) {
      printLine("VantleService: image unavailable \u2014 " + unavailable->reason);
      return send(peer, VantleMessage{.t = Kind::selectedImageUnavailable, .reason = unavailable->reason});
    }
    const auto& images = std::get<core::ImagesPulled>(outcome).images;
    if (images.empty()) {
      return send(peer, VantleMessage{.t = Kind::selectedImageUnavailable,
                                      .reason = std::string("The selected image could not be read.")});
    }
    for (const core::PulledImage& image : images) {
      auto result = VantleFraming::frame(
          VantleMessage{.t = Kind::selectedImageData, .imageData = image.data, .imageFileName = image.fileName});
      if (auto* error = std::get_if<VantleFraming::FramingError>(&result)) {
        printLine("VantleService: failed to frame image data \u2014 " + error->description());
        continue;
      }
      peer->connection->send(std::make_shared<const std::string>(std::move(std::get<std::string>(result))));
      printLine("VantleService: sent " + image.fileName + " to client");
    }
  }

  // ---- Thumbnails ----

  void sendThumbnail(const std::shared_ptr<Peer>& peer, const Frame& frame) {
    if (peer->thumbnailInFlight) {
      peer->pendingThumbnail = frame;  // the newest replaces any waiting one
      return;
    }
    peer->thumbnailInFlight = true;
    std::weak_ptr<Peer> weakPeer = peer;
    peer->connection->send(frame, [weakSelf = self, weakPeer](bool) {
      auto s = weakSelf.lock();
      if (!s) return;
      s->impl_->queue.post([weakSelf, weakPeer] {
        auto s = weakSelf.lock();
        auto peer = weakPeer.lock();
        if (!s || !peer) return;
        peer->thumbnailInFlight = false;
        if (peer->pendingThumbnail) {
          Frame next = std::move(*peer->pendingThumbnail);
          peer->pendingThumbnail.reset();
          s->impl_->sendThumbnail(peer, next);
        }
      });
    });
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

std::optional<uint16_t> VantleService::debugPort() {
  return impl_->queue.sync([&] { return impl_->boundPort(); });
}

void VantleService::broadcast(const VantleMessage& message) {
  auto frame = framed(message);
  if (!frame) return;
  std::optional<std::tuple<uint64_t, std::string, int64_t>> segment;
  if (message.segment) segment = {message.segment->seq, message.segment->folderName, message.segment->framesAdded};
  impl_->queue.post([weakSelf = weak_from_this(), frame = *frame, segment] {
    auto s = weakSelf.lock();
    if (!s) return;
    Impl& impl = *s->impl_;
    if (segment) {
      const auto& [seq, folderName, framesAdded] = *segment;
      log::info(kWire, "broadcast segment seq=" + std::to_string(seq) + " " + folderName +
                           " frames=" + std::to_string(framesAdded) + " to " + std::to_string(impl.peers.size()) +
                           " peer(s)");
    }
    for (auto& [key, peer] : impl.peers) peer->connection->send(frame);
  });
}

void VantleService::broadcastFrameThumbnail(core::Bytes data, std::string fileName, std::string path) {
  auto frame = framed(VantleMessage{.t = Kind::frameThumbnail,
                                    .imageData = std::move(data),
                                    .imageFileName = std::move(fileName),
                                    .imagePath = std::move(path)});
  if (!frame) return;
  impl_->queue.post([weakSelf = weak_from_this(), frame = *frame] {
    auto s = weakSelf.lock();
    if (!s) return;
    for (auto& [key, peer] : s->impl_->peers) s->impl_->sendThumbnail(peer, frame);
  });
}

void VantleService::broadcastFrameCleared() {
  auto frame = framed(VantleMessage{.t = Kind::frameThumbnail});
  if (!frame) return;
  impl_->queue.post([weakSelf = weak_from_this(), frame = *frame] {
    auto s = weakSelf.lock();
    if (!s) return;
    for (auto& [key, peer] : s->impl_->peers) {
      peer->pendingThumbnail.reset();
      peer->connection->send(frame);
    }
  });
}

}  // namespace vantle::net
