// The agent program end to end: `vantle-agent --headless` run for real, with
// its home, settings and storage in a temporary folder and a private session
// bus, met by companions over TLS on loopback.
//
// Each test gets a fresh home; the bus lives for the whole suite. The
// agent's system bus points at a socket that does not exist, so it never
// reaches the machine's logind or Avahi daemon (and never advertises on the
// real network); the agent is built to serve without both.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/message.h"
#include "tests/support/live_process.h"
#include "tests/support/private_bus.h"
#include "tests/support/temp_folder.h"

namespace vantle::testing {

class TestPeer;

// How long the tests wait, generous for a busy machine: a new
// designation is polled every 2 s and must hold 2 s before a shot opens or
// closes.
inline constexpr double kStartSeconds = 30;
inline constexpr double kShotSeconds = 20;

// A paired companion on loopback that subscribed, keeping every message it
// received in order.
class Companion {
 public:
  using Message = core::VantleMessage;
  using Kind = core::VantleMessage::Kind;

  // Pairs and subscribes as a companion holding the segments up to `since`;
  // null when the agent refuses the code or cannot be reached.
  static std::unique_ptr<Companion> subscribe(uint16_t port, const std::string& code, uint64_t since = 0);
  ~Companion();

  // The first message, from index `from` of `received` on, that passes
  // `test`; reads on for up to `seconds` while none does.
  std::optional<Message> waitFor(const std::function<bool(const Message&)>& test, double seconds, size_t from = 0);
  std::optional<core::VantleSnapshot> waitForSnapshot(const std::function<bool(const core::VantleSnapshot&)>& test,
                                                      double seconds = kShotSeconds, size_t from = 0);

 private:
  explicit Companion(std::unique_ptr<TestPeer> peer);
  std::unique_ptr<TestPeer> peer_;
  std::vector<Message> received_;
  bool closed_ = false;
};

// One running agent program and what it announced when it started.
struct RunningAgent {
  std::unique_ptr<LiveProcess> process;
  std::string code;
  uint16_t port = 0;

  LiveProcess* operator->() const { return process.get(); }
  std::unique_ptr<Companion> companion(uint64_t since = 0) const { return Companion::subscribe(port, code, since); }
  // Asks it to quit and expects a clean stop.
  void quit() const;
};

// How a program run to its end ended: its exit code, its standard output
// line by line and its standard error.
struct Ran {
  int exitCode = -1;
  std::vector<std::string> out;
  std::string err;
};

class AgentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;

  // The variables every program of the test runs with.
  LiveProcess::Environment environment() const;
  // Starts the agent on a system-assigned port with the given options
  // added, and waits until it listens.
  RunningAgent startAgent(const std::vector<std::string>& options = {});

  std::filesystem::path storage() const { return home_ / "storage"; }
  // Segments stored so far: whole lines only, since the agent may be
  // appending one.
  std::vector<core::WireSegment> storedSegments() const;
  // A small storage file, without its line break; empty when missing.
  std::string stored(const std::string& fileName) const;

  // A frame written whole under a hidden name, then renamed into place, so
  // the agent never sees half of it.
  static void landFrame(const std::filesystem::path& folder, const std::string& name);

  const std::filesystem::path& home() const { return home_; }

  // Runs `program` with the test's environment until it exits.
  Ran run(const std::string& program, const std::vector<std::string>& arguments) const;
  // `vantle-agent ctl ARGUMENTS`, as the user types it.
  Ran ctl(const std::vector<std::string>& arguments) const;

  static inline PrivateBus* bus = nullptr;

 private:
  TempFolder folder_;
  std::filesystem::path home_;
};

}  // namespace vantle::testing
