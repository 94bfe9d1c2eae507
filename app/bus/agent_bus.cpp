#include "app/bus/agent_bus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "agent/desktop/dbus.h"
#include "support/log.h"
#include "support/safe_text.h"

namespace vantle::app {

namespace {

constexpr const char* kLog = "bus";
constexpr int reclaimMilliseconds = 10'000;

// D-Bus strings must be UTF-8, and a folder name need not be; what the bus
// shows is for reading, so unsafe bytes are written as escapes.
std::string shown(const std::string& text) { return support::printable(text); }

int appendStrings(sd_bus_message* reply, const std::vector<std::string>& lines) {
  std::vector<std::string> texts;
  for (const std::string& line : lines) texts.push_back(shown(line));
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return sd_bus_message_append_strv(reply, pointers.data());
}

int refuse(sd_bus_error* error, const std::string& why) {
  return sd_bus_error_set(error, busRefusedError, why.c_str());
}

std::vector<std::string> changedProperties(const AgentBusState& a, const AgentBusState& b) {
  std::vector<std::string> names;
  const auto note = [&](bool changed, const char* name) {
    if (changed) names.push_back(name);
  };
  note(a.status != b.status, "Status");
  note(a.remedy != b.remedy, "Remedy");
  note(a.statusLines != b.statusLines, "StatusLines");
  note(a.frameCount != b.frameCount, "FrameCount");
  note(a.running != b.running, "Running");
  note(a.shoot != b.shoot, "Shoot");
  note(a.companions != b.companions, "Companions");
  note(a.port != b.port, "Port");
  note(a.pairingCode.empty() != b.pairingCode.empty(), "HasPairingCode");
  note(a.folder != b.folder, "Folder");
  note(a.countAll != b.countAll, "CountAll");
  note(a.stopClockAfterMinutes != b.stopClockAfterMinutes, "StopClockAfterMinutes");
  note(a.sharesWithBrowsers != b.sharesWithBrowsers, "SharesWithBrowsers");
  return names;
}

}  // namespace

struct AgentBus::Impl {
  bool showsWindows = false;
  agent::BusConnection bus;  // the bus thread's, once it runs
  sd_bus_slot* object = nullptr;
  int wake = -1;  // an eventfd: new state, or stopping
  std::thread thread;

  std::mutex mutex;  // guards the three below
  std::optional<AgentBusState> pending;
  bool stopping = false;
  Perform performer;

  // Hands `command` on; false while nobody serves yet.
  bool perform(const AgentCommand& command) {
    Perform to;
    {
      std::lock_guard lock(mutex);
      to = performer;
    }
    if (!to) return false;
    to(command);
    return true;
  }

  AgentBusState current;  // on the bus thread: what the properties answer

  ~Impl() {
    if (wake >= 0) close(wake);
  }

  // Opens the bus, takes the name and serves the object.
  std::variant<std::monostate, AlreadyRunning, NoBus> connect() {
    agent::Result<agent::BusConnection> opened = agent::openBus(agent::BusKind::session);
    if (!opened.ok()) return NoBus{opened.failure().description};
    agent::BusConnection connection = std::move(opened.value());
    const int requested = sd_bus_request_name(connection.get(), busName, 0);
    if (requested == -EEXIST || requested == -EALREADY) {
      AlreadyRunning running;
      sd_bus_creds* creds = nullptr;
      pid_t pid = 0;
      if (sd_bus_get_name_creds(connection.get(), busName, SD_BUS_CREDS_PID, &creds) >= 0) {
        if (sd_bus_creds_get_pid(creds, &pid) >= 0) running.pid = pid;
        sd_bus_creds_unref(creds);
      }
      return running;
    }
    if (requested < 0) return NoBus{std::string("the name could not be taken: ") + std::strerror(-requested)};
    const int added = sd_bus_add_object_vtable(connection.get(), &object, busPath, busInterface, vtable, this);
    if (added < 0) return NoBus{std::string("the object could not be served: ") + std::strerror(-added)};
    bus = std::move(connection);
    return std::monostate{};
  }

  void disconnect() {
    object = sd_bus_slot_unref(object);
    if (bus) sd_bus_release_name(bus.get(), busName);
    bus.reset();
  }

  // ---- The bus thread ----

  void run() {
    bool saidLost = false;
    while (!stoppingNow()) {
      if (!bus) {
        if (!waitForWake(reclaimMilliseconds)) continue;
        auto reconnected = connect();
        if (!std::holds_alternative<std::monostate>(reconnected)) continue;
        support::log::info(kLog, "the agent is on the session bus again");
        saidLost = false;
      }
      int processed = 0;
      while ((processed = sd_bus_process(bus.get(), nullptr)) > 0) {
      }
      if (processed >= 0) processed = announce();
      if (processed < 0) {
        if (!saidLost) {
          support::log::error(kLog, std::string("the session bus went away (") + std::strerror(-processed) +
                                        "); trying again every ten seconds");
        }
        saidLost = true;
        disconnect();
        continue;
      }
      waitForBus();
    }
    disconnect();
  }

  bool stoppingNow() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  // Waits up to `milliseconds` for the wake; true when the time passed (not stopping).
  bool waitForWake(int milliseconds) {
    pollfd woken{wake, POLLIN, 0};
    poll(&woken, 1, milliseconds);
    drainWake();
    return !stoppingNow();
  }

  void waitForBus() {
    pollfd fds[2] = {{sd_bus_get_fd(bus.get()), static_cast<short>(sd_bus_get_events(bus.get())), 0},
                     {wake, POLLIN, 0}};
    uint64_t until = 0;
    int timeout = -1;
    if (sd_bus_get_timeout(bus.get(), &until) >= 0 && until != UINT64_MAX) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const uint64_t nowMicroseconds = uint64_t(now.tv_sec) * 1'000'000 + uint64_t(now.tv_nsec) / 1000;
      timeout = until <= nowMicroseconds ? 0 : static_cast<int>((until - nowMicroseconds + 999) / 1000);
    }
    poll(fds, 2, timeout);
    drainWake();
  }

  void drainWake() {
    uint64_t count = 0;
    while (read(wake, &count, sizeof count) > 0) {
    }
  }

  // Takes the newest published state and tells watchers what changed.
  int announce() {
    std::optional<AgentBusState> next;
    {
      std::lock_guard lock(mutex);
      next.swap(pending);
    }
    if (!next) return 0;
    std::vector<std::string> names = changedProperties(current, *next);
    current = std::move(*next);
    if (names.empty()) return 0;
    std::vector<char*> pointers;
    for (std::string& name : names) pointers.push_back(name.data());
    pointers.push_back(nullptr);
    return sd_bus_emit_properties_changed_strv(bus.get(), busPath, busInterface, pointers.data());
  }

  // ---- Properties and methods, on the bus thread ----

  static int property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply, void* userdata,
                      sd_bus_error*) {
    const AgentBusState& s = static_cast<Impl*>(userdata)->current;
    const std::string_view p = name;
    if (p == "Status") return sd_bus_message_append(reply, "s", shown(s.status).c_str());
    if (p == "Remedy") return sd_bus_message_append(reply, "s", shown(s.remedy).c_str());
    if (p == "StatusLines") return appendStrings(reply, s.statusLines);
    if (p == "FrameCount") return sd_bus_message_append(reply, "x", s.frameCount);
    if (p == "Running") return sd_bus_message_append(reply, "b", int(s.running));
    if (p == "Shoot") return sd_bus_message_append(reply, "s", s.shoot.c_str());
    if (p == "Companions") return sd_bus_message_append(reply, "x", s.companions);
    if (p == "Port") return sd_bus_message_append(reply, "q", s.port);
    if (p == "HasPairingCode") return sd_bus_message_append(reply, "b", int(!s.pairingCode.empty()));
    if (p == "Folder") return sd_bus_message_append(reply, "s", shown(s.folder).c_str());
    if (p == "CountAll") return sd_bus_message_append(reply, "b", int(s.countAll));
    if (p == "StopClockAfterMinutes") return sd_bus_message_append(reply, "d", s.stopClockAfterMinutes);
    if (p == "SharesWithBrowsers") return sd_bus_message_append(reply, "b", int(s.sharesWithBrowsers));
    return -ENOENT;
  }

  // A command that takes no argument and needs no check.
  template <AgentCommand::Kind kind>
  static int plain(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    return done(call, error, static_cast<Impl*>(userdata)->perform(AgentCommand{.kind = kind}));
  }

  static int done(sd_bus_message* call, sd_bus_error* error, bool performed) {
    if (!performed) return refuse(error, "The agent is still starting; try again in a moment.");
    return sd_bus_reply_method_return(call, "");
  }

  static int resumeShoot(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    Impl& self = *static_cast<Impl*>(userdata);
    if (self.current.shoot != "ended") return refuse(error, "There is no ended shoot to resume.");
    return done(call, error, self.perform(AgentCommand{.kind = AgentCommand::Kind::resumeShoot}));
  }

  static int window(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    Impl& self = *static_cast<Impl*>(userdata);
    if (!self.showsWindows) return refuse(error, "This agent runs without a display: it has no window to show.");
    const bool qr = std::string_view(sd_bus_message_get_member(call)) == "ShowQRCode";
    return done(
        call, error,
        self.perform(AgentCommand{.kind = qr ? AgentCommand::Kind::showQrCode : AgentCommand::Kind::showWindow}));
  }

  static int pairingCode(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    const std::string& code = static_cast<Impl*>(userdata)->current.pairingCode;
    if (code.empty()) return refuse(error, "The agent is stopped: there is no pairing code.");
    return sd_bus_reply_method_return(call, "s", code.c_str());
  }

  // The browser address holds the browsers' access token: like the pairing code, only for a caller who asks.
  static int browserAddress(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    const AgentBusState& s = static_cast<Impl*>(userdata)->current;
    if (s.browserAddress.empty()) {
      return refuse(error, s.sharesWithBrowsers ? "Browsers cannot connect now: the agent is stopped or its browser "
                                                  "server did not start."
                                                : "Browsers are not served: turn on Share with Browsers.");
    }
    return sd_bus_reply_method_return(call, "ss", s.browserAddress.c_str(), s.browserFingerprint.c_str());
  }

  static int shareWithBrowsers(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    int on = 0;
    if (const int r = sd_bus_message_read(call, "b", &on); r < 0) return r;
    return done(call, error,
                static_cast<Impl*>(userdata)->perform(
                    AgentCommand{.kind = AgentCommand::Kind::shareWithBrowsers, .on = on != 0}));
  }

  static int watch(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    const char* folder = nullptr;
    if (const int r = sd_bus_message_read(call, "s", &folder); r < 0) return r;
    const std::filesystem::path path(folder);
    std::error_code failure;
    if (!path.is_absolute()) return refuse(error, "The folder must be given as an absolute path.");
    if (!std::filesystem::is_directory(path, failure)) return refuse(error, "No such folder: " + shown(folder));
    return done(
        call, error,
        static_cast<Impl*>(userdata)->perform(AgentCommand{.kind = AgentCommand::Kind::watch, .folder = folder}));
  }

  static int countAll(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    int on = 0;
    if (const int r = sd_bus_message_read(call, "b", &on); r < 0) return r;
    return done(
        call, error,
        static_cast<Impl*>(userdata)->perform(AgentCommand{.kind = AgentCommand::Kind::countAll, .on = on != 0}));
  }

  static int stopClockAfter(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    double minutes = 0;
    if (const int r = sd_bus_message_read(call, "d", &minutes); r < 0) return r;
    if (!(minutes > 0 && minutes <= 24 * 60)) return refuse(error, "The minutes must be above 0 and at most 1440.");
    return done(call, error,
                static_cast<Impl*>(userdata)->perform(
                    AgentCommand{.kind = AgentCommand::Kind::stopClockAfter, .minutes = minutes}));
  }

  static constexpr uint64_t changes = SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;
  static inline const sd_bus_vtable vtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("Status", "s", property, 0, changes),
      SD_BUS_PROPERTY("Remedy", "s", property, 0, changes),
      SD_BUS_PROPERTY("StatusLines", "as", property, 0, changes),
      SD_BUS_PROPERTY("FrameCount", "x", property, 0, changes),
      SD_BUS_PROPERTY("Running", "b", property, 0, changes),
      SD_BUS_PROPERTY("Shoot", "s", property, 0, changes),
      SD_BUS_PROPERTY("Companions", "x", property, 0, changes),
      SD_BUS_PROPERTY("Port", "q", property, 0, changes),
      SD_BUS_PROPERTY("HasPairingCode", "b", property, 0, changes),
      SD_BUS_PROPERTY("Folder", "s", property, 0, changes),
      SD_BUS_PROPERTY("CountAll", "b", property, 0, changes),
      SD_BUS_PROPERTY("StopClockAfterMinutes", "d", property, 0, changes),
      SD_BUS_PROPERTY("SharesWithBrowsers", "b", property, 0, changes),
      SD_BUS_METHOD("EndShoot", "", "", plain<AgentCommand::Kind::endShoot>, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("ResumeShoot", "", "", resumeShoot, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("NewPairingCode", "", "", plain<AgentCommand::Kind::newPairingCode>, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("PairingCode", "", "s", pairingCode, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("ShareWithBrowsers", "b", "", shareWithBrowsers, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("BrowserAddress", "", "ss", browserAddress, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("ShowQRCode", "", "", window, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("ShowWindow", "", "", window, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("Watch", "s", "", watch, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("ReadCaptureApplication", "", "", plain<AgentCommand::Kind::captureOne>,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("CountAll", "b", "", countAll, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("StopClockAfter", "d", "", stopClockAfter, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("Stop", "", "", plain<AgentCommand::Kind::stop>, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("Start", "", "", plain<AgentCommand::Kind::start>, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("Quit", "", "", plain<AgentCommand::Kind::quit>, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
};

AgentBus::Claim AgentBus::claim(bool showsWindows) {
  auto impl = std::make_unique<Impl>();
  impl->showsWindows = showsWindows;
  impl->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl->wake < 0) return NoBus{std::string("no eventfd: ") + std::strerror(errno)};
  auto connected = impl->connect();
  if (auto* running = std::get_if<AlreadyRunning>(&connected)) return *running;
  if (auto* none = std::get_if<NoBus>(&connected)) return *none;
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->run(); });
  return std::unique_ptr<AgentBus>(new AgentBus(std::move(impl)));
}

AgentBus::AgentBus(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

AgentBus::~AgentBus() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  const uint64_t one = 1;
  (void)!write(impl_->wake, &one, sizeof one);
  impl_->thread.join();
}

void AgentBus::serve(Perform perform) {
  std::lock_guard lock(impl_->mutex);
  impl_->performer = std::move(perform);
}

void AgentBus::publish(AgentBusState state) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->pending = std::move(state);
  }
  const uint64_t one = 1;
  (void)!write(impl_->wake, &one, sizeof one);
}

}  // namespace vantle::app
