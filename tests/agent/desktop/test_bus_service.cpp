#include "tests/agent/desktop/test_bus_service.h"

#include <future>

namespace vantle::testing {

TestBusService::TestBusService(std::string name, std::string path, Handler handler) : handler_(std::move(handler)) {
  std::promise<bool> started;
  std::future<bool> result = started.get_future();
  thread_ = std::thread([this, name = std::move(name), path = std::move(path), &started] {
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    const bool ok = sd_bus_open_user(&bus) >= 0 &&
                    sd_bus_add_object(bus, &slot, path.c_str(), &TestBusService::dispatch, this) >= 0 &&
                    sd_bus_request_name(bus, name.c_str(), 0) >= 0;
    started.set_value(ok);
    while (ok && !stop_) {
      const int processed = sd_bus_process(bus, nullptr);
      if (processed < 0) break;
      if (processed == 0) sd_bus_wait(bus, 20'000);
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
  });
  ready_ = result.get();
}

TestBusService::~TestBusService() {
  stop_ = true;
  thread_.join();
}

int TestBusService::dispatch(sd_bus_message* call, void* self, sd_bus_error*) {
  return static_cast<TestBusService*>(self)->handler_(call);
}

}  // namespace vantle::testing
