#include "tests/app/agent_fixture.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <sstream>

#include "tests/support/test_peer.h"

namespace vantle::testing {
namespace fs = std::filesystem;

Companion::Companion(std::unique_ptr<TestPeer> peer) : peer_(std::move(peer)) {}
Companion::~Companion() = default;

std::unique_ptr<Companion> Companion::subscribe(uint16_t port, const std::string& code, uint64_t since) {
  auto peer = TestPeer::connect(port, code);
  if (!peer) return nullptr;
  peer->send(Message{.t = Kind::subscribe, .since = since});
  return std::unique_ptr<Companion>(new Companion(std::move(peer)));
}

std::optional<Companion::Message> Companion::waitFor(const std::function<bool(const Message&)>& test, double seconds,
                                                     size_t from) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  for (size_t i = from;; ++i) {
    while (i >= received_.size()) {
      const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
      if (closed_ || left <= 0) return std::nullopt;
      if (auto message = peer_->receive(left)) {
        received_.push_back(std::move(*message));
      } else if (peer_->closedWithin(0)) {
        closed_ = true;
      }
    }
    if (test(received_[i])) return received_[i];
  }
}

std::optional<core::VantleSnapshot> Companion::waitForSnapshot(
    const std::function<bool(const core::VantleSnapshot&)>& test, double seconds, size_t from) {
  const auto found = waitFor([&](const Message& m) { return m.t == Kind::snapshot && m.snapshot && test(*m.snapshot); },
                             seconds, from);
  return found ? found->snapshot : std::nullopt;
}

void RunningAgent::quit() const {
  process->send("quit");
  EXPECT_EQ(process->waitForExit(kStartSeconds), 0) << process->transcript();
  EXPECT_TRUE(process->waitForLine("Stopping.", kStartSeconds));
}

void AgentTest::SetUpTestSuite() { bus = new PrivateBus(); }

void AgentTest::TearDownTestSuite() {
  delete bus;
  bus = nullptr;
}

void AgentTest::SetUp() {
  if (!bus->available()) GTEST_SKIP() << bus->reason();
  home_ = fs::canonical(folder_.path());
  // The agent would speak its disk and battery warnings; no thresholds, no warnings.
  folder_.write("config/OrvaneVantle/defaults.json", R"({"diskWarningThresholdGB": 0, "macBatteryWarningThreshold": 0})");
  fs::create_directories(home_ / "data");
}

LiveProcess::Environment AgentTest::environment() const {
  return {
      {"HOME", home_.string()},
      {"XDG_CONFIG_HOME", (home_ / "config").string()},
      {"XDG_DATA_HOME", (home_ / "data").string()},
      {"VANTLE_STORAGE_ROOT", storage().string()},
      {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (home_ / "no-system-bus").string()},
  };
}

Ran AgentTest::run(const std::string& program, const std::vector<std::string>& arguments) const {
  LiveProcess process(program, arguments, environment());
  Ran ran;
  ran.exitCode = process.waitForExit(kStartSeconds).value_or(-1);
  ran.out = process.outLines();
  for (const std::string& line : process.errLines()) ran.err += line + "\n";
  return ran;
}

Ran AgentTest::ctl(const std::vector<std::string>& arguments) const {
  std::vector<std::string> command{"ctl"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return run(VANTLE_AGENT_PATH, command);
}

RunningAgent AgentTest::startAgent(const std::vector<std::string>& options) {
  std::vector<std::string> arguments{"--headless", "--port", "0", "--name", "Studio Test"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  RunningAgent agent{std::make_unique<LiveProcess>(VANTLE_AGENT_PATH, arguments, environment())};
  const auto code = agent->waitForLine("Pairing code: ", kStartSeconds);
  const auto port = agent->waitForLine("Listening on port ", kStartSeconds);
  if (!code || !port) {
    ADD_FAILURE() << "the agent did not start\n" << agent->transcript();
    return agent;
  }
  agent.code = code->substr(std::string("Pairing code: ").size());
  agent.port = static_cast<uint16_t>(std::stoi(port->substr(std::string("Listening on port ").size())));
  return agent;
}

std::vector<core::WireSegment> AgentTest::storedSegments() const {
  std::vector<core::WireSegment> segments;
  std::istringstream text(readText(storage() / "segments.jsonl"));
  // A last line without its line break is still being written.
  for (std::string line; std::getline(text, line) && !text.eof();) {
    const auto json = core::VantleCoding::parse(line);
    const auto segment = json ? core::WireSegment::decode(*json) : std::nullopt;
    if (segment) segments.push_back(*segment);
    EXPECT_TRUE(segment) << "a stored line is not a segment: " << line;
  }
  return segments;
}

std::string AgentTest::stored(const std::string& fileName) const {
  std::string text = readText(storage() / fileName);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void AgentTest::landFrame(const fs::path& folder, const std::string& name) {
  const fs::path hidden = folder / ("." + name + ".part");
  TempFolder::writeAt(hidden, {'r', 'a', 'w'});
  fs::rename(hidden, folder / name);
}

}  // namespace vantle::testing
