#include "agent/capture/capture_one_bridge.h"

#include <asio/posix/stream_descriptor.hpp>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <variant>
#include <vector>

#include "agent/capture/capture_one_channel.h"
#include "agent/capture_path.h"
#include "core/trimmed.h"
#include "core/unicode.h"
#include "support/asio_queue.h"
#include "support/log.h"
#include "support/weak.h"

namespace vantle::agent {

namespace Ch = CaptureOneChannel;
namespace log = support::log;

namespace {

constexpr std::string_view kLog = "captureone";
constexpr uint64_t kCallTimeoutUsec = static_cast<uint64_t>(Ch::callTimeoutSeconds * 1'000'000);

// The application's error number for a failed call.
int errorNumber(const sd_bus_error* error, int result) {
  const auto is = [error](std::string_view name) { return sd_bus_error_has_name(error, std::string(name).c_str()); };
  if (is(Ch::accessDeniedError)) return Ch::notAllowed;
  if (is(Ch::consentRequiredError)) return Ch::needsConsent;
  if (is(Ch::noSuchObjectError)) return Ch::noSuchObject;
  if (is(SD_BUS_ERROR_SERVICE_UNKNOWN) || is(SD_BUS_ERROR_NAME_HAS_NO_OWNER)) return Ch::notRunning;
  if (is(SD_BUS_ERROR_NO_REPLY) || is(SD_BUS_ERROR_TIMEOUT) || is(SD_BUS_ERROR_DISCONNECTED) ||
      result == -ETIMEDOUT || result == -ECONNRESET || result == -ENOTCONN) {
    return Ch::connectionInvalid;
  }
  return -1708;  // the application did not handle the request
}

struct Unref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, Unref>;

}  // namespace

// The bus connection and everything that touches it; lives on the bridge's
// queue only.
struct CaptureOneBridge::Channel : std::enable_shared_from_this<Channel> {
  explicit Channel(CaptureOneBridge& bridge) : bridge(bridge) {}
  ~Channel() { close(); }

  CaptureOneBridge& bridge;
  sd_bus* bus = nullptr;
  std::unique_ptr<asio::posix::stream_descriptor> watch;
  int lastError = 0;  // of the last call, like the application's "last error"

  // A value read back: text, a flag, or an error number.
  using Value = std::variant<std::string, bool, int>;

  bool open() {
    if (bus && sd_bus_is_open(bus) > 0) return true;
    close();
    if (sd_bus_open_user(&bus) < 0) {
      bus = nullptr;
      return false;
    }
    // Hear the application quit: its name loses its owner.
    const std::string match = "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
                              std::string(Ch::busName) + "'";
    sd_bus_add_match(bus, nullptr, match.c_str(), ownerChanged, this);
    const int fd = ::dup(sd_bus_get_fd(bus));
    if (fd >= 0) {
      watch = std::make_unique<asio::posix::stream_descriptor>(support::strandOf(bridge.queue_), fd);
      awaitSignals();
    }
    pump();
    return true;
  }

  void close() {
    if (watch) {
      std::error_code ignored;
      watch->close(ignored);
      watch.reset();
    }
    if (bus) sd_bus_flush_close_unref(bus);
    bus = nullptr;
  }

  void awaitSignals() {
    watch->async_wait(asio::posix::stream_descriptor::wait_read,
                      support::weakly(weak_from_this(), [](Channel& self, const std::error_code& error) {
                        if (error || !self.bus) return;
                        if (!self.pump()) {
                          // The bus is gone: its descriptor stays readable for
                          // ever, so stop waiting on it. The next call connects
                          // afresh.
                          log::info(kLog, "the session bus connection was lost");
                          self.close();
                          return;
                        }
                        if (self.watch) self.awaitSignals();
                      }));
  }

  // Handles what the bus has sent; false once the connection is broken.
  bool pump() {
    int r = 0;
    while (bus && (r = sd_bus_process(bus, nullptr)) > 0) {
    }
    return bus && r >= 0 && sd_bus_is_open(bus) > 0;
  }

  static int ownerChanged(sd_bus_message* m, void* context, sd_bus_error*) {
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0) return 0;
    if (after && *after == '\0' && name && Ch::busName == name) {
      static_cast<Channel*>(context)->bridge.openQuietWindow();
    }
    return 0;
  }

  bool hasOwner() {
    if (!open()) return false;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int owned = 0;
    const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     "NameHasOwner", &error, &reply, "s", std::string(Ch::busName).c_str());
    if (r >= 0) sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r >= 0 && owned;
  }

  // Calls `member` on the application with `specifier` (as) and returns the
  // reply, or the error number.
  std::variant<Message, int> call(const char* member, const std::vector<std::string>& specifier,
                                  const std::string* source = nullptr) {
    if (!open()) return Ch::notRunning;
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus, &m, std::string(Ch::busName).c_str(),
                                           std::string(Ch::objectPath).c_str(),
                                           std::string(Ch::interfaceName).c_str(), member);
    Message request(m);
    if (r >= 0 && source) r = sd_bus_message_append(m, "s", source->c_str());
    if (r >= 0 && !source) {
      std::vector<const char*> codes;
      for (const auto& code : specifier) codes.push_back(code.c_str());
      codes.push_back(nullptr);
      r = sd_bus_message_append_strv(m, const_cast<char**>(codes.data()));
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (r >= 0) r = sd_bus_call(bus, m, kCallTimeoutUsec, &error, &reply);
    const int number = r < 0 ? errorNumber(&error, r) : 0;
    sd_bus_error_free(&error);
    lastError = number;
    if (r < 0) return number;
    return Message(reply);
  }

  // Reads one property; a value that is neither text nor a flag reads as
  // the error number -1700 (cannot be coerced).
  Value get(const std::vector<std::string>& specifier) {
    auto outcome = call("Get", specifier);
    if (auto* number = std::get_if<int>(&outcome)) return *number;
    sd_bus_message* reply = std::get<Message>(outcome).get();
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(reply, &type, &contents) < 0 || type != 'v' || !contents) return -1700;
    if (std::string_view(contents) == "s") {
      const char* text = nullptr;
      if (sd_bus_message_read(reply, "v", "s", &text) >= 0 && text) return std::string(text);
    } else if (std::string_view(contents) == "b") {
      int flag = 0;
      if (sd_bus_message_read(reply, "v", "b", &flag) >= 0) return flag != 0;
    }
    return -1700;
  }

  std::optional<uint32_t> count(const std::vector<std::string>& specifier) {
    auto outcome = call("Count", specifier);
    if (std::holds_alternative<int>(outcome)) return std::nullopt;
    uint32_t n = 0;
    if (sd_bus_message_read(std::get<Message>(outcome).get(), "u", &n) < 0) return std::nullopt;
    return n;
  }

  static std::optional<std::string> text(const Value& v) {
    if (const auto* s = std::get_if<std::string>(&v)) return *s;
    return std::nullopt;
  }

  Reading read() {
    Reading r;
    const std::string doc(Ch::Code::currentDocument);
    const std::string name(Ch::Code::name);
    if (auto documentName = text(get({doc, name}))) {
      r.documentName = documentName;
      r.isCatalog = text(get({doc, std::string(Ch::Code::documentKind)})) == std::string(Ch::Code::catalogKind);
      r.capturePath = text(get({doc, std::string(Ch::Code::capturesFolder)}));
      r.sessionRoot = text(get({doc, std::string(Ch::Code::documentFolder)}));
      const std::string camera(Ch::Code::camera);
      if (text(get({doc, camera, name}))) {
        r.cameraConnected = true;
        const std::string attributes(Ch::Code::cameraAttributes);
        const uint32_t n = count({doc, camera, attributes}).value_or(0);
        for (uint32_t i = 1; i <= n; ++i) {
          const std::string element = attributes + "#" + std::to_string(i);
          const auto attributeName = text(get({doc, camera, element, name}));
          if (attributeName && core::lowercased(*attributeName).find("battery") != std::string::npos) {
            r.cameraBattery = text(get({doc, camera, element, std::string(Ch::Code::attributeValue)}));
            break;
          }
        }
      } else {
        r.cameraConnected = false;
      }
    }
    r.permissionDenied = lastError == Ch::notAllowed || lastError == Ch::needsConsent;
    return r;
  }

  ScriptResult run(const std::string& source) {
    if (!open()) return {};  // nothing to send it over
    auto outcome = call("RunScript", {}, &source);
    if (auto* number = std::get_if<int>(&outcome)) {
      return {std::nullopt, ScriptError{*number, "The script could not be delivered to Capture One."}};
    }
    sd_bus_message* reply = std::get<Message>(outcome).get();
    int ok = 0;
    if (sd_bus_message_read(reply, "b", &ok) < 0) return {std::nullopt, ScriptError{-1708, "Unreadable answer."}};
    std::optional<std::string> result;
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(reply, &type, &contents) >= 0 && contents && std::string_view(contents) == "s") {
      const char* value = nullptr;
      if (sd_bus_message_read(reply, "v", "s", &value) >= 0 && value) result = value;
    } else {
      sd_bus_message_skip(reply, "v");
    }
    int32_t number = 0;
    const char* message = nullptr;
    sd_bus_message_read(reply, "is", &number, &message);
    // A text the application cannot compile is no script at all.
    if (!ok && number == Ch::syntaxError) return {};
    if (!ok) return {std::nullopt, ScriptError{number, message ? message : ""}};
    return {result, std::nullopt};
  }
};

CaptureOneBridge::CaptureOneBridge(const Clock& clock, std::filesystem::path volumesFolder)
    : clock_(clock),
      volumesFolder_(std::move(volumesFolder)),
      quietUntil_(core::Instant::min()),
      queue_("com.orvane.vantle.captureone") {
  channel_ = std::make_shared<Channel>(*this);
}

CaptureOneBridge::~CaptureOneBridge() {
  queue_.runOrWait([this] { channel_.reset(); });
}

CaptureOneBridge& CaptureOneBridge::shared() {
  static CaptureOneBridge* bridge = new CaptureOneBridge();  // lives as long as the process
  return *bridge;
}

bool CaptureOneBridge::quiet() const {
  std::lock_guard lock(quietMutex_);
  return clock_.now() < quietUntil_;
}

void CaptureOneBridge::openQuietWindow() {
  std::lock_guard lock(quietMutex_);
  quietUntil_ = core::addingSeconds(clock_.now(), quietSeconds);
}

bool CaptureOneBridge::isRunning() {
  return queue_.runOrWait([this] {
    channel_->pump();  // a quit still waiting in the connection opens the window first
    return !quiet() && channel_->hasOwner();
  });
}

std::optional<CaptureOneBridge::Reading> CaptureOneBridge::read() {
  return queue_.runOrWait([this]() -> std::optional<Reading> {
    channel_->pump();
    if (!channel_->hasOwner()) return std::nullopt;
    return channel_->read();
  });
}

CaptureOneBridge::ScriptResult CaptureOneBridge::run(std::string_view source) {
  return queue_.runOrWait([this, source = std::string(source)]() -> ScriptResult {
    channel_->pump();
    if (quiet() || !channel_->hasOwner()) {
      return {std::nullopt, ScriptError{CaptureOneChannel::notRunning, "Capture One is not running."}};
    }
    ScriptResult result = channel_->run(source);
    if (result.error && (result.error->number == CaptureOneChannel::notRunning ||
                         result.error->number == CaptureOneChannel::connectionInvalid)) {
      openQuietWindow();
    }
    if (result.error) log::info(kLog, "script failed: " + std::to_string(result.error->number) + " " + result.error->message);
    return result;
  });
}

std::optional<std::string> CaptureOneBridge::posixPath(std::string_view raw) const {
  const std::string text(core::trimmed(raw));
  if (text.empty()) return std::nullopt;
  if (text.front() == '/') return CapturePath::canonical(text);
  if (text.find(':') == std::string::npos) return std::nullopt;

  // "Volume:folder:folder:" — the first part names the volume.
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  std::filesystem::path rest;
  for (size_t i = 1; i < parts.size(); ++i) {
    if (!parts[i].empty()) rest /= parts[i];
  }
  if (rest.empty()) return std::nullopt;
  std::error_code error;
  const std::filesystem::path volume = volumesFolder_ / parts.front();
  if (!parts.front().empty() && std::filesystem::exists(volume, error)) {
    return CapturePath::canonical(std::filesystem::path(CapturePath::canonical(volume)) / rest);
  }
  return CapturePath::canonical(std::filesystem::path("/") / rest);
}

}  // namespace vantle::agent
