#include "app/bus/agent_ctl.h"

#include <systemd/sd-bus.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "agent/desktop/dbus.h"
#include "app/agent_options.h"
#include "app/bus/agent_bus.h"
#include "core/vantle_coding.h"

namespace vantle::app {

namespace {

// A bus error and the call's result together, freed on the way out.
struct CallError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~CallError() { sd_bus_error_free(&error); }
};

struct Reply {
  sd_bus_message* message = nullptr;
  ~Reply() { sd_bus_message_unref(message); }
};

// One conversation with the running agent; says what went wrong on standard error.
class Agent {
 public:
  Agent() {
    agent::Result<agent::BusConnection> opened = agent::openBus(agent::BusKind::session);
    if (opened.ok()) {
      bus_ = std::move(opened.value());
    } else {
      reason_ = opened.failure().description;
    }
  }

  // Calls `method` with `signature` and the arguments; the exit code of it.
  template <typename... Arguments>
  int call(const char* method, Reply& reply, const char* signature, Arguments... arguments) {
    if (!bus_) return noAgent("the session bus is not reachable: " + reason_);
    CallError failure;
    const int result = sd_bus_call_method(bus_.get(), busName, busPath, busInterface, method, &failure.error,
                                          &reply.message, signature, arguments...);
    return outcome(result, failure);
  }

  int property(const char* name, const char* type, Reply& reply) {
    if (!bus_) return noAgent("the session bus is not reachable: " + reason_);
    CallError failure;
    const int result =
        sd_bus_get_property(bus_.get(), busName, busPath, busInterface, name, &failure.error, &reply.message, type);
    return outcome(result, failure);
  }

 private:
  int outcome(int result, const CallError& failure) {
    if (result >= 0) return ctlexit::ok;
    if (agent::isNoSuchService(failure.error)) return noAgent("");
    const std::string why = agent::describeBusError(failure.error, result);
    if (sd_bus_error_has_name(&failure.error, busRefusedError)) {
      std::fprintf(stderr, "vantle-agent: %s\n", why.c_str());
      return ctlexit::refused;
    }
    return noAgent("it did not answer: " + why);
  }

  static int noAgent(const std::string& why) {
    std::fprintf(stderr, "vantle-agent: no agent is running%s%s\n", why.empty() ? "" : "; ", why.c_str());
    return ctlexit::noAgent;
  }

  agent::BusConnection bus_;
  std::string reason_;
};

int usage(const std::string& why) {
  std::fprintf(stderr, "vantle-agent ctl: %s. Try 'vantle-agent --help'.\n", why.c_str());
  return ctlexit::usage;
}

std::vector<std::string> readStrings(sd_bus_message* message) {
  char** strings = nullptr;
  std::vector<std::string> lines;
  if (sd_bus_message_read_strv(message, &strings) < 0 || !strings) return lines;
  for (char** line = strings; *line; ++line) {
    lines.emplace_back(*line);
    free(*line);
  }
  free(strings);
  return lines;
}

int status(Agent& agent, bool json) {
  if (!json) {
    Reply reply;
    if (const int code = agent.property("StatusLines", "as", reply)) return code;
    for (const std::string& line : readStrings(reply.message)) std::printf("%s\n", line.c_str());
    return ctlexit::ok;
  }
  core::Json object = core::Json::object();
  const std::pair<const char*, char> properties[] = {
      {"Status", 's'},         {"Remedy", 's'}, {"StatusLines", 'a'}, {"FrameCount", 'x'},
      {"Running", 'b'},        {"Shoot", 's'},  {"Companions", 'x'},  {"Port", 'q'},
      {"HasPairingCode", 'b'}, {"Folder", 's'}, {"CountAll", 'b'},    {"StopClockAfterMinutes", 'd'},
      {"SharesWithBrowsers", 'b'}};
  for (const auto& [name, type] : properties) {
    Reply reply;
    const std::string signature = type == 'a' ? "as" : std::string(1, type);
    if (const int code = agent.property(name, signature.c_str(), reply)) return code;
    const auto read = [&](auto value) {
      sd_bus_message_read_basic(reply.message, type, &value);
      return value;
    };
    switch (type) {
      case 's':
        object[name] = std::string(read(static_cast<const char*>(nullptr)));
        break;
      case 'x':
        object[name] = read(int64_t{0});
        break;
      case 'q':
        object[name] = read(uint16_t{0});
        break;
      case 'b':
        object[name] = read(int{0}) != 0;
        break;
      case 'd':
        object[name] = read(0.0);
        break;
      default:
        object[name] = readStrings(reply.message);
        break;
    }
  }
  std::printf("%s\n", core::VantleCoding::dump(object).c_str());
  return ctlexit::ok;
}

}  // namespace

int runCtl(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return usage("a command is needed");
  const std::string& command = arguments.front();
  const std::string argument = arguments.size() > 1 ? arguments[1] : "";
  const size_t count = arguments.size();
  const auto takes = [&](size_t values) { return count == values + 1; };
  Agent agent;
  Reply reply;
  if (command == "status" && (takes(0) || (takes(1) && argument == "--json"))) return status(agent, takes(1));
  if (command == "code" && takes(0)) {
    if (const int code = agent.call("PairingCode", reply, "")) return code;
    const char* pairingCode = nullptr;
    if (sd_bus_message_read(reply.message, "s", &pairingCode) < 0 || !pairingCode) return ctlexit::noAgent;
    std::printf("%s\n", pairingCode);
    return ctlexit::ok;
  }
  if (command == "browser" && takes(0)) {
    if (const int code = agent.call("BrowserAddress", reply, "")) return code;
    const char* address = nullptr;
    const char* fingerprint = nullptr;
    if (sd_bus_message_read(reply.message, "ss", &address, &fingerprint) < 0 || !address) return ctlexit::noAgent;
    std::printf("%s\nCertificate SHA-256: %s\n", address, fingerprint ? fingerprint : "");
    return ctlexit::ok;
  }
  if (command == "browsers") {
    if (!takes(1) || (argument != "on" && argument != "off")) return usage("browsers needs on or off");
    if (const int code = agent.call("ShareWithBrowsers", reply, "b", int(argument == "on"))) return code;
    std::printf("%s\n", argument == "on" ? "Browsers may follow the shoot ('vantle-agent ctl browser' shows the address)."
                                         : "Browsers are no longer served.");
    return ctlexit::ok;
  }
  struct Plain {
    const char* word;
    const char* method;
    const char* said;
  };
  static constexpr Plain plain[] = {
      {"new-code", "NewPairingCode",
       "A new pairing code was made: companions pair again ('vantle-agent ctl code' shows it)."},
      {"end", "EndShoot", "Ending the shoot."},
      {"resume", "ResumeShoot", "Resuming the shoot."},
      {"capture-one", "ReadCaptureApplication", "Reading Capture One's capture folder."},
      {"show-qr", "ShowQRCode", nullptr},
      {"stop", "Stop", "Stopped: companions are disconnected until started again."},
      {"start", "Start", nullptr},
      {"quit", "Quit", "The agent is quitting."},
  };
  for (const Plain& p : plain) {
    if (command != p.word) continue;
    if (!takes(0)) return usage(command + " takes no argument");
    if (const int code = agent.call(p.method, reply, "")) return code;
    if (p.said) std::printf("%s\n", p.said);
    return ctlexit::ok;
  }
  if (command == "watch") {
    if (!takes(1) || argument.empty()) return usage("watch needs one folder");
    std::error_code error;
    const std::string folder = std::filesystem::absolute(argument, error).lexically_normal().string();
    if (const int code = agent.call("Watch", reply, "s", folder.c_str())) return code;
    std::printf("Watching %s\n", folder.c_str());
    return ctlexit::ok;
  }
  if (command == "count-all") {
    if (!takes(1) || (argument != "on" && argument != "off")) return usage("count-all needs on or off");
    if (const int code = agent.call("CountAll", reply, "b", int(argument == "on"))) return code;
    std::printf("%s\n", argument == "on" ? "Counting every image." : "Counting RAW captures only.");
    return ctlexit::ok;
  }
  if (command == "stop-clock-after") {
    const auto minutes = takes(1) ? parseMinutes(argument) : std::nullopt;
    if (!minutes) return usage("stop-clock-after needs minutes above 0 and at most 1440");
    if (const int code = agent.call("StopClockAfter", reply, "d", *minutes)) return code;
    return ctlexit::ok;
  }
  return usage("unknown command '" + command + "'");
}

std::vector<std::string> runningAgentStatus() {
  Agent agent;
  Reply reply;
  if (agent.property("StatusLines", "as", reply) != ctlexit::ok) return {};
  return readStrings(reply.message);
}

bool showRunningAgent() {
  Agent agent;
  Reply reply;
  return agent.call("ShowWindow", reply, "") == ctlexit::ok;
}

}  // namespace vantle::app
