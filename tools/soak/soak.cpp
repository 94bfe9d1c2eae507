// vantle-soak: a shooting day, compressed (`make soak`).
//
// Runs the real agent (headless, reading the stand-in capture application),
// the stand-in and ten `vantle-companion watch` processes for about ten
// minutes (VANTLE_SOAK_MINUTES, not compressed below ten): 5,000 frames across 50
// capture folders. On
// the way the capture drive goes away and comes back twice (a bind mount
// taken down and put up again; where mounting is not allowed, the session
// tree moved away and back), the session bus is restarted once, and the
// agent is killed with SIGKILL once and started again. Everything lives in
// a temporary folder and on a bus of its own.
//
// At the end: every closed shot is in "segments.jsonl" exactly once with
// strictly increasing seq; every companion's last snapshot matches the
// agent's; the agent's resident memory is within 10% of its size a minute
// after it started; no process used more than 5% of a core while nothing
// happened. Prints the figures; exits 1 when a check fails.
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/live_process.h"
#include "tests/support/eventually.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using vantle::testing::eventually;
using vantle::testing::LiveProcess;

constexpr int kFolders = 50;
constexpr int kFramesPerFolder = 100;
constexpr int kCompanions = 10;
// Seconds capturing stays in one folder at the least. A new capture folder
// becomes a shot only once the agent has seen it for two seconds, it reads
// the capture application every two seconds, and after the session bus
// restarts it leaves the application alone for five: a shorter shot there
// can pass unseen. So a day shorter than about ten minutes is not
// compressed further.
constexpr double kShortestDwell = 10.0;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void say(const std::string& line) {
  std::printf("[soak] %s\n", line.c_str());
  std::fflush(stdout);
}

// What /proc says of a process: CPU seconds used and resident kilobytes.
struct Usage {
  double cpuSeconds = 0;
  long residentKiB = 0;
};

std::optional<Usage> usageOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 2));
  std::vector<std::string> parts((std::istream_iterator<std::string>(fields)), {});
  if (parts.size() < 22) return std::nullopt;
  Usage usage;
  usage.cpuSeconds = (std::stod(parts[11]) + std::stod(parts[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
  usage.residentKiB = std::stol(parts[21]) * sysconf(_SC_PAGESIZE) / 1024;
  return usage;
}

// A session bus of the soak's own, at a fixed socket path, so that a
// restarted bus is found where the programs already look for it.
class Bus {
 public:
  explicit Bus(fs::path socket) : socket_(std::move(socket)) { start(); }
  ~Bus() { stop(); }
  std::string address() const { return "unix:path=" + socket_.string(); }

  void start() {
    fs::remove(socket_);
    daemon_ = std::make_unique<LiveProcess>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--address=" + address()});
    if (!eventually([&] { return fs::exists(socket_); }, 10)) throw std::runtime_error("dbus-daemon did not start");
  }
  void stop() {
    if (!daemon_) return;
    daemon_->signal(SIGTERM);
    daemon_->waitForExit(10);
    daemon_.reset();
  }

 private:
  fs::path socket_;
  std::unique_ptr<LiveProcess> daemon_;
};

// The capture drive: a bind mount of a backing folder, or where mounting is
// not allowed, the same folder moved away and back.
class Drive {
 public:
  Drive(fs::path backing, fs::path mountPoint) : backing_(std::move(backing)), mountPoint_(std::move(mountPoint)) {
    fs::create_directories(backing_);
    fs::create_directories(mountPoint_);
    mounted_ = ::mount(backing_.c_str(), mountPoint_.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (!mounted_) {
      fs::remove(mountPoint_);
      fs::rename(backing_, mountPoint_);
    }
  }
  ~Drive() {
    if (mounted_ && present_) ::umount2(mountPoint_.c_str(), MNT_DETACH);
  }
  const fs::path& path() const { return mountPoint_; }
  const char* how() const { return mounted_ ? "bind mount taken down and put up again" : "tree moved away and back"; }

  void takeOut() {
    if (mounted_) {
      ::umount2(mountPoint_.c_str(), MNT_DETACH);
    } else {
      fs::rename(mountPoint_, backing_);
    }
    present_ = false;
  }
  void putBack() {
    if (mounted_) {
      ::mount(backing_.c_str(), mountPoint_.c_str(), nullptr, MS_BIND, nullptr);
    } else {
      fs::rename(backing_, mountPoint_);
    }
    present_ = true;
  }

 private:
  fs::path backing_, mountPoint_;
  bool mounted_ = false;
  bool present_ = true;
};

// Frames whose cache thumbnail is written too: the stand-in has finished them.
int finishedFramesIn(const fs::path& folder) {
  int count = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder / "CaptureOne" / "Cache" / "Thumbnails", error)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(".") && name.ends_with(".CR3.cot")) ++count;
  }
  return count;
}

int framesIn(const fs::path& folder) {
  int count = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(".") && name.ends_with(".CR3")) ++count;
  }
  return count;
}

std::optional<Json> lastSnapshot(const std::vector<std::string>& lines) {
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    const Json message = Json::parse(*line, nullptr, false);
    if (message.is_object() && message.value("t", "") == "snapshot") return message["snapshot"];
  }
  return std::nullopt;
}

class Soak {
 public:
  Soak(fs::path bin, fs::path work, double minutes)
      : bin_(std::move(bin)),
        work_(std::move(work)),
        bus_(work_ / "bus"),
        drive_(work_ / "backing", work_ / "drive"),
        session_(drive_.path() / "Spring_Lookbook"),
        interval_(std::max(kShortestDwell / kFramesPerFolder, minutes * 60 * 0.75 / (kFolders * kFramesPerFolder))) {
    fs::create_directories(work_ / "config/OrvaneVantle");
    std::ofstream(work_ / "config/OrvaneVantle/defaults.json")
        << R"({"diskWarningThresholdGB": 0, "macBatteryWarningThreshold": 0})";
    fs::create_directories(session_);
    fs::create_directories(work_ / "runtime");
    fs::permissions(work_ / "runtime", fs::perms::owner_all);
    environment_ = {{"DBUS_SESSION_BUS_ADDRESS", bus_.address()},
                    {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (work_ / "no-system-bus").string()},
                    {"VANTLE_STORAGE_ROOT", (work_ / "storage").string()},
                    {"XDG_CONFIG_HOME", (work_ / "config").string()},
                    {"XDG_DATA_HOME", (work_ / "data").string()},
                    {"XDG_RUNTIME_DIR", (work_ / "runtime").string()}};
  }

  int run() {
    const auto began = Clock::now();
    say("drive: " + std::string(drive_.how()) + "; one frame every " + std::to_string(interval_) + " s");
    startStandIn();
    startAgent();
    startCompanions();
    for (int folder = 0; folder < kFolders; ++folder) {
      if (folder == 10 || folder == 40) driveAway();
      if (folder == 20) restartBus();
      if (folder == 30) killAgent();
      shootFolder(folder);
      sampleMemory();
    }
    // The last shot closes when capturing moves on once more.
    ctl({"capture-folder", (session_ / "Capture" / "Done").string()});
    // Every folder's shot but the one open when the agent was killed.
    eventually([&] { return closedShots() + 1 >= static_cast<size_t>(shotsExpected_); }, 30);
    say("shooting done after " + std::to_string(static_cast<int>(secondsSince(began))) + " s");
    return check();
  }

 private:
  void ctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "ctl");
    LiveProcess control((bin_ / "vantle-capture-sim").string(), arguments, environment_);
    control.waitForExit(30);
  }

  void startStandIn() {
    standIn_ = std::make_unique<LiveProcess>(
        (bin_ / "vantle-capture-sim").string(),
        std::vector<std::string>{"serve", "--session", session_.string(), "--camera", "EOS R5", "--battery", "80%"},
        environment_);
    if (!eventually(
            [&] {
              LiveProcess probe((bin_ / "vantle-capture-sim").string(), {"ctl", "camera", "EOS R5", "80%"},
                                environment_);
              return probe.waitForExit(10) == 0;
            },
            20)) {
      throw std::runtime_error("the stand-in did not start: " + standIn_->transcript());
    }
  }

  void startAgent() {
    agent_ = std::make_unique<LiveProcess>((bin_ / "vantle-agent").string(),
                                           std::vector<std::string>{"--headless", "--port", std::to_string(port_),
                                                                    "--name", "Soak Studio"},
                                           environment_);
    const auto code = agent_->waitForLine("Pairing code: ", 30);
    const auto port = agent_->waitForLine("Listening on port ", 30);
    if (!code || !port) throw std::runtime_error("the agent did not start: " + agent_->transcript());
    code_ = code->substr(std::string("Pairing code: ").size());
    port_ = static_cast<uint16_t>(std::stoi(port->substr(std::string("Listening on port ").size())));
    agentStartedAt_ = Clock::now();
    residentAfterAMinute_.reset();
    say("agent started, pairing code " + code_ + ", port " + std::to_string(port_));
  }

  void startCompanions() {
    companions_.clear();
    for (int i = 0; i < kCompanions; ++i) {
      companions_.push_back(std::make_unique<LiveProcess>(
          (bin_ / "vantle-companion").string(),
          std::vector<std::string>{"watch", "--code", code_, "--host", "127.0.0.1", "--port", std::to_string(port_),
                                   "--timeout", "3600"},
          environment_));
    }
  }

  void shootFolder(int folder) {
    const fs::path capture = folder == 0 ? session_ / "Capture" : session_ / "Capture" / ("Look " + std::to_string(folder));
    if (folder > 0) ctl({"capture-folder", capture.string()});
    ctl({"shoot", std::to_string(kFramesPerFolder), "--interval", std::to_string(interval_)});
    const double deadline = kFramesPerFolder * interval_ * 3 + 30;
    // Finished, cache thumbnails and all, before capturing moves on or the drive goes away.
    if (!eventually([&] { return finishedFramesIn(capture) >= kFramesPerFolder; }, deadline)) {
      say("folder " + std::to_string(folder) + " has only " + std::to_string(framesIn(capture)) + " frames");
    }
    framesShot_ += framesIn(capture);
    ++shotsExpected_;
  }

  void driveAway() {
    say("the capture drive goes away");
    drive_.takeOut();
    std::this_thread::sleep_for(std::chrono::seconds(10));  // the drive stays out a while, as on a real day
    drive_.putBack();
    say("the capture drive is back");
  }

  void restartBus() {
    say("the session bus restarts");
    standIn_->signal(SIGTERM);
    standIn_->waitForExit(10);
    bus_.stop();
    bus_.start();
    startStandIn();
  }

  void killAgent() {
    say("the agent is killed with SIGKILL");
    collectClosedShots();
    agent_->signal(SIGKILL);
    agent_->waitForExit(10);
    for (auto& companion : companions_) companion->signal(SIGTERM);
    companions_.clear();
    startAgent();
    startCompanions();
  }

  void sampleMemory() {
    if (residentAfterAMinute_ || secondsSince(agentStartedAt_) < 60) return;
    if (const auto usage = usageOf(agentPid())) residentAfterAMinute_ = usage->residentKiB;
  }

  pid_t agentPid() const { return agent_->pid(); }

  // The seqs of the shots the agents announced, over every run.
  void collectClosedShots() {
    for (const std::string& line : agent_->outLines()) {
      const size_t at = line.rfind("(seq ");
      if (line.starts_with("Shot closed: ") && at != std::string::npos) {
        announced_.insert(std::stoull(line.substr(at + 5)));
      }
    }
  }
  size_t closedShots() {
    std::set<uint64_t> all = announced_;
    for (const std::string& line : agent_->outLines()) {
      const size_t at = line.rfind("(seq ");
      if (line.starts_with("Shot closed: ") && at != std::string::npos) all.insert(std::stoull(line.substr(at + 5)));
    }
    return all.size();
  }

  int check() {
    bool ok = true;
    const auto fail = [&](const std::string& what) {
      say("FAILED: " + what);
      ok = false;
    };

    // Quiet: nothing lands; every process should rest.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    std::vector<std::pair<std::string, pid_t>> processes{{"agent", agent_->pid()}, {"stand-in", standIn_->pid()}};
    for (size_t i = 0; i < companions_.size(); ++i) {
      processes.emplace_back("companion " + std::to_string(i + 1), companions_[i]->pid());
    }
    std::map<std::string, double> before;
    for (const auto& [name, pid] : processes) before[name] = usageOf(pid).value_or(Usage{}).cpuSeconds;
    const double quiet = 20;
    std::this_thread::sleep_for(std::chrono::duration<double>(quiet));
    double busiest = 0;
    std::string busiestName = processes.front().first;
    for (const auto& [name, pid] : processes) {
      const double share = (usageOf(pid).value_or(Usage{}).cpuSeconds - before[name]) / quiet;
      if (share > busiest) busiest = share, busiestName = name;
    }
    say("quiet for " + std::to_string(static_cast<int>(quiet)) + " s: the busiest process, " + busiestName + ", used " +
        std::to_string(busiest * 100) + "% of a core");
    if (busiest > 0.05) fail("a process used a core while nothing happened");

    // Every announced shot stored exactly once, in increasing order.
    collectClosedShots();
    std::vector<uint64_t> stored;
    std::ifstream segments(work_ / "storage" / "segments.jsonl");
    for (std::string line; std::getline(segments, line);) {
      const Json segment = Json::parse(line, nullptr, false);
      if (segment.is_object()) stored.push_back(segment.value("seq", uint64_t{0}));
    }
    const bool increasing = std::adjacent_find(stored.begin(), stored.end(), std::greater_equal<>()) == stored.end();
    std::set<uint64_t> storedSet(stored.begin(), stored.end());
    size_t missing = 0;
    for (const uint64_t seq : announced_) missing += storedSet.contains(seq) ? 0 : 1;
    say(std::to_string(framesShot_) + " frames shot in " + std::to_string(shotsExpected_) + " folders; " +
        std::to_string(announced_.size()) + " shots announced, " + std::to_string(stored.size()) +
        " segments stored, " + std::to_string(missing) + " announced but not stored");
    if (!increasing) fail("segments.jsonl does not hold strictly increasing seqs");
    if (missing > 0) fail("an announced shot is not in segments.jsonl");
    // The shot open when the agent was killed was never closed, so it makes
    // no segment; every other folder does.
    std::set<std::string> folders;
    std::ifstream again(work_ / "storage" / "segments.jsonl");
    for (std::string line; std::getline(again, line);) {
      const Json segment = Json::parse(line, nullptr, false);
      if (segment.is_object() && segment.value("framesAdded", int64_t{0}) > 0) folders.insert(segment.value("path", ""));
    }
    say(std::to_string(folders.size()) + " of " + std::to_string(kFolders) + " capture folders have a segment with frames");
    for (int folder = 0; folder < kFolders; ++folder) {
      const fs::path capture = folder == 0 ? session_ / "Capture" : session_ / "Capture" / ("Look " + std::to_string(folder));
      if (!folders.contains(capture.string())) say("no segment with frames for " + capture.filename().string());
    }
    if (folders.size() + 1 < static_cast<size_t>(kFolders)) fail("more capture folders than the killed agent's open shot lack a segment");

    // Every companion ends where the agent is.
    LiveProcess fresh((bin_ / "vantle-companion").string(),
                      {"watch", "--code", code_, "--host", "127.0.0.1", "--port", std::to_string(port_), "--since",
                       std::to_string(stored.empty() ? 0 : stored.back()), "--timeout", "5"},
                      environment_);
    fresh.waitForExit(30);
    const auto agentSnapshot = lastSnapshot(fresh.outLines());
    size_t agreeing = 0;
    for (auto& companion : companions_) {
      const auto snapshot = lastSnapshot(companion->outLines());
      if (snapshot && agentSnapshot && *snapshot == *agentSnapshot) ++agreeing;
    }
    say(std::to_string(agreeing) + " of " + std::to_string(companions_.size()) +
        " companions end on the agent's own snapshot");
    if (!agentSnapshot || agreeing != companions_.size()) fail("a companion's last snapshot differs from the agent's");

    // Memory stays flat once the agent has settled.
    const auto end = usageOf(agent_->pid());
    if (residentAfterAMinute_ && end) {
      const double growth = static_cast<double>(end->residentKiB) / static_cast<double>(*residentAfterAMinute_);
      say("agent resident memory: " + std::to_string(*residentAfterAMinute_ / 1024) + " MiB a minute in, " +
          std::to_string(end->residentKiB / 1024) + " MiB at the end (" + std::to_string((growth - 1) * 100) + "%)");
      if (growth > 1.10) fail("the agent's memory grew by more than 10%");
    } else {
      fail("the agent's memory could not be measured a minute in and at the end");
    }

    if (!ok) {
      std::ofstream(work_ / "agent.out") << agent_->transcript();
      std::ofstream(work_ / "stand-in.out") << standIn_->transcript();
    }
    agent_->send("quit");
    if (agent_->waitForExit(30) != 0) fail("the agent did not stop cleanly");
    say(ok ? "passed" : "failed");
    return ok ? 0 : 1;
  }

  fs::path bin_, work_;
  Bus bus_;
  Drive drive_;
  fs::path session_;
  double interval_;
  LiveProcess::Environment environment_;
  std::unique_ptr<LiveProcess> standIn_, agent_;
  std::vector<std::unique_ptr<LiveProcess>> companions_;
  std::string code_;
  uint16_t port_ = 0;
  Clock::time_point agentStartedAt_;
  std::optional<long> residentAfterAMinute_;
  std::set<uint64_t> announced_;
  int framesShot_ = 0;
  int shotsExpected_ = 0;
};

}  // namespace

int main(int, char** argv) {
  double minutes = 10;
  if (const char* text = std::getenv("VANTLE_SOAK_MINUTES")) minutes = std::max(1.0, std::atof(text));
  const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
  std::string pattern = (fs::temp_directory_path() / "vantle-soak-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::fprintf(stderr, "%s: cannot make a temporary folder\n", argv[0]);
    return 1;
  }
  const fs::path work = pattern;
  int code = 1;
  try {
    Soak soak(bin, work, minutes);
    code = soak.run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
  }
  std::error_code ignored;
  if (code == 0) {
    fs::remove_all(work, ignored);
  } else {
    std::fprintf(stderr, "%s: kept %s for a look\n", argv[0], work.c_str());
  }
  return code;
}
