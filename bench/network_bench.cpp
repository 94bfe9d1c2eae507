// Load on the agent's network service: a hundred companions following a
// steady stream of snapshots, then a flood of wrong pairing codes.
//
// The agent runs in a child process (this program started again with
// --agent) so that its CPU time is its own; the companions run here and talk
// to it over loopback. The two talk through the child's standard input and
// output, one line per request. Every wait and loop has a bound in time and
// in count; the program ends by itself and exits 1 when a check fails.
#include <signal.h>
#include <sys/socket.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/stream.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "bench/landing_frames.h"
#include "net/security.h"
#include "net/tls_context.h"
#include "net/vantle_client.h"
#include "net/vantle_service.h"
#include "tests/support/live_process.h"

namespace {

using namespace std::chrono_literals;
using namespace vantle;
using SteadyClock = std::chrono::steady_clock;

constexpr int companions = 100;
constexpr int snapshots = 400;  // 20 seconds at one every 50 ms
constexpr int intervalMs = 50;
constexpr double cpuLimit = 0.25;  // of one core
constexpr double floodSeconds = 5;
constexpr int floodWorkers = 8;
constexpr const char* code = "424242";
constexpr const char* wrongCode = "000000";

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// ---- The agent, in the child process ----

void reply(const std::string& line) {
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

int runAgent() {
  auto service = net::VantleService::create(0);
  if (auto error = service->start(code, "Bench Agent")) {
    reply("error " + *error);
    return 1;
  }
  reply("port " + std::to_string(*service->debugPort()));
  // Requests: "peers N" waits (at most 60 s) for N companions; "cpu" tells
  // this process's CPU seconds; "broadcast" sends the snapshots on their
  // cadence; "quit", or the end of the input, ends it.
  for (std::string request; std::getline(std::cin, request) && request != "quit";) {
    if (request.starts_with("peers ")) {
      const int wanted = std::stoi(request.substr(6));
      const auto deadline = SteadyClock::now() + 60s;
      while (service->peerCount() < wanted && SteadyClock::now() < deadline) std::this_thread::sleep_for(10ms);
      reply("peers " + std::to_string(service->peerCount()));
    } else if (request == "cpu") {
      reply("cpu " + std::to_string(bench::processCpuSeconds()));
    } else if (request == "broadcast") {
      const auto start = SteadyClock::now();
      for (int n = 1; n <= snapshots; ++n) {
        std::this_thread::sleep_until(start + n * std::chrono::milliseconds(intervalMs));
        service->broadcast(core::VantleMessage{.t = core::VantleMessage::Kind::snapshot, .snapshot = bench::busySnapshot(n)});
      }
      reply("sent");
    }
  }
  service->stop();
  return 0;
}

// ---- The companions' side ----

// A companion on loopback pairing with the right code: each snapshot it
// receives counts in `received`, its first connection in `paired`.
struct Companion {
  Companion(uint16_t port, std::atomic<long>& received, std::atomic<int>& paired) {
    client->onSnapshot = [this, &received](const core::VantleSnapshot& s) {
      std::lock_guard lock(mutex);
      frames.push_back(s.frameCount);
      ++received;
    };
    client->onStateChange = [this, &paired](const net::VantleConnectionState& s) {
      if (s.isConnected() && !connected.exchange(true)) ++paired;
    };
    client->connect(net::Endpoint{"127.0.0.1", port, std::nullopt}, code);
  }

  std::shared_ptr<net::VantleClient> client = net::VantleClient::create();
  std::mutex mutex;
  std::vector<int64_t> frames;  // the snapshots' numbers, as they arrived
  std::atomic<bool> connected = false;
};

// Wrong-code handshakes from `floodWorkers` threads for `floodSeconds`,
// with the real client's TLS settings; returns {refused, paired}.
std::pair<long, long> floodWithWrongCodes(uint16_t port) {
  auto tls = net::VantleSecurity::parameters(wrongCode, net::VantleSecurity::Role::client);
  const asio::ip::tcp::endpoint agent(asio::ip::make_address("127.0.0.1"), port);
  std::atomic<long> refused = 0, paired = 0;
  const auto deadline = SteadyClock::now() + std::chrono::duration<double>(floodSeconds);
  std::vector<std::thread> workers;
  for (int w = 0; w < floodWorkers; ++w) {
    workers.emplace_back([&] {
      asio::io_context io;
      for (int attempt = 0; attempt < 1'000'000 && SteadyClock::now() < deadline; ++attempt) {
        asio::ssl::stream<asio::ip::tcp::socket> stream(io, tls->context());
        std::error_code error;
        stream.lowest_layer().connect(agent, error);
        if (error) continue;
        const timeval limit{5, 0};  // a handshake that hangs ends the attempt
        setsockopt(stream.lowest_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        stream.handshake(asio::ssl::stream_base::client, error);
        ++(error ? refused : paired);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  return {refused.load(), paired.load()};
}

int runBench() {
  signal(SIGPIPE, SIG_IGN);  // an agent that died is reported, not fatal
  bool passed = true;
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
  const auto cpu = [&] {
    const std::string answer = ask("cpu");
    return answer.starts_with("cpu ") ? std::stod(answer.substr(4)) : -1;
  };
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
  auto pairingStart = SteadyClock::now();
  std::vector<std::unique_ptr<Companion>> all;
  std::atomic<long> received = 0;
  std::atomic<int> pairedSoFar = 0;
  for (int i = 0; i < companions; ++i) {
    // All of them connect from one address, which may have only so many
    // handshakes under way: they pair in groups, as devices joining do.
    if (i % static_cast<int>(net::VantleService::handshakesPerSource) == 0) {
      for (int wait = 0; wait < 1000 && pairedSoFar < i; ++wait) std::this_thread::sleep_for(10ms);
    }
    all.push_back(std::make_unique<Companion>(port, received, pairedSoFar));
  }
  const std::string peers = ask("peers " + std::to_string(companions));
  const double pairingSeconds = secondsSince(pairingStart);
  const double cpuPaired = cpu();
  std::printf("  paired:              %s of %d companions in %.2f s (agent CPU %.3f s)\n", peers.substr(6).c_str(),
              companions, pairingSeconds, cpuPaired - cpuIdle);
  if (peers != "peers " + std::to_string(companions)) passed = false;

  // Twenty seconds of snapshots.
  const auto broadcastStart = SteadyClock::now();
  const bool sent = ask("broadcast") == "sent";
  const long expected = static_cast<long>(companions) * snapshots;
  for (int i = 0; i < 1000 && received < expected; ++i) std::this_thread::sleep_for(10ms);
  const double broadcastSeconds = secondsSince(broadcastStart);
  const double broadcastCpu = cpu() - cpuPaired;

  std::vector<int64_t> every(snapshots);
  std::iota(every.begin(), every.end(), 1);
  int inOrder = 0;
  for (auto& companion : all) {
    std::lock_guard lock(companion->mutex);
    inOrder += companion->frames == every;
  }
  const double fraction = broadcastCpu / broadcastSeconds;
  const bool allReceived = sent && received == expected && inOrder == companions;
  std::printf("  snapshots received:  %ld of %ld expected; %d of %d companions got every one, in order  %s\n",
              received.load(), expected, inOrder, companions, allReceived ? "PASS" : "FAIL");
  std::printf("  agent CPU:           %.3f s over %.2f s = %.1f%% of one core (limit %.0f%%)  %s\n", broadcastCpu,
              broadcastSeconds, 100 * fraction, 100 * cpuLimit, fraction < cpuLimit ? "PASS" : "FAIL");
  passed = passed && allReceived && fraction < cpuLimit;

  for (auto& companion : all) companion->client->disconnect();
  for (auto& companion : all) companion->client->state();  // waits for the disconnect
  all.clear();

  // A flood of wrong codes.
  const double cpuBeforeFlood = cpu();
  const auto floodStart = SteadyClock::now();
  const auto [refused, paired] = floodWithWrongCodes(port);
  const double floodElapsed = secondsSince(floodStart);
  const double floodCpu = cpu() - cpuBeforeFlood;
  std::printf("  wrong-code handshakes: %ld refused in %.2f s = %.0f per second from %d connections at a time\n",
              refused, floodElapsed, refused / floodElapsed, floodWorkers);
  std::printf("                         agent CPU %.3f s = %.1f%% of one core, %.0f us per handshake; paired: %ld  %s\n",
              floodCpu, 100 * floodCpu / floodElapsed, refused > 0 ? 1e6 * floodCpu / refused : 0.0, paired,
              paired == 0 && refused > 0 ? "PASS" : "FAIL");
  passed = passed && paired == 0 && refused > 0;
  // Still serving after the flood.
  Companion after(port, received, pairedSoFar);
  for (int i = 0; i < 500 && !after.connected; ++i) std::this_thread::sleep_for(10ms);
  after.client->disconnect();
  after.client->state();
  std::printf("  a right code after the flood: %s\n", after.connected ? "connected  PASS" : "not connected  FAIL");
  passed = passed && after.connected;

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
