#include "web/web_service.h"

#include <microhttpd.h>

#include <charconv>
#include <cstring>
#include <nlohmann/json.hpp>

#include "net/dns_sd.h"
#include "support/log.h"
#include "support/safe_text.h"
#include "support/weak.h"
#include "web/page_assets.h"
#include "web/plan_query.h"

namespace vantle::web {

namespace {

constexpr std::string_view kLog = "web";

// Scripts, styles and pictures from this server only; nothing inline, no
// frames, no forms posted anywhere.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "manifest-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// What one request has brought so far; libmicrohttpd keeps it between calls.
struct Request {
  std::string body;
  bool tooLarge = false;
};

// A stream's hold on its feed and connection, freed by libmicrohttpd.
struct StreamBox {
  LiveFeed* feed;
  std::shared_ptr<LiveFeed::Stream> stream;
};

void addCommonHeaders(MHD_Response* response) {
  MHD_add_response_header(response, "Content-Security-Policy", kContentSecurityPolicy);
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(response, "X-Frame-Options", "DENY");
  MHD_add_response_header(response, "Cross-Origin-Opener-Policy", "same-origin");
  MHD_add_response_header(response, "Cross-Origin-Resource-Policy", "same-origin");
}

MHD_Result send(MHD_Connection* connection, unsigned status, std::string_view body, const char* contentType,
                const char* cacheControl = "no-store",
                const std::vector<std::pair<const char*, std::string>>& extra = {}) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  addCommonHeaders(response);
  if (contentType) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, cacheControl);
  for (const auto& [name, value] : extra) MHD_add_response_header(response, name, value.c_str());
  const MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result sendError(MHD_Connection* connection, unsigned status, const std::string& sentence) {
  const core::Json body = {{"error", sentence}};
  return send(connection, status, core::VantleCoding::dump(body), "application/json");
}

ssize_t readStream(void* cls, uint64_t, char* into, size_t capacity) {
  auto* box = static_cast<StreamBox*>(cls);
  bool ended = false;
  const size_t size = box->feed->read(*box->stream, into, capacity, &ended);
  if (ended) return MHD_CONTENT_READER_END_OF_STREAM;
  return static_cast<ssize_t>(size);  // 0: parked until the feed has news
}

void freeStream(void* cls) {
  auto* box = static_cast<StreamBox*>(cls);
  box->feed->close(*box->stream);
  delete box;
}

// "/shots/123.jpg" gives 123.
std::optional<uint64_t> shotNumber(std::string_view url) {
  constexpr std::string_view prefix = "/shots/", suffix = ".jpg";
  if (!url.starts_with(prefix) || !url.ends_with(suffix)) return std::nullopt;
  const std::string_view digits = url.substr(prefix.size(), url.size() - prefix.size() - suffix.size());
  uint64_t seq = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seq);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return seq;
}

}  // namespace

// The libmicrohttpd daemon and the callbacks that reach back into the service.
struct WebService::Daemon {
  WebService& service;
  MHD_Daemon* handle = nullptr;
  std::string lastMessage;  // libmicrohttpd's last complaint, for a failed start

  explicit Daemon(WebService& owner) : service(owner) {}
  ~Daemon() {
    if (handle) MHD_stop_daemon(handle);
  }

  static void log(void* cls, const char* format, va_list arguments) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, arguments);
    std::string text = line;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    static_cast<Daemon*>(cls)->lastMessage = text;
    support::log::debug(kLog, support::printable(text));
  }

  static void connectionNotice(void* cls, MHD_Connection* connection, void** context,
                               MHD_ConnectionNotificationCode code) {
    auto& deadlines = static_cast<Daemon*>(cls)->service.deadlines_;
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      *context = info ? deadlines.started(info->connect_fd, ConnectionDeadlines::Clock::now()) : nullptr;
    } else {
      deadlines.closed(static_cast<ConnectionDeadlines::Record*>(*context));
      *context = nullptr;
    }
  }

  static ConnectionDeadlines::Record* recordOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<ConnectionDeadlines::Record*>(info->socket_context) : nullptr;
  }

  static void completed(void* cls, MHD_Connection* connection, void** requestContext, MHD_RequestTerminationCode) {
    delete static_cast<Request*>(*requestContext);
    *requestContext = nullptr;
    static_cast<Daemon*>(cls)->service.deadlines_.requestEnded(recordOf(connection), ConnectionDeadlines::Clock::now());
  }

  static MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                           const char* upload, size_t* uploadSize, void** requestContext) {
    auto& self = *static_cast<Daemon*>(cls);
    auto* request = static_cast<Request*>(*requestContext);
    if (!request) {
      // The headers are in; the body, if any, comes in the calls that follow.
      request = new Request;
      *requestContext = request;
      if (std::strcmp(method, MHD_HTTP_METHOD_POST) == 0) {
        const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (length && std::strtoull(length, nullptr, 10) > bodyLimit) {
          return sendError(connection, MHD_HTTP_CONTENT_TOO_LARGE, "The request is too large.");
        }
      }
      // Answered on the next call: answering now would close a kept-alive connection.
      return MHD_YES;
    }
    if (*uploadSize > 0) {
      // Past the limit the body is read and dropped (libmicrohttpd answers
      // only once it is whole); an endless one meets the request deadline.
      if (request->body.size() + *uploadSize > bodyLimit) {
        request->tooLarge = true;
      } else {
        request->body.append(upload, *uploadSize);
      }
      *uploadSize = 0;
      return MHD_YES;
    }
    // The whole request is in: from here it is being answered, with no deadline.
    self.service.deadlines_.requestBegan(recordOf(connection));
    if (request->tooLarge) return sendError(connection, MHD_HTTP_CONTENT_TOO_LARGE, "The request is too large.");
    return self.route(connection, url, method, *request);
  }

  MHD_Result route(MHD_Connection* connection, std::string_view url, std::string_view method, Request& request) {
    const bool reading = method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD;
    if (url == "/session") {
      if (method != MHD_HTTP_METHOD_POST) return notAllowed(connection, "POST");
      return openSession(connection, request.body);
    }
    if (const PageAsset* asset = findPageAsset(url)) {
      if (!reading) return notAllowed(connection, "GET, HEAD");
      return send(connection, MHD_HTTP_OK, asset->body, asset->contentType.data(), "no-cache");
    }
    if (url != "/events" && url != "/frame.jpg" && url != "/plan" && !shotNumber(url)) {
      return sendError(connection, MHD_HTTP_NOT_FOUND, "There is nothing here.");
    }
    if (!reading) return notAllowed(connection, "GET, HEAD");
    const char* session = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, cookieName);
    if (!session || !service.access_.admits(session)) {
      return sendError(connection, MHD_HTTP_UNAUTHORIZED, "Open the address of the browser QR code again.");
    }
    if (url == "/events") return openStream(connection);
    if (url == "/plan") return plan(connection);
    const LiveFeed::Bytes picture =
        url == "/frame.jpg" ? service.feed_.frame() : service.feed_.shotThumbnail(*shotNumber(url));
    if (!picture) return sendError(connection, MHD_HTTP_NOT_FOUND, "No picture yet.");
    const std::string_view bytes(reinterpret_cast<const char*>(picture->data()), picture->size());
    // A shot's thumbnail never changes; the newest frame's does, under the same name.
    return send(connection, MHD_HTTP_OK, bytes, "image/jpeg",
                url == "/frame.jpg" ? "no-store" : "private, max-age=86400");
  }

  static MHD_Result notAllowed(MHD_Connection* connection, const char* allowed) {
    return send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, R"({"error":"Nothing here can be changed."})",
                "application/json", "no-store", {{MHD_HTTP_HEADER_ALLOW, allowed}});
  }

  MHD_Result openSession(MHD_Connection* connection, std::string_view offered) {
    while (!offered.empty() && (offered.back() == '\n' || offered.back() == '\r' || offered.back() == ' ')) {
      offered.remove_suffix(1);
    }
    const std::optional<std::string> session = service.access_.openSession(offered);
    if (!session) {
      return sendError(connection, MHD_HTTP_FORBIDDEN,
                       "This address no longer opens the shoot: scan the browser QR code the agent shows now.");
    }
    return send(connection, MHD_HTTP_NO_CONTENT, "", nullptr, "no-store",
                {{MHD_HTTP_HEADER_SET_COOKIE,
                  std::string(cookieName) + "=" + *session + "; Path=/; Secure; HttpOnly; SameSite=Strict"}});
  }

  MHD_Result openStream(MHD_Connection* connection) {
    auto* box = new StreamBox{&service.feed_, nullptr};
    box->stream = service.feed_.open([connection] { MHD_suspend_connection(connection); },
                                     [connection] { MHD_resume_connection(connection); });
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, readStream, box, freeStream);
    if (!response) {
      freeStream(box);
      return MHD_NO;
    }
    addCommonHeaders(response);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream; charset=utf-8");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Accel-Buffering", "no");
    const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
  }

  MHD_Result plan(MHD_Connection* connection) {
    const auto parsed = PlanTarget::parse(MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "looks"),
                                          MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "frames"),
                                          MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "wrap"));
    if (const auto* error = std::get_if<std::string>(&parsed))
      return sendError(connection, MHD_HTTP_BAD_REQUEST, *error);
    const core::Json reply = planJson(std::get<PlanTarget>(parsed), service.feed_.planFacts(), service.now());
    return send(connection, MHD_HTTP_OK, core::VantleCoding::dump(reply), "application/json");
  }
};

std::shared_ptr<WebService> WebService::create(uint16_t preferredPort, bool fallBack) {
  return std::shared_ptr<WebService>(new WebService(preferredPort, fallBack));
}

WebService::WebService(uint16_t preferredPort, bool fallBack)
    : preferredPort_(preferredPort),
      fallBack_(fallBack),
      deadlines_(std::chrono::duration_cast<ConnectionDeadlines::Clock::duration>(
          std::chrono::duration<double>(headerSeconds))),
      queue_("com.orvane.vantle.web") {
  now = [] { return std::chrono::system_clock::now(); };
}

WebService::~WebService() { stop(); }

std::optional<std::string> WebService::start(const Identity& identity, std::string token,
                                             const std::string& displayName) {
  stop();
  access_.renew(std::move(token));
  feed_.acceptStreams();
  feed_.forgetShots();  // shots closed while stopped were not kept: the first view reads them again
  auto daemon = std::make_unique<Daemon>(*this);
  const auto listen = [&](uint16_t port) {
    // clang-format off
    return MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_TLS | MHD_ALLOW_SUSPEND_RESUME |
            MHD_USE_DUAL_STACK | MHD_USE_ERROR_LOG,
        port, nullptr, nullptr, &Daemon::answer, daemon.get(),
        MHD_OPTION_EXTERNAL_LOGGER, &Daemon::log, daemon.get(),  // first, so that it hears everything
        MHD_OPTION_HTTPS_MEM_KEY, identity.keyPem.c_str(),
        MHD_OPTION_HTTPS_MEM_CERT, identity.certificatePem.c_str(),
        MHD_OPTION_HTTPS_PRIORITIES, "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2",
        MHD_OPTION_CONNECTION_LIMIT, connectionLimit,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, perAddressLimit,
        MHD_OPTION_CONNECTION_TIMEOUT, idleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, headerBytes,
        MHD_OPTION_NOTIFY_COMPLETED, &Daemon::completed, daemon.get(),
        MHD_OPTION_NOTIFY_CONNECTION, &Daemon::connectionNotice, daemon.get(),
        MHD_OPTION_END);
    // clang-format on
  };
  daemon->handle = listen(preferredPort_);
  if (!daemon->handle && fallBack_ && preferredPort_ != 0) {
    support::log::info(kLog, "port " + std::to_string(preferredPort_) + " is taken; browsers get one the system picks");
    daemon->handle = listen(0);
  }
  if (!daemon->handle) {
    return daemon->lastMessage.empty() ? std::string("the browser server could not listen") : daemon->lastMessage;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon->handle, MHD_DAEMON_INFO_BIND_PORT);
  const uint16_t port = info ? info->port : 0;

  std::unique_ptr<net::ServiceAdvertiser> advertiser;
  if (advertises) {
    advertiser = std::make_unique<net::ServiceAdvertiser>(
        displayName, serviceType, port, net::TxtRecord{{"path", "/"}},
        net::ServiceAdvertiser::Callbacks{
            .onRegistered =
                [](const std::string& name) {
                  support::log::info(kLog, "browsers find this computer as \"" + support::printable(name) + "\"");
                },
            .onUnavailable =
                [](const std::string& reason) {
                  // The companions' service tells the user this already.
                  support::log::error(kLog, "browsers cannot find this computer by name: " + reason);
                }});
  }
  uint64_t run = 0;
  {
    std::lock_guard lock(mutex_);
    daemon_ = std::move(daemon);
    port_ = port;
    advertiser_ = std::move(advertiser);
    run = ++run_;
  }
  scheduleTick(run, 0);
  support::log::info(kLog, "browsers may follow the shoot on port " + std::to_string(port));
  return std::nullopt;
}

void WebService::scheduleTick(uint64_t run, int beat) {
  // Once a second while this run lasts: connections past their header
  // deadline are shut down, and every pingSeconds the streams are pinged.
  queue_.postAfter(1, support::weakly(weak_from_this(), [run, beat](WebService& self) {
                     {
                       std::lock_guard lock(self.mutex_);
                       if (self.run_ != run) return;  // stopped, or started again
                     }
                     self.deadlines_.enforce(ConnectionDeadlines::Clock::now());
                     if ((beat + 1) % int(pingSeconds) == 0) self.feed_.ping();
                     self.scheduleTick(run, beat + 1);
                   }));
}

void WebService::stop() {
  std::unique_ptr<Daemon> daemon;
  std::unique_ptr<net::ServiceAdvertiser> advertiser;
  {
    std::lock_guard lock(mutex_);
    daemon = std::move(daemon_);
    advertiser = std::move(advertiser_);
    port_.reset();
    ++run_;
  }
  advertiser.reset();
  if (!daemon) return;
  // A parked stream must be resumed before libmicrohttpd can stop, and none
  // opened meanwhile may park.
  feed_.endAll(/*refuseNew=*/true);
  daemon.reset();
}

bool WebService::isRunning() const {
  std::lock_guard lock(mutex_);
  return daemon_ != nullptr;
}

std::optional<uint16_t> WebService::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

void WebService::renew(std::string token) {
  access_.renew(std::move(token));
  feed_.endAll();
}

void WebService::publishView(const core::VantleSnapshot& snapshot, const StatusWords& words) {
  feed_.publishView(snapshot, words);
  loadShotsIfNeeded(snapshot.shootID);
}

void WebService::publishShot(const core::WireSegment& segment) {
  if (isRunning()) feed_.publishShot(segment);
}

void WebService::publishFrame(core::Bytes jpeg, const std::string& fileName) {
  if (isRunning()) feed_.publishFrame(std::move(jpeg), fileName);
}

void WebService::clearFrame() {
  if (isRunning()) feed_.clearFrame();
}

void WebService::loadShotsIfNeeded(const std::optional<std::string>& shootID) {
  if (!shootShots) return;
  {
    std::lock_guard lock(mutex_);
    if (feed_.loadedShootID() == std::optional<std::optional<std::string>>(shootID)) return;
    if (loading_ == std::optional<std::optional<std::string>>(shootID)) return;
    loading_ = shootID;
  }
  support::postWeakly(queue_, weak_from_this(), [shootID](WebService& self) {
    self.feed_.resetShots(shootID, self.shootShots(shootID));
    std::lock_guard lock(self.mutex_);
    if (self.loading_ == std::optional<std::optional<std::string>>(shootID)) self.loading_.reset();
  });
}

}  // namespace vantle::web
