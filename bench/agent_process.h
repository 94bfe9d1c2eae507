// The agent program run as a child by the end-to-end benchmarks: headless,
// watching a folder, with everything it keeps in a temporary folder; its
// CPU, memory and descriptors read from /proc; and paired companions (the
// companion library) following it over loopback.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/landing_frames.h"
#include "net/vantle_client.h"
#include "tests/support/live_process.h"

namespace vantle::bench {

namespace fs = std::filesystem;

// The agent program beside this benchmark (build/bin/vantle-agent), watching
// `work`/Shoot with its frames landing in Shoot/Capture, which holds frame 1
// so that it is designated at once. No disk or battery warnings are spoken.
// Destruction stops it with SIGTERM.
class HeadlessAgent {
 public:
  HeadlessAgent(const fs::path& work, const std::vector<std::string>& arguments,
                const testing::LiveProcess::Environment& environment = {})
      : capture(work / "Shoot" / "Capture"), process_(start(work, arguments, environment)), pid_(process_->pid()) {
    const auto after = [this](const std::string& prefix) {
      const auto line = process_->waitForLine(prefix, 30);
      if (!line) throw std::runtime_error("the agent did not start");
      return line->substr(prefix.size());
    };
    code = after("Pairing code: ");
    port = static_cast<uint16_t>(std::stoi(after("Listening on port ")));
  }
  ~HeadlessAgent() {
    process_->signal(SIGTERM);
    process_->waitForExit(30);
  }

  // Resident memory now, in KiB; 0 when gone.
  long residentKiB() const {
    std::ifstream statm("/proc/" + std::to_string(pid_) + "/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE) / 1024;
  }

  // Descriptors it holds open now.
  size_t descriptors() const {
    size_t count = 0;
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
      ++count;
    }
    return count;
  }

  // CPU seconds it has used: utime and stime, the 14th and 15th fields.
  double cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 1));  // after the name, which may hold blanks
    std::string skipped;
    for (int field = 3; field < 14; ++field) fields >> skipped;
    double user = -1, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

  const fs::path capture;
  std::string code;
  uint16_t port = 0;

 private:
  static std::unique_ptr<testing::LiveProcess> start(const fs::path& work, std::vector<std::string> arguments,
                                                     testing::LiveProcess::Environment environment) {
    fs::create_directories(work / "Shoot" / "Capture");
    fs::create_directories(work / "config/OrvaneVantle");
    std::ofstream(work / "config/OrvaneVantle/defaults.json")
        << R"({"diskWarningThresholdGB": 0, "macBatteryWarningThreshold": 0})";
    landFrame(work / "Shoot" / "Capture", 1);
    arguments.insert(arguments.begin(), {"--headless", "--watch", (work / "Shoot").string(), "--port", "0"});
    environment.insert({{"VANTLE_STORAGE_ROOT", (work / "storage").string()},
                        {"XDG_CONFIG_HOME", (work / "config").string()},
                        {"XDG_DATA_HOME", (work / "data").string()}});
    const fs::path program = fs::canonical("/proc/self/exe").parent_path() / "vantle-agent";
    if (!fs::exists(program)) throw std::runtime_error(program.string() + " is not built");
    return std::make_unique<testing::LiveProcess>(program.string(), arguments, environment);
  }

  std::unique_ptr<testing::LiveProcess> process_;
  const pid_t pid_;
};

// A paired companion following the agent: when it first saw each count, and
// how many messages of any kind it received.
class Follower {
 public:
  Follower(uint16_t port, const std::string& code) : client_(net::VantleClient::create()) {
    client_->onSnapshot = [this](const core::VantleSnapshot& s) {
      counted();
      counts.see(s);
    };
    client_->onSegment = [this](auto&&...) { counted(); };
    client_->onVerification = [this](auto&&...) { counted(); };
    client_->onFrameThumbnail = [this](auto&&...) { counted(); };
    client_->onFrameCleared = [this] { counted(); };
    client_->connect({.host = "127.0.0.1", .port = port}, code);
  }
  ~Follower() { client_->disconnect(); }

  int64_t messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

  CountsSeen counts;

 private:
  void counted() {
    std::lock_guard lock(mutex_);
    ++messages_;
  }

  std::shared_ptr<net::VantleClient> client_;
  std::mutex mutex_;
  int64_t messages_ = 0;
};

}  // namespace vantle::bench
