#include "tools/capture_sim/sim_server.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "agent/capture/capture_one_channel.h"
#include "tools/capture_sim/control_channel.h"
#include "tools/capture_sim/property_reader.h"
#include "tools/capture_sim/script_runner.h"
#include "tools/capture_sim/script_text.h"

namespace vantle::tools {

namespace Channel = agent::CaptureOneChannel;
namespace Control = CaptureSimControl;

namespace {

const std::string busName(Channel::busName);
const std::string objectPath(Channel::objectPath);
const std::string scriptingInterface(Channel::interfaceName);
const std::string controlInterface(Control::interfaceName);

void say(const std::string& line) {
  std::printf("vantle-capture-sim: %s\n", line.c_str());
  std::fflush(stdout);
}

uint64_t monotonicNow(sd_event* event) {
  uint64_t now = 0;
  sd_event_now(event, CLOCK_MONOTONIC, &now);
  return now;
}

uint64_t microseconds(double seconds) { return static_cast<uint64_t>(std::llround(seconds * 1e6)); }

// Reads an "as" argument.
int readStrings(sd_bus_message* m, std::vector<std::string>& out) {
  char** strings = nullptr;
  const int r = sd_bus_message_read_strv(m, &strings);
  if (r < 0) return r;
  for (char** s = strings; s && *s; ++s) {
    out.emplace_back(*s);
    std::free(*s);
  }
  std::free(strings);
  return r;
}

int refuse(sd_bus_error* error, std::string_view name, const std::string& message) {
  return sd_bus_error_set(error, std::string(name).c_str(), message.c_str());
}

std::string firstLine(const std::string& text) {
  const size_t end = text.find('\n');
  return end == std::string::npos ? text : text.substr(0, end) + " ...";
}

const char* scriptName(ScriptKind kind) {
  switch (kind) {
    case ScriptKind::selectedPaths: return "selectedPaths";
    case ScriptKind::prepareRecipe: return "prepareRecipe";
    case ScriptKind::processSelection: return "processSelection";
    case ScriptKind::processPath: return "processPath";
    case ScriptKind::jobStatus: return "jobStatus";
  }
  return "?";
}

}  // namespace

CaptureSimServer::CaptureSimServer(SimulatedApplication application, double jobSeconds)
    : application_(std::move(application)), jobSeconds_(jobSeconds) {}

CaptureSimServer::~CaptureSimServer() {
  for (auto& [timer, shooting] : shootings_) sd_event_source_disable_unref(timer);
  for (auto& [timer, job] : jobs_) sd_event_source_disable_unref(timer);
  if (bus_) sd_bus_flush_close_unref(bus_);
  if (event_) sd_event_unref(event_);
}

Problem CaptureSimServer::run() {
  Problem problem = serve();
  if (bus_) {
    // Releasing the name is what tells the agent that the application quit.
    sd_bus_release_name(bus_, busName.c_str());
    sd_bus_flush(bus_);
  }
  return problem;
}

Problem CaptureSimServer::serve() {
  static const sd_bus_vtable scripting[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD_WITH_NAMES("Get", "as", SD_BUS_PARAM(specifier), "v", SD_BUS_PARAM(value), &onGet,
                               SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("Count", "as", SD_BUS_PARAM(specifier), "u", SD_BUS_PARAM(count), &onCount,
                               SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("RunScript", "s", SD_BUS_PARAM(source), "bvis",
                               SD_BUS_PARAM(ok) SD_BUS_PARAM(result) SD_BUS_PARAM(errorNumber)
                                   SD_BUS_PARAM(errorMessage),
                               &onRunScript, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };
  static const sd_bus_vtable control[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD_WITH_NAMES("SetCaptureFolder", "s", SD_BUS_PARAM(folder), "", "", &onControl,
                               SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("Shoot", "uds", SD_BUS_PARAM(count) SD_BUS_PARAM(intervalSeconds) SD_BUS_PARAM(extension),
                               "", "", &onControl, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("Select", "as", SD_BUS_PARAM(files), "", "", &onControl, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("OpenSession", "s", SD_BUS_PARAM(folder), "", "", &onControl,
                               SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("OpenCatalog", "", "", &onControl, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("CloseDocument", "", "", &onControl, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("SetCamera", "sbs", SD_BUS_PARAM(name) SD_BUS_PARAM(hasBattery) SD_BUS_PARAM(battery),
                               "", "", &onControl, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("RemoveCamera", "", "", &onControl, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("SetDenial", "s", SD_BUS_PARAM(mode), "", "", &onControl, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("Quit", "", "", &onControl, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };

  int r = sd_event_new(&event_);
  if (r < 0) return std::string("could not make an event loop: ") + std::strerror(-r);
  // Without a handler, either signal ends the loop as Quit does.
  sd_event_add_signal(event_, nullptr, SIGINT, nullptr, nullptr);
  sd_event_add_signal(event_, nullptr, SIGTERM, nullptr, nullptr);

  r = sd_bus_open_user(&bus_);
  if (r < 0) return std::string("could not connect to the session bus: ") + std::strerror(-r);
  r = sd_bus_attach_event(bus_, event_, SD_EVENT_PRIORITY_NORMAL);
  if (r >= 0) r = sd_bus_add_object_vtable(bus_, nullptr, objectPath.c_str(), scriptingInterface.c_str(), scripting, this);
  if (r >= 0) r = sd_bus_add_object_vtable(bus_, nullptr, objectPath.c_str(), controlInterface.c_str(), control, this);
  if (r < 0) return std::string("could not serve on the session bus: ") + std::strerror(-r);
  r = sd_bus_request_name(bus_, busName.c_str(), 0);
  if (r == -EEXIST) return busName + " is already owned: another capture application is running";
  if (r < 0) return "could not own " + busName + ": " + std::strerror(-r);
  say("serving " + busName + " on the session bus");

  r = sd_event_loop(event_);
  if (r < 0) return std::string("the event loop failed: ") + std::strerror(-r);
  say("quitting");
  return std::nullopt;
}

int CaptureSimServer::refuseIfDenied(sd_bus_error* error) const {
  switch (application_.denial()) {
    case Denial::none: return 0;
    case Denial::accessDenied:
      return refuse(error, Channel::accessDeniedError, "Not authorized to send Apple events to Capture One.");
    case Denial::consentRequired:
      return refuse(error, Channel::consentRequiredError,
                    "Sending Apple events to Capture One needs the user's consent.");
  }
  return 0;
}

int CaptureSimServer::onGet(sd_bus_message* m, void* self, sd_bus_error* error) {
  auto& server = *static_cast<CaptureSimServer*>(self);
  if (const int denied = server.refuseIfDenied(error)) return denied;
  std::vector<std::string> specifier;
  if (const int r = readStrings(m, specifier); r < 0) return r;
  auto value = readProperty(server.application_, specifier);
  if (auto* refusal = std::get_if<Refusal>(&value)) return refuse(error, refusal->errorName, refusal->message);
  return sd_bus_reply_method_return(m, "v", "s", std::get<std::string>(value).c_str());
}

int CaptureSimServer::onCount(sd_bus_message* m, void* self, sd_bus_error* error) {
  auto& server = *static_cast<CaptureSimServer*>(self);
  if (const int denied = server.refuseIfDenied(error)) return denied;
  std::vector<std::string> specifier;
  if (const int r = readStrings(m, specifier); r < 0) return r;
  auto count = countElements(server.application_, specifier);
  if (auto* refusal = std::get_if<Refusal>(&count)) return refuse(error, refusal->errorName, refusal->message);
  return sd_bus_reply_method_return(m, "u", std::get<uint32_t>(count));
}

int CaptureSimServer::onRunScript(sd_bus_message* m, void* self, sd_bus_error* error) {
  auto& server = *static_cast<CaptureSimServer*>(self);
  if (const int denied = server.refuseIfDenied(error)) return denied;
  const char* source = nullptr;
  if (const int r = sd_bus_message_read(m, "s", &source); r < 0) return r;
  const auto script = recognizeScript(source ? source : "");
  if (!script) {
    say("RunScript: a script the stand-in does not know");
    return sd_bus_reply_method_return(m, "bvis", 0, "s", "", Channel::syntaxError,
                                      "vantle-capture-sim cannot compile this script: it knows only the agent's five.");
  }
  const ScriptAnswer answer = runScript(server.application_, *script);
  if (script->kind != ScriptKind::jobStatus) say(std::string(scriptName(script->kind)) + " -> " + firstLine(answer.text));
  if (answer.startedJob) server.startJob(*answer.startedJob);
  return sd_bus_reply_method_return(m, "bvis", 1, "s", answer.text.c_str(), 0, "");
}

void CaptureSimServer::startJob(const std::string& identifier) {
  sd_event_source* timer = nullptr;
  const int r = sd_event_add_time_relative(event_, &timer, CLOCK_MONOTONIC, microseconds(jobSeconds_), 0,
                                           &onJobTimer, this);
  if (r < 0) {
    application_.finishJob(identifier);  // no timer: finish at once rather than never
    return;
  }
  jobs_.emplace(timer, identifier);
}

int CaptureSimServer::onJobTimer(sd_event_source* timer, uint64_t, void* self) {
  static_cast<CaptureSimServer*>(self)->finishJob(timer);
  return 0;
}

void CaptureSimServer::finishJob(sd_event_source* timer) {
  const auto job = jobs_.find(timer);
  if (job == jobs_.end()) return;
  application_.finishJob(job->second);
  say("job " + job->second + " done");
  jobs_.erase(job);
  sd_event_source_disable_unref(timer);
}

Problem CaptureSimServer::startShooting(uint32_t count, double interval, const std::string& extension) {
  if (count == 0) return std::nullopt;
  if (!std::isfinite(interval) || interval < 0) return "the interval must be zero or more seconds";
  // The first frame at once, so a refusal reaches the caller.
  auto first = application_.shoot(extension);
  if (auto* problem = std::get_if<std::string>(&first)) return *problem;
  say("shot " + std::get<std::filesystem::path>(first).string());
  if (count == 1) return std::nullopt;

  Shooting shooting{count - 1, extension, microseconds(interval), monotonicNow(event_) + microseconds(interval)};
  sd_event_source* timer = nullptr;
  const int r = sd_event_add_time(event_, &timer, CLOCK_MONOTONIC, shooting.due, 0, &onShootTimer, this);
  if (r < 0) return std::string("could not start the shoot timer: ") + std::strerror(-r);
  shootings_.emplace(timer, shooting);
  return std::nullopt;
}

int CaptureSimServer::onShootTimer(sd_event_source* timer, uint64_t, void* self) {
  static_cast<CaptureSimServer*>(self)->shootNext(timer);
  return 0;
}

void CaptureSimServer::shootNext(sd_event_source* timer) {
  const auto found = shootings_.find(timer);
  if (found == shootings_.end()) return;
  Shooting& shooting = found->second;
  auto frame = application_.shoot(shooting.extension);
  if (auto* problem = std::get_if<std::string>(&frame)) {
    say("shooting stopped: " + *problem);
    shooting.remaining = 0;
  } else {
    say("shot " + std::get<std::filesystem::path>(frame).string());
    --shooting.remaining;
  }
  if (shooting.remaining == 0) {
    shootings_.erase(found);
    sd_event_source_disable_unref(timer);
    return;
  }
  // From the previous deadline, so the cadence does not drift.
  shooting.due += shooting.intervalUsec;
  sd_event_source_set_time(timer, shooting.due);
  sd_event_source_set_enabled(timer, SD_EVENT_ONESHOT);
}

int CaptureSimServer::onControl(sd_bus_message* m, void* self, sd_bus_error* error) {
  return static_cast<CaptureSimServer*>(self)->control(m, error);
}

int CaptureSimServer::control(sd_bus_message* m, sd_bus_error* error) {
  const std::string member = sd_bus_message_get_member(m);
  Problem problem;
  int r = 0;
  if (member == "SetCaptureFolder" || member == "OpenSession") {
    const char* folder = nullptr;
    if ((r = sd_bus_message_read(m, "s", &folder)) < 0) return r;
    problem = member == "OpenSession" ? application_.openSession(folder) : application_.setCaptureFolder(folder);
  } else if (member == "Shoot") {
    uint32_t count = 0;
    double interval = 0;
    const char* extension = nullptr;
    if ((r = sd_bus_message_read(m, "uds", &count, &interval, &extension)) < 0) return r;
    problem = startShooting(count, interval, extension);
  } else if (member == "Select") {
    std::vector<std::string> files;
    if ((r = readStrings(m, files)) < 0) return r;
    problem = application_.select(std::vector<std::filesystem::path>(files.begin(), files.end()));
  } else if (member == "OpenCatalog") {
    problem = application_.openCatalog();
  } else if (member == "CloseDocument") {
    application_.closeDocument();
  } else if (member == "SetCamera") {
    const char* name = nullptr;
    int hasBattery = 0;
    const char* battery = nullptr;
    if ((r = sd_bus_message_read(m, "sbs", &name, &hasBattery, &battery)) < 0) return r;
    if (!*name) {
      problem = "a camera needs a name";
    } else {
      application_.setCamera(Camera::named(name, hasBattery ? std::optional<std::string>(battery) : std::nullopt));
    }
  } else if (member == "RemoveCamera") {
    application_.setCamera(std::nullopt);
  } else if (member == "SetDenial") {
    const char* mode = nullptr;
    if ((r = sd_bus_message_read(m, "s", &mode)) < 0) return r;
    const std::string_view text(mode);
    if (text == "off") {
      application_.setDenial(Denial::none);
    } else if (text == "on") {
      application_.setDenial(Denial::accessDenied);
    } else if (text == "consent") {
      application_.setDenial(Denial::consentRequired);
    } else {
      problem = "the denial must be off, on or consent, not '" + std::string(text) + "'";
    }
  } else if (member == "Quit") {
    sd_event_exit(event_, 0);
  }
  if (problem) {
    say(member + " refused: " + *problem);
    return refuse(error, Control::refusedError, *problem);
  }
  say(member);
  return sd_bus_reply_method_return(m, "");
}

}  // namespace vantle::tools
