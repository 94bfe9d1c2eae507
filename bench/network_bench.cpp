// Load on the agent's network service: a hundred companions following a
// steady stream of snapshots, then a flood of wrong pairing codes.
//
// The agent runs in a child process (this program started again with
// --agent) so that its CPU time is its own; the companions run here and talk
// to it over loopback. The two talk through the child's standard input and
// output, one line per request. Every wait and loop has a bound in time and
// in count; the program ends by itself and exits 1 when a check fails.
#include <signal.h>

#include <iostream>
#include <ranges>

#include "bench/landing_frames.h"
#include "net/vantle_service.h"
#include "tests/support/test_peer.h"

namespace {

using namespace std::chrono_literals;
using namespace vantle;
using namespace vantle::bench;
using testing::TestPeer;

constexpr int companions = 100;
constexpr int snapshots = 400;  // 20 seconds at one every 50 ms
constexpr int intervalMs = 50;
constexpr double cpuLimit = 0.25;  // of one core
constexpr double floodSeconds = 5;
constexpr int floodWorkers = 8;
constexpr const char* code = "424242";
constexpr const char* wrongCode = "000000";

// ---- The agent, in the child process ----

int runAgent() {
  const auto reply = [](const std::string& line) { std::cout << line << std::endl; };
  auto service = net::VantleService::create(0);
  if (auto error = service->start(code, "Bench Agent")) {
    reply("error " + *error);
    return 1;
  }
  reply("port " + std::to_string(*service->debugPort()));
  // Requests: "peers N" waits (at most 60 s) for N companions; "broadcast"
  // sends the snapshots on their cadence; "quit", or the end of the input,
  // ends it.
  for (std::string request; std::getline(std::cin, request) && request != "quit";) {
    if (request.starts_with("peers ")) {
      const int wanted = std::stoi(request.substr(6));
      const auto deadline = Clock::now() + 60s;
      while (service->peerCount() < wanted && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
      reply("peers " + std::to_string(service->peerCount()));
    } else if (request == "broadcast") {
      const auto start = Clock::now();
      for (int n = 1; n <= snapshots; ++n) {
        std::this_thread::sleep_until(start + n * std::chrono::milliseconds(intervalMs));
        service->broadcast(core::VantleMessage{.t = core::VantleMessage::Kind::snapshot, .snapshot = busySnapshot(n)});
      }
      reply("sent");
    }
  }
  service->stop();
  return 0;
}

// ---- The companions' side ----

// Wrong-code handshakes from `floodWorkers` threads for `floodSeconds`,
// with the companion's own TLS settings; returns {refused, paired}. A
// handshake the agent leaves hanging ends at its handshake deadline.
std::pair<long, long> floodWithWrongCodes(uint16_t port) {
  std::atomic<long> refused = 0, paired = 0;
  const auto deadline = Clock::now() + std::chrono::duration<double>(floodSeconds);
  std::vector<std::thread> workers;
  for (int w = 0; w < floodWorkers; ++w) {
    workers.emplace_back([&] {
      for (int attempt = 0; attempt < 1'000'000 && Clock::now() < deadline; ++attempt) {
        auto peer = TestPeer::open(port, wrongCode);
        if (peer) ++(peer->handshake() == TestPeer::Handshake::paired ? paired : refused);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  return {refused.load(), paired.load()};
}

int runBench() {
  signal(SIGPIPE, SIG_IGN);  // an agent that died is reported, not fatal
  bool passed = true;
  const auto check = [&](bool holds) {  // the verdict at a line's end
    passed = passed && holds;
    return holds ? "PASS" : "FAIL";
  };
  // The agent: this program started again with --agent, asked one line at a
  // time. The longest request, "peers", answers within a minute.
  testing::LiveProcess agent(std::filesystem::canonical("/proc/self/exe").string(), {"--agent"});
  size_t replies = 0;
  const auto ask = [&](const std::string& request) {  // none: the next line
    if (!request.empty()) agent.send(request);
    const auto line = agent.waitForLine([](const std::string&) { return true; }, 90, replies);
    replies += line.has_value();
    return line.value_or("");
  };
  const auto cpu = [&] { return cpuSecondsOf(agent.pid()); };
  const std::string portLine = ask("");
  if (!portLine.starts_with("port ")) {
    std::printf("the agent did not start: %s\n", portLine.c_str());
    return 1;
  }
  const auto port = static_cast<uint16_t>(std::stoi(portLine.substr(5)));
  std::printf("network load: %d companions on loopback port %u, %d snapshots every %d ms\n", companions, port,
              snapshots, intervalMs);

  // Pairing a hundred companions.
  const double cpuIdle = cpu();
  auto pairingStart = Clock::now();
  std::vector<std::unique_ptr<Follower>> all;
  const auto pairedSoFar = [&] { return std::ranges::count_if(all, [](const auto& f) { return f->paired.load(); }); };
  for (int i = 0; i < companions; ++i) {
    // All of them connect from one address, which may have only so many
    // handshakes under way: they pair in groups, as devices joining do.
    if (i % static_cast<int>(net::VantleService::handshakesPerSource) == 0) {
      for (int wait = 0; wait < 1000 && pairedSoFar() < i; ++wait) std::this_thread::sleep_for(10ms);
    }
    all.push_back(std::make_unique<Follower>(port, code));
  }
  const std::string peers = ask("peers " + std::to_string(companions));
  const double pairingSeconds = secondsSince(pairingStart);
  const double cpuPaired = cpu();
  std::printf("  paired:              %s of %d companions in %.2f s (agent CPU %.3f s)\n", peers.substr(6).c_str(),
              companions, pairingSeconds, cpuPaired - cpuIdle);
  if (peers != "peers " + std::to_string(companions)) passed = false;

  // Twenty seconds of snapshots.
  const auto broadcastStart = Clock::now();
  const bool sent = ask("broadcast") == "sent";
  const auto arrivals = Clock::now() + 10s;
  for (auto& companion : all) companion->counts.waitFor(snapshots, secondsSince(Clock::now(), arrivals));
  const double broadcastSeconds = secondsSince(broadcastStart);
  const double broadcastCpu = cpu() - cpuPaired;

  const long expected = static_cast<long>(companions) * snapshots;
  long received = 0;
  int inOrder = 0;
  for (auto& companion : all) {
    const std::vector<int64_t> frames = companion->counts.order();
    received += static_cast<long>(frames.size());
    inOrder += std::ranges::equal(frames, std::views::iota(int64_t{1}, int64_t{snapshots + 1}));
  }
  const double fraction = broadcastCpu / broadcastSeconds;
  std::printf("  snapshots received:  %ld of %ld expected; %d of %d companions got every one, in order  %s\n",
              received, expected, inOrder, companions, check(sent && received == expected && inOrder == companions));
  std::printf("  agent CPU:           %.3f s over %.2f s = %.1f%% of one core (limit %.0f%%)  %s\n", broadcastCpu,
              broadcastSeconds, 100 * fraction, 100 * cpuLimit, check(fraction < cpuLimit));

  all.clear();

  // A flood of wrong codes.
  const double cpuBeforeFlood = cpu();
  const auto floodStart = Clock::now();
  const auto [refused, paired] = floodWithWrongCodes(port);
  const double floodElapsed = secondsSince(floodStart);
  const double floodCpu = cpu() - cpuBeforeFlood;
  std::printf("  wrong-code handshakes: %ld refused in %.2f s = %.0f per second from %d connections at a time\n",
              refused, floodElapsed, refused / floodElapsed, floodWorkers);
  std::printf("                         agent CPU %.3f s = %.1f%% of one core, %.0f us per handshake; paired: %ld  %s\n",
              floodCpu, 100 * floodCpu / floodElapsed, refused > 0 ? 1e6 * floodCpu / refused : 0.0, paired,
              check(paired == 0 && refused > 0));
  // Still serving after the flood.
  Follower after(port, code);
  for (int i = 0; i < 500 && !after.paired; ++i) std::this_thread::sleep_for(10ms);
  const bool connected = after.paired;
  std::printf("  a right code after the flood: %s  %s\n", connected ? "connected" : "not connected", check(connected));

  std::printf("%s\n", passed ? "all checks passed" : "SOME CHECKS FAILED");
  agent.send("quit");
  agent.waitForExit(5);  // one that does not end is killed
  return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--agent") return runAgent();
  return runBench();
}
