// The browser companion's HTTPS server.
//
// It serves the page, trades the access token for a session cookie, streams
// the live feed as server-sent events (`/events`), each picture at a URL of
// its own, and the pace of the day at `/plan`. Read-only: no request changes
// the agent. Everything but the page itself needs a session.
//
// libmicrohttpd runs it on one thread of its own, with epoll, TLS through
// GnuTLS. Nothing there waits on the agent: the agent publishes into the
// feed, and the server reads only the feed and the access table. Bounds:
// `connectionLimit` connections, `perAddressLimit` of them from one address;
// a whole request (headers and body) within `headerSeconds` of the
// connection or of the previous answer; headers within `headerBytes`, no
// body over `bodyLimit`; `idleSeconds` without a byte before a connection
// that is not streaming is closed.
//
// The service advertises itself by DNS-SD as `_https._tcp` with the page's
// path in its TXT record. Its own queue ("com.orvane.vantle.web") loads a
// shoot's shots through `shootShots`, pings the streams and enforces the
// header deadlines. `start`, `stop` and `renew` are called from one thread
// (the owner's); the publishers from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/instant.h"
#include "core/snapshot.h"
#include "core/wire_segment.h"
#include "support/serial_queue.h"
#include "web/connection_deadlines.h"
#include "web/live_feed.h"
#include "web/web_access.h"

namespace vantle::net {
class ServiceAdvertiser;
}

namespace vantle::web {

class WebService : public std::enable_shared_from_this<WebService> {
 public:
  static constexpr uint16_t defaultPort = 39183;
  static constexpr unsigned connectionLimit = 64;
  static constexpr unsigned perAddressLimit = 32;
  static constexpr unsigned idleSeconds = 30;
  static constexpr double headerSeconds = 10;
  static constexpr size_t headerBytes = 32 * 1024;
  static constexpr size_t bodyLimit = 16 * 1024;
  static constexpr double pingSeconds = 15;
  static constexpr const char* cookieName = "__Host-vantle-session";
  static constexpr const char* serviceType = "_https._tcp";

  // The certificate and key, both PEM.
  struct Identity {
    std::string certificatePem;
    std::string keyPem;
  };

  // `preferredPort` is tried first; when it is taken the system assigns one,
  // unless `fallBack` is false. 0 asks the system straight away.
  static std::shared_ptr<WebService> create(uint16_t preferredPort = defaultPort, bool fallBack = true);
  ~WebService();
  WebService(const WebService&) = delete;
  WebService& operator=(const WebService&) = delete;

  // The shoot's closed shots, in order, as storage has them; called on the
  // service's queue when the view turns to a shoot whose shots are not
  // loaded. Set before `start`.
  std::function<std::vector<core::WireSegment>(const std::optional<std::string>& shootID)> shootShots;
  // The wall clock /plan reads; the system's by default.
  std::function<core::Instant()> now;
  // Whether to advertise by DNS-SD; tests that need no Avahi turn it off.
  bool advertises = true;

  // Listens with `identity`, admitting those who show `token`, and
  // advertises under `displayName`. Nullopt once listening, else why not.
  // A running server is stopped first.
  std::optional<std::string> start(const Identity& identity, std::string token, const std::string& displayName);
  // Ends every stream and closes the listener.
  void stop();
  bool isRunning() const;
  std::optional<uint16_t> port() const;
  // A new token: every session and stream ends.
  void renew(std::string token);

  // What the pages are told. Shots and frames published while the server is
  // stopped are not kept: the shots are read again from storage when it
  // starts. The view is kept, for the first page that comes.
  void publishView(const core::VantleSnapshot& snapshot, const StatusWords& words);
  void publishShot(const core::WireSegment& segment);
  void publishFrame(core::Bytes jpeg, const std::string& fileName);
  void clearFrame();

  size_t streamCount() const { return feed_.streamCount(); }
  size_t sessionCount() const { return access_.sessionCount(); }
  size_t connectionCount() const { return deadlines_.size(); }

  struct Daemon;

 private:
  WebService(uint16_t preferredPort, bool fallBack);
  void loadShotsIfNeeded(const std::optional<std::string>& shootID);
  void scheduleTick(uint64_t run, int beat);

  const uint16_t preferredPort_;
  const bool fallBack_;
  LiveFeed feed_;
  WebAccess access_;
  ConnectionDeadlines deadlines_;
  support::SerialQueue queue_;

  mutable std::mutex mutex_;  // guards the three below
  std::unique_ptr<Daemon> daemon_;
  std::optional<uint16_t> port_;
  std::optional<std::optional<std::string>> loading_;  // the shoot whose shots are being loaded
  std::unique_ptr<net::ServiceAdvertiser> advertiser_;
  uint64_t run_ = 0;  // counts starts and stops: a tick of an earlier run stops ticking
};

}  // namespace vantle::web
