// A D-Bus service that a test runs on its own thread.
//
// It connects to the session bus (in tests, a PrivateBus), takes `name`,
// and hands every method call to `path` to the handler on its thread. The
// handler replies itself and returns 1, or returns 0 to let sd-bus answer
// that the method is unknown. State the handler records must be guarded,
// since the test reads it from its own thread. Destruction stops the thread
// and releases the name.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace vantle::testing {

class TestBusService {
 public:
  using Handler = std::function<int(sd_bus_message* call)>;

  TestBusService(std::string name, std::string path, Handler handler);
  ~TestBusService();
  TestBusService(const TestBusService&) = delete;
  TestBusService& operator=(const TestBusService&) = delete;

  // Whether the name was taken and calls are being answered.
  bool ready() const { return ready_; }

 private:
  static int dispatch(sd_bus_message* call, void* self, sd_bus_error* error);

  Handler handler_;
  std::atomic<bool> stop_{false};
  bool ready_ = false;
  std::thread thread_;
};

}  // namespace vantle::testing
