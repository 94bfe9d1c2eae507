#include "net/vantle_client.h"

#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/ssl/error.hpp>

#include <algorithm>
#include <array>
#include <chrono>

#include "net/dns_sd.h"
#include "net/framing.h"
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
using State = VantleConnectionState;

namespace {

constexpr std::string_view kClient = "client";


// The numeric text of a peer address worth showing: IPv4, or IPv6 that is
// not link-local, without a zone.
std::optional<std::string> publishable(const asio::ip::address& address) {
  if (address.is_v4()) return address.to_string();
  const asio::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
  if (v6.is_link_local()) return std::nullopt;
  std::string text = v6.to_string();
  return text.substr(0, text.find('%'));
}

// Whether a failure during the handshake says only that the way to the agent
// broke (the peer vanished, the network dropped, a deadline passed), not
// that the agent's TLS judged the code.
bool isNetworkLoss(const TlsConnection::Failure& failure) {
  namespace error = asio::error;
  const std::error_code& code = failure.code;
  return code == error::eof || code == asio::ssl::error::stream_truncated || code == error::connection_reset ||
         code == error::connection_aborted || code == error::broken_pipe || code == error::timed_out ||
         code == error::network_down || code == error::network_unreachable || code == error::network_reset ||
         code == error::host_unreachable;
}

}  // namespace

std::string Endpoint::description() const {
  const std::string address = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (serviceName) return "\"" + *serviceName + "\" (" + address + ":" + std::to_string(port) + ")";
  return address + ":" + std::to_string(port);
}

std::string VantleConnectionState::description() const {
  switch (kind) {
    case Kind::failed: return "failed: " + reason;
    case Kind::idle: return "idle";
    case Kind::browsing: return "browsing";
    case Kind::connecting: return "connecting";
    case Kind::reconnecting: return "reconnecting";
    case Kind::connected: return "connected";
    case Kind::rejected: return "rejected";
  }
  return "idle";
}

struct VantleClient::Impl {
  Impl(Timing timing) : queue("com.orvane.vantle.client"), timing(timing), retryDelay(timing.firstRetryDelay) {}

  support::SerialQueue queue;
  const Timing timing;
  std::weak_ptr<VantleClient> self;

  // Everything below lives on `queue`.
  State state;
  std::unique_ptr<ServiceBrowser> browser;
  int browseGeneration = 0;  // which browse results belong to; a stopped browse's are dropped
  std::shared_ptr<TlsConnection> connection;
  std::string buffer;
  std::optional<std::string> secret;
  std::optional<Endpoint> endpoint;
  // Where attempts go: the endpoint, with the address and port its DNS-SD
  // name last resolved to.
  Endpoint target;
  std::unique_ptr<ServiceResolver> lookup;  // the current attempt's, while it resolves
  double retryDelay;
  bool intentionallyStopped = false;
  bool everReachedReady = false;
  bool attemptEnded = false;  // the current attempt failed or its connection closed
  bool retryScheduled = false;
  bool secretHasWorked = false;
  int attemptToken = 0;
  std::optional<std::pair<std::string, uint16_t>> remoteAddress;

  VantleClient& owner() { return *self.lock(); }

  void setState(State next) {
    if (next == state) return;
    state = next;
    if (auto s = self.lock(); s && s->onStateChange) s->onStateChange(state);
  }

  // ---- Browsing ----

  void startBrowsing() {
    stopBrowsing();
    ServiceBrowser::Callbacks callbacks;
    const int generation = browseGeneration;
    // Avahi's thread hops onto the queue without holding the client (as
    // weaklyOn does): were it to drop the last hold, the browser would be
    // destroyed on the thread that its destruction waits for.
    callbacks.onChange =
        support::weaklyOn(queue, self, [generation](VantleClient& s, const std::vector<FoundService>& found) {
          if (s.impl_->browseGeneration == generation) s.impl_->agentsFound(found);
        });
    callbacks.onUnavailable = support::weaklyOn(queue, self, [generation](VantleClient& s, const std::string& reason) {
      // Told, but the stored state stays as it is.
      if (s.impl_->browseGeneration == generation && s.onStateChange) s.onStateChange(State::failedWith(reason));
    });
    browser = std::make_unique<ServiceBrowser>(std::string(VantleSecurity::serviceType), std::move(callbacks));
    if (state.kind == State::Kind::idle) setState(State::of(State::Kind::browsing));
  }

  // Results already on their way from the browser are dropped with it.
  void stopBrowsing() {
    browser.reset();
    ++browseGeneration;
  }

  void agentsFound(const std::vector<FoundService>& found) {
    std::vector<DiscoveredAgent> agents;
    for (const FoundService& service : found) {
      DiscoveredAgent agent{service.instanceName, service.instanceName, std::nullopt,
                            Endpoint{service.address, service.port, service.instanceName}};
      if (service.txt) {
        if (auto name = service.txt->find("name"); name != service.txt->end()) agent.name = name->second;
        if (auto id = service.txt->find("id"); id != service.txt->end() && !id->second.empty()) {
          agent.agentID = id->second;
        }
      }
      agents.push_back(std::move(agent));
    }
    std::stable_sort(agents.begin(), agents.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    if (auto s = self.lock(); s && s->onAgentsChanged) s->onAgentsChanged(agents);
  }

  // ---- Connecting ----

  void connect(Endpoint to, std::string code) {
    const bool same = endpoint == to && secret == code;
    const bool busy = state.kind == State::Kind::connecting || state.kind == State::Kind::connected ||
                      state.kind == State::Kind::rejected || retryScheduled;
    if (same && busy) return;
    intentionallyStopped = false;
    if (secret != code) secretHasWorked = false;
    endpoint = std::move(to);
    target = *endpoint;
    secret = std::move(code);
    retryDelay = timing.firstRetryDelay;
    startAttempt();
  }

  // Abandons the current attempt's look-up and connection, silently.
  void dropConnection() {
    lookup.reset();
    if (!connection) return;
    connection->detach();
    connection->cancel();
    connection.reset();
  }

  void startAttempt() {
    if (!endpoint || !secret) return;
    dropConnection();
    buffer.clear();
    everReachedReady = false;
    attemptEnded = false;
    const int token = ++attemptToken;
    queue.postAfter(timing.attemptDeadline,
                    support::weakly(self, [token](VantleClient& s) { s.impl_->deadlinePassed(token); }));
    setState(State::of(secretHasWorked ? State::Kind::reconnecting : State::Kind::connecting));
    if (endpoint->serviceName) {
      lookUp(token);
    } else {
      reach(token);
    }
  }

  // An agent found by browsing is looked up again on every attempt: its
  // address and port may have changed since (a new lease, another network,
  // the port fallback). Looking up is part of reaching TCP, so an agent not
  // advertised now is a network problem like any other before the connection
  // exists. The address asked for is of the family last found, which
  // browsing chose (IPv4 where there is one).
  void lookUp(int token) {
    const auto family =
        target.host.find(':') != std::string::npos ? ServiceResolver::Family::ipv6 : ServiceResolver::Family::ipv4;
    lookup = std::make_unique<ServiceResolver>(
        *endpoint->serviceName, std::string(VantleSecurity::serviceType), family,
        // As for browsing: Avahi's thread never holds the client.
        support::weaklyOn(queue, self, [token](VantleClient& s, const ServiceResolver::Result& result) {
          Impl& impl = *s.impl_;
          if (impl.attemptToken != token || impl.intentionallyStopped) return;
          impl.lookup.reset();
          if (const auto* reason = std::get_if<std::string>(&result)) {
            impl.failed(TlsConnection::Failure{TlsConnection::Phase::tcp, *reason});
            return;
          }
          const FoundService& found = std::get<FoundService>(result);
          if (const std::optional<std::string> other = impl.otherAgentAt(found)) {
            impl.failed(TlsConnection::Failure{TlsConnection::Phase::tcp,
                                               "\"" + found.instanceName + "\" is now advertised by another agent (ID " +
                                                   *other + ")"});
            return;
          }
          impl.target.host = found.address;
          impl.target.port = found.port;
          impl.reach(token);
        }));
  }

  // The agent ID `found` carries when it is not the one the endpoint expects
  // ("none" for a record without one).
  std::optional<std::string> otherAgentAt(const FoundService& found) const {
    if (!endpoint->agentID) return std::nullopt;
    std::string id;
    if (found.txt) {
      if (auto it = found.txt->find("id"); it != found.txt->end()) id = it->second;
    }
    if (id == *endpoint->agentID) return std::nullopt;
    return id.empty() ? std::string("none") : id;
  }

  void reach(int token) {
    // Resolving a host name is part of reaching TCP: its failure is a
    // network problem like any other before the connection exists.
    auto resolver = std::make_shared<asio::ip::tcp::resolver>(support::strandOf(queue));
    resolver->async_resolve(target.host, std::to_string(target.port), asio::ip::tcp::resolver::numeric_service,
                            support::weakly(self, [token, resolver](VantleClient& s, const std::error_code& error,
                                                                    asio::ip::tcp::resolver::results_type results) {
                              Impl& impl = *s.impl_;
                              if (impl.attemptToken != token || impl.intentionallyStopped) return;
                              if (error) {
                                impl.failed(TlsConnection::Failure{TlsConnection::Phase::tcp, error.message(), error});
                                return;
                              }
                              impl.open(std::move(results), token);
                            }));
  }

  void open(asio::ip::tcp::resolver::results_type results, int token) {
    auto tls = VantleSecurity::parameters(*secret, VantleSecurity::Role::client);
    connection = TlsConnection::outgoing(std::move(results), std::move(tls), queue);
    // The client's state, while this attempt is still the current one.
    const auto current = [token](VantleClient& s) { return s.impl_->attemptToken == token ? s.impl_.get() : nullptr; };
    TlsConnection::Handlers handlers;
    handlers.onReady = support::weakly(self, [current](VantleClient& s) {
      if (Impl* impl = current(s)) impl->ready();
    });
    handlers.onFailed = support::weakly(self, [current](VantleClient& s, const TlsConnection::Failure& failure) {
      if (Impl* impl = current(s)) impl->failed(failure);
    });
    handlers.onCancelled = support::weakly(self, [current](VantleClient& s) {
      if (Impl* impl = current(s)) impl->cancelled();
    });
    connection->start(std::move(handlers));
  }

  void deadlinePassed(int token) {
    // Only an attempt still under way is cut short: one that ended has had
    // its say, and a refused code stays refused.
    if (token != attemptToken || everReachedReady || attemptEnded || intentionallyStopped) return;
    const bool tcpConnected = connection && connection->phase() != TlsConnection::Phase::tcp;
    dropConnection();
    log::info(kClient, "connection to " + target.description() + " did not become ready in time");
    if (secretHasWorked) {
      setState(State::of(State::Kind::reconnecting));
      scheduleRetry();
    } else if (tcpConnected) {
      setState(State::of(State::Kind::rejected));  // connected, but the handshake never finished
    } else {
      setState(State::failedWith("The connection timed out."));
      scheduleRetry();
    }
  }

  void failed(const TlsConnection::Failure& failure) {
    attemptEnded = true;
    log::info(kClient, "connection to " + target.description() + " failed: " + failure.description);
    // TCP was up and the handshake broke off. With a code that has never
    // worked that means the agent refused it; a code that has worked is
    // refused only by the handshake's own verdict, and a lost path is retried.
    if (failure.phase == TlsConnection::Phase::tls && (!secretHasWorked || !isNetworkLoss(failure))) {
      setState(State::of(State::Kind::rejected));
      return;
    }
    setState(secretHasWorked ? State::of(State::Kind::reconnecting) : State::failedWith(failure.description));
    scheduleRetry();
  }

  void cancelled() {
    attemptEnded = true;
    if (intentionallyStopped) return;
    log::info(kClient,
              "connection to " + target.description() + (everReachedReady ? " closed" : " cancelled before ready"));
    scheduleRetry();
  }

  void ready() {
    retryDelay = timing.firstRetryDelay;
    everReachedReady = true;
    secretHasWorked = true;
    publishRemoteAddress();
    setState(State::of(State::Kind::connected));
    send(VantleMessage{.t = Kind::subscribe, .since = owner().highestSeq()});
    receive(connection);
  }

  void publishRemoteAddress() {
    const auto remote = connection->remoteEndpoint();
    if (!remote) return;
    const auto address = publishable(remote->address());
    if (!address) return;
    remoteAddress = {*address, remote->port()};
    if (auto s = self.lock(); s && s->onRemoteAddress) s->onRemoteAddress(*address, remote->port());
  }

  void scheduleRetry() {
    if (intentionallyStopped || retryScheduled) return;
    retryScheduled = true;
    const double delay = retryDelay;
    retryDelay = std::min(timing.maximumRetryDelay, 2 * delay);
    queue.postAfter(delay, support::weakly(self, [](VantleClient& s) {
                      Impl& impl = *s.impl_;
                      if (!impl.retryScheduled) return;  // disconnected meanwhile
                      impl.retryScheduled = false;
                      if (!impl.intentionallyStopped) impl.startAttempt();
                    }));
  }

  void disconnect() {
    intentionallyStopped = true;
    retryScheduled = false;
    dropConnection();
    setState(State::of(State::Kind::idle));
  }

  // ---- Messages ----

  void send(const VantleMessage& message) {
    if (!connection) return;
    auto result = VantleFraming::frame(message);
    if (auto* bytes = std::get_if<std::string>(&result)) {
      connection->send(std::make_shared<const std::string>(std::move(*bytes)));
    }
  }

  void receive(const std::shared_ptr<TlsConnection>& on) {
    on->receive(support::weakly(
        self, [on](VantleClient& s, std::string_view bytes, bool complete, const std::optional<std::string>& error) {
          Impl& impl = *s.impl_;
          if (impl.connection != on) return;
          if (!bytes.empty()) {
            impl.buffer.append(bytes);
            for (const VantleMessage& m : VantleFraming::drain(impl.buffer, std::chrono::system_clock::now())) {
              impl.handle(m);
              if (impl.connection != on) return;  // a callback disconnected
            }
          }
          if (complete || error) {
            on->cancel();  // its cancelled state schedules the retry
            return;
          }
          impl.receive(on);
        }));
  }

  void handle(const VantleMessage& m) {
    VantleClient& s = owner();
    switch (m.t) {
      case Kind::snapshot:
        if (m.snapshot && s.onSnapshot) s.onSnapshot(*m.snapshot);
        break;
      case Kind::segment:
        if (m.segment) {
          s.highestSeq_ = std::max(s.highestSeq_.load(), m.segment->seq);
          if (s.onSegment) s.onSegment(*m.segment);
        }
        break;
      case Kind::audited:
        if (s.onAudit) s.onAudit(m.readings.value_or(std::vector<core::FolderReading>{}));
        break;
      case Kind::verified:
        if (m.verification && s.onVerification) s.onVerification(*m.verification);
        break;
      case Kind::selectedImageData:
        printLine("VantleClient: Received selectedImageData of size " +
                  std::to_string(m.imageData ? m.imageData->size() : 0));
        if (m.imageData && s.onSelectedImageData) s.onSelectedImageData(*m.imageData, m.imageFileName);
        break;
      case Kind::selectedImageUnavailable:
        if (s.onSelectedImageUnavailable) {
          s.onSelectedImageUnavailable(m.reason.value_or("The Mac could not send the image."));
        }
        break;
      case Kind::frameThumbnail:
        if (m.imageData && m.imageFileName && m.imagePath) {
          if (s.onFrameThumbnail) s.onFrameThumbnail(*m.imageData, *m.imageFileName, *m.imagePath);
        } else if (s.onFrameCleared) {
          s.onFrameCleared();
        }
        break;
      default:
        break;
    }
  }
};

VantleClient::VantleClient(Timing timing) : impl_(std::make_unique<Impl>(timing)) {}

VantleClient::~VantleClient() = default;

std::shared_ptr<VantleClient> VantleClient::create() { return create(Timing{}); }

std::shared_ptr<VantleClient> VantleClient::create(Timing timing) {
  std::shared_ptr<VantleClient> client(new VantleClient(timing));
  client->impl_->self = client;
  return client;
}

void VantleClient::startBrowsing() {
  impl_->queue.runOrWait([&] { impl_->startBrowsing(); });
}

void VantleClient::stopBrowsing() {
  impl_->queue.runOrWait([&] { impl_->stopBrowsing(); });
}

void VantleClient::connect(Endpoint endpoint, std::string secret) {
  support::postWeakly(impl_->queue, weak_from_this(),
                      [endpoint = std::move(endpoint), secret = std::move(secret)](VantleClient& s) {
                        s.impl_->connect(endpoint, secret);
                      });
}

void VantleClient::clearRejection() {
  support::postWeakly(impl_->queue, weak_from_this(), [](VantleClient& s) {
    if (s.impl_->state.kind == State::Kind::rejected) s.impl_->setState(State::of(State::Kind::idle));
  });
}

void VantleClient::disconnect() {
  support::postWeakly(impl_->queue, weak_from_this(), [](VantleClient& s) { s.impl_->disconnect(); });
}

void VantleClient::send(const VantleMessage& message) {
  support::postWeakly(impl_->queue, weak_from_this(), [message](VantleClient& s) { s.impl_->send(message); });
}

void VantleClient::audit(std::vector<std::string> folders) {
  if (folders.size() > 500) folders.resize(500);
  send(VantleMessage{.t = Kind::audit, .paths = std::move(folders)});
}

void VantleClient::requestFrameImage(const std::string& path) {
  send(VantleMessage{.t = Kind::requestFrameImage, .imagePath = path});
}

void VantleClient::requestSelectedImage(bool highRes) {
  const Kind kind = highRes ? Kind::requestHighResSelectedImage : Kind::requestSelectedImage;
  printLine("VantleClient: Sending " + std::string(core::caseName(kind)) + " message");
  send(VantleMessage{.t = kind});
}

VantleConnectionState VantleClient::state() {
  return impl_->queue.runOrWait([&] { return impl_->state; });
}

std::optional<std::pair<std::string, uint16_t>> VantleClient::remoteAddress() {
  return impl_->queue.runOrWait([&] { return impl_->remoteAddress; });
}

}  // namespace vantle::net
