#include "agent/desktop/sleep_inhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace vantle::agent {
namespace {

// The inhibitor lasts exactly as long as this descriptor stays open.
class InhibitorLock final : public IdleSleepActivity {
 public:
  explicit InhibitorLock(int fd) : fd_(fd) {}
  ~InhibitorLock() override { close(fd_); }
  InhibitorLock(const InhibitorLock&) = delete;
  InhibitorLock& operator=(const InhibitorLock&) = delete;

 private:
  int fd_;
};

}  // namespace

Result<std::unique_ptr<IdleSleepActivity>> LogindIdleSleepInhibitor::begin(const std::string& reason) {
  Result<BusConnection> bus = openBus(bus_);
  if (!bus.ok()) return Failure{"Idle sleep cannot be prevented. " + bus.failure().description};

  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call_method(bus.value().get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                                  "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                                  "idle:sleep", "Orvane Live Agent", reason.c_str(), "block");
  if (result < 0) {
    Failure failure{isNoSuchService(error)
                        ? "Idle sleep cannot be prevented: systemd-logind is not running."
                        : "Idle sleep cannot be prevented: " + describeBusError(error, result)};
    sd_bus_error_free(&error);
    return failure;
  }
  int fd = -1;
  result = sd_bus_message_read(reply, "h", &fd);
  // The descriptor belongs to the reply; keep a copy of our own.
  const int held = result >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
  sd_bus_message_unref(reply);
  if (held < 0) return Failure{"Idle sleep cannot be prevented: systemd-logind gave no inhibitor."};
  return std::unique_ptr<IdleSleepActivity>(std::make_unique<InhibitorLock>(held));
}

}  // namespace vantle::agent
