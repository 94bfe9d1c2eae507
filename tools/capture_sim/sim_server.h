// The stand-in on the session bus.
//
// Owns the application's bus name and serves, on the application's object,
// the scripting interface the agent calls (CaptureOneChannel) and the
// stand-in's control interface (CaptureSimControl). Everything runs on one
// sd-event loop in the thread that calls `run`: the bus, the camera's shoot
// timers and the processing jobs' timers. The server owns every event
// source it makes and drops them before it goes, so no timer outlives it.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <map>
#include <string>

#include "tools/capture_sim/application.h"

namespace vantle::tools {

class CaptureSimServer {
 public:
  // `application` as the command line set it up; each processing job stays
  // pending for `jobSeconds`.
  CaptureSimServer(SimulatedApplication application, double jobSeconds);
  ~CaptureSimServer();
  CaptureSimServer(const CaptureSimServer&) = delete;
  CaptureSimServer& operator=(const CaptureSimServer&) = delete;

  // Connects to the session bus (DBUS_SESSION_BUS_ADDRESS), takes the name
  // and serves until Quit, SIGINT or SIGTERM; then releases the name. The
  // caller blocks SIGINT and SIGTERM first. Returns why it could not serve,
  // or nothing after a clean stop.
  Problem run();

 private:
  struct Shooting {
    uint32_t remaining = 0;
    std::string extension;
    uint64_t intervalUsec = 0;
    uint64_t due = 0;  // CLOCK_MONOTONIC, microseconds
  };

  Problem serve();
  void shootNext(sd_event_source* timer);
  void finishJob(sd_event_source* timer);
  void startJob(const std::string& identifier);
  Problem startShooting(uint32_t count, double interval, const std::string& extension);

  static int onGet(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onCount(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onRunScript(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onControl(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onShootTimer(sd_event_source* s, uint64_t usec, void* self);
  static int onJobTimer(sd_event_source* s, uint64_t usec, void* self);

  int refuseIfDenied(sd_bus_error* error) const;
  int control(sd_bus_message* m, sd_bus_error* error);

  SimulatedApplication application_;
  double jobSeconds_;
  sd_event* event_ = nullptr;
  sd_bus* bus_ = nullptr;
  std::map<sd_event_source*, Shooting> shootings_;
  std::map<sd_event_source*, std::string> jobs_;  // timer -> job identifier
};

}  // namespace vantle::tools
