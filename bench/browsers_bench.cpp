// The browser companion under load, against the agent program on loopback:
// 20 browsers' event streams (a small TLS client each) and two companions
// following frames landing at 10 a second, in rounds of the companions alone
// and with the browsers, side by side. It reports frame landed → event
// received for the browsers (p50 and p99; target p99 ≤ 100 ms), the
// companions' p99 with and without the browsers (no worse than 1.5×), the
// agent's CPU with 20 idle streams (target < 1% of a core) and with one frame
// a second, and the same streams and companions while 1,000 idle TCP
// connections sit on the web port.
//
// VANTLE_BENCH_SECONDS sets the length of each run (default 60, split in 3).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <regex>

#include "bench/landing_frames.h"

using namespace vantle::bench;
using namespace std::chrono_literals;

namespace {

// One blocking TLS connection to the agent's web port on loopback; no
// certificate check (the benchmark knows whom it talks to).
class Tls {
 public:
  explicit Tls(uint16_t port) {
    static SSL_CTX* context = [] {
      SSL_CTX* made = SSL_CTX_new(TLS_client_method());
      SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
      return made;
    }();
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(port)};
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    ssl_ = SSL_new(context);
    SSL_set_fd(ssl_, fd_);
    if (SSL_connect(ssl_) != 1) {
      SSL_free(ssl_);
      ssl_ = nullptr;
    }
  }
  ~Tls() {
    if (ssl_) SSL_free(ssl_);
    ::close(fd_);
  }
  bool ok() const { return ssl_ != nullptr; }
  bool send(const std::string& text) { return ssl_ && SSL_write(ssl_, text.data(), int(text.size())) > 0; }
  // Some bytes, waiting at most `wait`; empty on a timeout, nullopt at the end.
  std::optional<std::string> receive(std::chrono::milliseconds wait) {
    if (!ssl_) return std::nullopt;
    if (SSL_pending(ssl_) == 0) {
      pollfd ready{.fd = fd_, .events = POLLIN};
      if (::poll(&ready, 1, int(wait.count())) == 0) return std::string();
    }
    char buffer[16384];
    const int got = SSL_read(ssl_, buffer, sizeof buffer);
    if (got <= 0) return std::nullopt;
    return std::string(buffer, size_t(got));
  }

 private:
  int fd_ = -1;
  SSL* ssl_ = nullptr;
};

// The session cookie the token buys.
std::string openSession(uint16_t port, const std::string& token) {
  Tls tls(port);
  tls.send("POST /session HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
           std::to_string(token.size()) + "\r\n\r\n" + token);
  std::string answer;
  while (auto more = tls.receive(5s)) {
    if (more->empty()) break;
    answer += *more;
  }
  const std::string name = "__Host-vantle-session=";
  const size_t at = answer.find(name);
  if (at == std::string::npos) throw std::runtime_error("no session: " + answer.substr(0, 200));
  return answer.substr(at + name.size(), 32);
}

// A browser's event stream, read on a thread of its own: when it saw each count.
class BrowserStream {
 public:
  BrowserStream(uint16_t port, std::string cookie) : thread_([this, port, cookie] { run(port, cookie); }) {}
  ~BrowserStream() {
    stop_ = true;
    thread_.join();
  }
  CountsSeen counts;
  std::atomic<bool> ended = false;

 private:
  void run(uint16_t port, const std::string& cookie) {
    Tls tls(port);
    // HTTP/1.0: the stream comes as it is, not in chunks.
    tls.send("GET /events HTTP/1.0\r\nHost: 127.0.0.1\r\nCookie: __Host-vantle-session=" + cookie + "\r\n\r\n");
    static const std::regex view(R"re(event: view\ndata: \{"frameCount":(\d+).*?"running":(true|false))re");
    std::string pending;
    while (!stop_) {
      const auto more = tls.receive(100ms);
      if (!more) break;
      pending += *more;
      for (size_t end; (end = pending.find("\n\n")) != std::string::npos; pending.erase(0, end + 2)) {
        std::smatch found;
        const std::string event = pending.substr(0, end);
        if (!std::regex_search(event, found, view)) continue;
        vantle::core::VantleSnapshot snapshot;
        snapshot.frameCount = std::stoll(found[1]);
        if (found[2] == "true") snapshot.shotOpenedAt = vantle::core::Instant{};
        counts.see(snapshot);
      }
    }
    ended = true;
  }
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

}  // namespace

int main() {
  const double seconds = std::max(3.0, benchSeconds(60) / 3);
  raiseDescriptorLimit();

  bool holds = true;
  try {
    vantle::testing::TempFolder work;
    HeadlessAgent agent(work.path(), {"--web", "--web-port", "0"},
                        {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (work / "no-bus").string()},
                         {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (work / "no-bus").string()},
                         {"XDG_STATE_HOME", (work / "state").string()}});
    const std::string address = agent.lineAfter("Browsers: ");
    const uint16_t webPort = uint16_t(std::stoi(address.substr(address.rfind(':') + 1)));
    const std::string token = address.substr(address.find('#') + 1);
    Follower followers[2]{{agent.port, agent.code}, {agent.port, agent.code}};
    for (Follower& follower : followers) follower.counts.waitFor(1, 20);
    int64_t frames = 1;

    const auto land = [&](int64_t count, std::chrono::milliseconds interval, std::vector<const CountsSeen*> seers) {
      const Landings landed = landAtPace(agent.capture, frames + 1, count, interval);
      frames += count;
      for (const CountsSeen* seer : seers) const_cast<CountsSeen*>(seer)->waitFor(frames, 10);
      return landed;
    };
    const auto companionsOnly = [&](const Landings& landed) {
      return delays(landed, {&followers[0].counts, &followers[1].counts});
    };
    // Side by side: rounds of the companions alone, then with twenty browsers
    // following too, so that the machine's own noise falls on both alike.
    const int rounds = 3;
    const int64_t perRound = std::max<int64_t>(20, static_cast<int64_t>(seconds * 10) / rounds);
    std::vector<std::unique_ptr<BrowserStream>> browsers;
    std::vector<const CountsSeen*> everyone;
    const auto browsersOf = [&](const Landings& landed, std::vector<double>& seen) {
      for (const auto& [number, at] : landed) {
        for (auto& browser : browsers) {
          if (const auto when = browser->counts.seen(number)) seen.push_back(secondsSince(at, *when));
        }
      }
    };
    Landings alone, together;
    std::vector<double> browserDelays;
    for (int round = 0; round < rounds; ++round) {
      browsers.clear();
      alone.merge(land(perRound, 100ms, {&followers[0].counts, &followers[1].counts}));
      for (int i = 0; i < 20; ++i) {
        browsers.push_back(std::make_unique<BrowserStream>(webPort, openSession(webPort, token)));
      }
      for (auto& browser : browsers) browser->counts.waitFor(frames, 20);
      everyone = {&followers[0].counts, &followers[1].counts};
      for (auto& browser : browsers) everyone.push_back(&browser->counts);
      const Landings landed = land(perRound, 100ms, everyone);
      browsersOf(landed, browserDelays);
      together.insert(landed.begin(), landed.end());
    }
    const Delays before = companionsOnly(alone);
    const Delays with = companionsOnly(together);
    const double browserP50 = percentile(browserDelays, 0.5), browserP99 = percentile(browserDelays, 0.99);

    // Idle, then one frame a second.
    const double idleSeconds = std::max(5.0, seconds / 2);
    double cpu = agent.cpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const double idleShare = (agent.cpuSeconds() - cpu) / idleSeconds;
    cpu = agent.cpuSeconds();
    const auto paced = Clock::now();
    land(static_cast<int64_t>(idleSeconds), 1000ms, everyone);
    const double pacedShare = (agent.cpuSeconds() - cpu) / secondsSince(paced);

    // A thousand idle connections from other machines sit on the web port.
    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      sockaddr_in local{.sin_family = AF_INET};
      inet_pton(AF_INET, ("127.0.1." + std::to_string(1 + i % 40)).c_str(), &local.sin_addr);
      sockaddr_in remote{.sin_family = AF_INET, .sin_port = htons(webPort)};
      inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
      ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
      ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote);
      idle.push_back(fd);
    }
    std::this_thread::sleep_for(2s);  // the crowd has arrived; what is measured is its staying
    const Landings crowded = land(perRound, 100ms, everyone);
    const Delays crowdedCompanions = companionsOnly(crowded);
    std::vector<double> crowdedDelays;
    browsersOf(crowded, crowdedDelays);
    const double crowdedP50 = percentile(crowdedDelays, 0.5), crowdedP99 = percentile(crowdedDelays, 0.99);
    int streamsLeft = 0;
    for (auto& browser : browsers) streamsLeft += browser->ended ? 0 : 1;
    for (int fd : idle) ::close(fd);

    std::printf("run                       companions p50  p99      browsers p50  p99\n");
    std::printf("companions alone          %6.1f ms  %6.1f ms\n", before.median * 1e3, before.p99 * 1e3);
    std::printf("with 20 browsers          %6.1f ms  %6.1f ms    %6.1f ms  %6.1f ms\n", with.median * 1e3,
                with.p99 * 1e3, browserP50 * 1e3, browserP99 * 1e3);
    std::printf("and 1,000 idle TCP        %6.1f ms  %6.1f ms    %6.1f ms  %6.1f ms  (%d of 20 streams kept)\n",
                crowdedCompanions.median * 1e3, crowdedCompanions.p99 * 1e3, crowdedP50 * 1e3, crowdedP99 * 1e3,
                streamsLeft);
    std::printf("agent CPU: %.2f%% of a core with 20 idle streams, %.2f%% with one frame a second\n", idleShare * 100,
                pacedShare * 100);
    const double ratio = with.p99 / std::max(before.p99, 1e-3);
    std::printf("companions p99 with browsers / without: %.2f\n", ratio);
    holds = browserP99 >= 0 && browserP99 <= 0.100 && idleShare < 0.01 && ratio <= 1.5 && crowdedP99 >= 0 &&
            crowdedP99 <= 0.100 && streamsLeft == 20 && crowdedCompanions.p99 <= 1.5 * std::max(before.p99, 1e-3);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_browsers: %s\n", error.what());
    holds = false;
  }
  return verdict(holds);
}
