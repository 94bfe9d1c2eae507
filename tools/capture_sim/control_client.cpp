#include "tools/capture_sim/control_client.h"

#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "agent/capture/capture_one_channel.h"
#include "tools/capture_sim/control_channel.h"

namespace vantle::tools {

namespace {

constexpr uint64_t callTimeoutUsec = 10'000'000;

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};

std::string absolute(const std::string& path) {
  std::error_code error;
  const std::filesystem::path made = std::filesystem::absolute(path, error);
  return error ? path : made.lexically_normal().string();
}

const char* memberOf(ControlCommand::Kind kind) {
  switch (kind) {
    case ControlCommand::captureFolder: return "SetCaptureFolder";
    case ControlCommand::shoot: return "Shoot";
    case ControlCommand::select: return "Select";
    case ControlCommand::openSession: return "OpenSession";
    case ControlCommand::openCatalog: return "OpenCatalog";
    case ControlCommand::closeDocument: return "CloseDocument";
    case ControlCommand::setCamera: return "SetCamera";
    case ControlCommand::removeCamera: return "RemoveCamera";
    case ControlCommand::deny: return "SetDenial";
    case ControlCommand::quit: return "Quit";
  }
  return "";
}

int appendArguments(sd_bus_message* m, const ControlCommand& command) {
  switch (command.kind) {
    case ControlCommand::captureFolder:
    case ControlCommand::openSession:
      return sd_bus_message_append(m, "s", absolute(command.paths.at(0)).c_str());
    case ControlCommand::select: {
      // Names without a folder stay as they are: the stand-in finds them in
      // its capture folder.
      std::vector<std::string> files;
      for (const auto& path : command.paths) {
        files.push_back(path.find('/') == std::string::npos ? path : absolute(path));
      }
      std::vector<char*> strings;
      for (auto& file : files) strings.push_back(file.data());
      strings.push_back(nullptr);
      return sd_bus_message_append_strv(m, strings.data());
    }
    case ControlCommand::shoot:
      return sd_bus_message_append(m, "uds", command.count, command.interval, command.extension.c_str());
    case ControlCommand::setCamera:
      return sd_bus_message_append(m, "sbs", command.name.c_str(), command.battery.has_value(),
                                   command.battery.value_or("").c_str());
    case ControlCommand::deny:
      return sd_bus_message_append(m, "s", command.name.c_str());
    case ControlCommand::openCatalog:
    case ControlCommand::closeDocument:
    case ControlCommand::removeCamera:
    case ControlCommand::quit:
      return 0;
  }
  return 0;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "vantle-capture-sim: %s\n", message.c_str());
  return exitcode::failed;
}

}  // namespace

int runControlCommand(const ControlCommand& command) {
  const std::string busName(agent::CaptureOneChannel::busName);
  sd_bus* raw = nullptr;
  int r = sd_bus_open_user(&raw);
  if (r < 0) return fail(std::string("cannot reach the session bus (is DBUS_SESSION_BUS_ADDRESS set?): ") + std::strerror(-r));
  std::unique_ptr<sd_bus, BusCloser> bus(raw);

  sd_bus_message* request = nullptr;
  r = sd_bus_message_new_method_call(bus.get(), &request, busName.c_str(),
                                     std::string(agent::CaptureOneChannel::objectPath).c_str(),
                                     std::string(CaptureSimControl::interfaceName).c_str(), memberOf(command.kind));
  std::unique_ptr<sd_bus_message, MessageUnref> call(request);
  if (r >= 0) r = sd_bus_message_set_auto_start(request, 0);  // never let the bus start anything for us
  if (r >= 0) r = appendArguments(request, command);
  if (r < 0) return fail(std::string("cannot make the call: ") + std::strerror(-r));

  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call(bus.get(), request, callTimeoutUsec, &error, &reply);
  sd_bus_message_unref(reply);
  if (r >= 0) return exitcode::ok;

  std::string message;
  if (sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
    message = "no stand-in is running: nobody owns " + busName + " on the session bus";
  } else if (sd_bus_error_has_names(&error, SD_BUS_ERROR_UNKNOWN_METHOD, SD_BUS_ERROR_UNKNOWN_INTERFACE,
                                    SD_BUS_ERROR_UNKNOWN_OBJECT)) {
    message = "whoever owns " + busName + " is not vantle-capture-sim";
  } else if (sd_bus_error_has_name(&error, std::string(CaptureSimControl::refusedError).c_str())) {
    message = error.message ? error.message : "refused";
  } else {
    message = std::string("the call failed: ") + (error.message ? error.message : std::strerror(-r));
  }
  sd_bus_error_free(&error);
  return fail(message);
}

}  // namespace vantle::tools
