// The browser server over real HTTPS, asked by curl and OpenSSL's own client:
// the token and the cookie, what needs a session, the headers every answer
// carries, the live stream, and the bounds a stranger on the network meets.
#include "web/web_service.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "tests/support/eventually.h"
#include "tests/support/live_process.h"
#include "tests/support/pace.h"
#include "tests/support/temp_folder.h"
#include "web/web_certificate.h"

namespace vantle::web {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

struct Answer {
  int status = 0;  // 0 when no HTTP answer came
  std::string headers;
  std::string body;
};

std::string quoted(const std::string& text) { return "'" + text + "'"; }

class WebServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto made = WebCertificate::loadOrMake(folder.path(), "localhost");
    ASSERT_TRUE(std::holds_alternative<WebCertificate>(made)) << std::get<std::string>(made);
    const auto& certificate = std::get<WebCertificate>(made);
    service->advertises = false;
    ASSERT_EQ(service->start({certificate.certificatePem, certificate.keyPem}, kToken, "Studio"), std::nullopt);
    port = *service->port();
  }

  std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port) + path; }

  // curl's view of one request; `options` go on its command line as they are.
  Answer curl(const std::string& options) const {
    const std::string command = "curl -sk -i --max-time 20 " + options + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    for (size_t got; pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, got);
    if (pipe) pclose(pipe);
    Answer answer;
    const size_t end = text.find("\r\n\r\n");
    if (!text.starts_with("HTTP/") || end == std::string::npos) return answer;
    answer.status = std::stoi(text.substr(9, 3));
    answer.headers = text.substr(0, end);
    answer.body = text.substr(end + 4);
    return answer;
  }

  // A session opened with the token: the cookie's value.
  std::string session() const {
    const Answer answer = curl("-X POST --data " + std::string(kToken) + " " + url("/session"));
    const std::string name = std::string(WebService::cookieName) + "=";
    const size_t at = answer.headers.find(name);
    if (at == std::string::npos) return {};
    return answer.headers.substr(at + name.size(), 32);
  }

  std::string withCookie(const std::string& value) const {
    return "-H " + quoted("Cookie: " + std::string(WebService::cookieName) + "=" + value) + " ";
  }

  testing::TempFolder folder;
  std::shared_ptr<WebService> service = WebService::create(0);
  uint16_t port = 0;
};

TEST_F(WebServiceTest, TheTokenBuysACookieThatOpensEverythingAndEveryAnswerLocksThePageDown) {
  const Answer page = curl(url("/"));
  ASSERT_EQ(page.status, 200) << "the page itself needs no session";
  EXPECT_THAT(page.body, HasSubstr("<script src=\"/app.js\" defer></script>"));
  EXPECT_THAT(page.body, Not(HasSubstr("<script>")));
  EXPECT_THAT(page.headers, HasSubstr("Content-Type: text/html; charset=utf-8"));
  for (const char* path : {"/", "/app.js", "/style.css", "/icon.svg", "/events", "/nothing", "/session"}) {
    const Answer answer = curl(url(path));
    EXPECT_THAT(answer.headers, HasSubstr("Content-Security-Policy: default-src 'none'; script-src 'self'")) << path;
    EXPECT_THAT(answer.headers, HasSubstr("X-Content-Type-Options: nosniff")) << path;
    EXPECT_THAT(answer.headers, HasSubstr("Referrer-Policy: no-referrer")) << path;
    EXPECT_THAT(answer.headers, Not(HasSubstr("unsafe-inline"))) << path;
  }
  EXPECT_THAT(curl(url("/app.js")).headers, HasSubstr("Content-Type: text/javascript; charset=utf-8"));

  // Without a session nothing of the shoot is shown.
  for (const char* path : {"/events", "/frame.jpg", "/shots/1.jpg", "/plan?looks=10"}) {
    EXPECT_EQ(curl(url(path)).status, 401) << path;
    EXPECT_EQ(curl(withCookie("00000000000000000000000000000000") + url(path)).status, 401) << path;
  }

  const Answer wrong = curl("-X POST --data 0123456789abcdef0123456789abcdee " + url("/session"));
  EXPECT_EQ(wrong.status, 403);
  EXPECT_THAT(wrong.headers, Not(HasSubstr("Set-Cookie")));
  const Answer right = curl("-X POST --data " + std::string(kToken) + " " + url("/session"));
  EXPECT_EQ(right.status, 204);
  EXPECT_THAT(right.headers, ::testing::ContainsRegex(
                                 "Set-Cookie: __Host-vantle-session=[0-9a-f]{32}; Path=/; Secure; HttpOnly; SameSite=Strict"));

  const std::string cookie = session();
  ASSERT_EQ(cookie.size(), 32u);
  const Answer plan = curl(withCookie(cookie) + quoted(url("/plan?looks=12")));
  EXPECT_EQ(plan.status, 200);
  EXPECT_THAT(plan.body, HasSubstr("\"shotsRemaining\":12"));
  EXPECT_EQ(curl(withCookie(cookie) + quoted(url("/plan?looks=12&frames=3"))).status, 400);
  EXPECT_EQ(curl(withCookie(cookie) + url("/frame.jpg")).status, 404);  // no frame yet
  service->publishFrame({0xff, 0xd8, 0xff, 0xd9}, "IMG_0001.CR3");
  const Answer frame = curl(withCookie(cookie) + url("/frame.jpg"));
  EXPECT_EQ(frame.status, 200);
  EXPECT_EQ(frame.body, std::string("\xff\xd8\xff\xd9"));
  EXPECT_THAT(frame.headers, HasSubstr("Content-Type: image/jpeg"));

  // Read-only: nothing but the session takes anything other than a read.
  for (const char* path : {"/", "/events", "/plan", "/frame.jpg"}) {
    const Answer answer = curl("-X POST --data x " + withCookie(cookie) + url(path));
    EXPECT_EQ(answer.status, 405) << path;
    EXPECT_THAT(answer.headers, HasSubstr("Allow: GET, HEAD")) << path;
  }
  EXPECT_EQ(curl("-X DELETE " + url("/session")).status, 405);

  // A new pairing code: the old token and every session stop working.
  service->renew("fedcba9876543210fedcba9876543210");
  EXPECT_EQ(curl(withCookie(cookie) + url("/frame.jpg")).status, 401);
  EXPECT_EQ(curl("-X POST --data " + std::string(kToken) + " " + url("/session")).status, 403);
}

TEST_F(WebServiceTest, TheStreamTellsTheWholePictureThenEachChangeAndEndsWithTheToken) {
  core::VantleSnapshot snapshot;
  snapshot.frameCount = 7;
  snapshot.shotName = "Look 1";
  service->publishView(snapshot, {"Look 1 \u00b7 7", std::nullopt});
  const std::string cookie = session();
  testing::LiveProcess stream("/usr/bin/curl", {"-skN", "--max-time", "60", "-H",
                                                std::string("Cookie: ") + WebService::cookieName + "=" + cookie,
                                                url("/events")});
  ASSERT_TRUE(stream.waitForLine("data: {\"frameCount\":7,\"shotName\":\"Look 1\"", 20));
  ASSERT_TRUE(stream.waitForLine("event: shots", 20));

  snapshot.frameCount = 8;
  service->publishView(snapshot, {"Look 1 \u00b7 8", std::nullopt});
  EXPECT_TRUE(stream.waitForLine("data: {\"frameCount\":8", 20));
  core::WireSegment shot;
  shot.seq = 41;
  shot.folderName = "Look 1";
  shot.thumbnail = core::Bytes{0xff, 0xd8, 0xff, 0xd9};
  service->publishShot(shot);
  EXPECT_TRUE(stream.waitForLine(
      [](const std::string& line) { return line.find("{\"seq\":41,\"name\":\"Look 1\"") != std::string::npos; }, 20));
  EXPECT_EQ(curl(withCookie(cookie) + url("/shots/41.jpg")).body, std::string("\xff\xd8\xff\xd9"));
  EXPECT_EQ(curl(withCookie(cookie) + url("/shots/42.jpg")).status, 404);
  EXPECT_EQ(service->streamCount(), 1u);

  service->renew("fedcba9876543210fedcba9876543210");
  EXPECT_TRUE(stream.waitForExit(20)) << "a stream ends with its token";
  EXPECT_TRUE(testing::eventually([&] { return service->streamCount() == 0; }, 20));
}

TEST_F(WebServiceTest, OnlyTlsOneTwoAndUpAndNoBodyOrHeadersBeyondTheirBounds) {
  EXPECT_EQ(curl("http://127.0.0.1:" + std::to_string(port) + "/").status, 0) << "plain HTTP is not answered";
  EXPECT_EQ(curl("--tlsv1.0 --tls-max 1.1 " + url("/")).status, 0);
  EXPECT_EQ(curl("--tlsv1.3 " + url("/")).status, 200);
  EXPECT_EQ(curl("--tlsv1.2 --tls-max 1.2 " + url("/")).status, 200);

  const std::string big = (folder.path() / "big").string();
  std::ofstream(big) << std::string(WebService::bodyLimit + 1, 'a');
  EXPECT_EQ(curl("-X POST --data-binary @" + quoted(big) + " " + url("/session")).status, 413);
  EXPECT_EQ(curl("-X POST -H 'Transfer-Encoding: chunked' --data-binary @" + quoted(big) + " " + url("/session")).status,
            413);
  const Answer huge = curl("-H " + quoted("X-Filler: " + std::string(WebService::headerBytes, 'h')) + " " + url("/"));
  EXPECT_NE(huge.status, 200);
  EXPECT_EQ(curl(url("/")).status, 200) << "and the server goes on";
}

// A plain TCP connection from `source` (a loopback address) that never says
// anything; -1 when it could not be made.
int silentConnection(const char* source, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{.sin_family = AF_INET};
  inet_pton(AF_INET, source, &local.sin_addr);
  sockaddr_in remote{.sin_family = AF_INET, .sin_port = htons(port)};
  inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether the server has closed `fd`: a read sees the end of the stream.
bool closedByServer(int fd) {
  char byte;
  return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

TEST_F(WebServiceTest, SilentConnectionsTakeAtMostTheirShareAndAreClosedAtTheHeaderDeadline) {
  const std::string cookie = session();
  ASSERT_TRUE(testing::eventually([&] { return service->connectionCount() == 0; }, 20));

  // One sends a body that never ends, a byte at a time: never idle, never too large at once.
  testing::LiveProcess trickler("/usr/bin/openssl",
                                {"s_client", "-quiet", "-crlf", "-connect", "127.0.0.1:" + std::to_string(port)});
  trickler.send("POST /session HTTP/1.1");
  trickler.send("Host: 127.0.0.1");
  trickler.send("Transfer-Encoding: chunked");
  trickler.send("");
  testing::Pace pace(std::chrono::milliseconds(500));
  std::thread trickle([&] {
    while (pace.next()) {
      trickler.send("1");  // a chunk of one byte; -crlf ends each line as HTTP wants
      trickler.send("a");
    }
  });
  ASSERT_TRUE(testing::eventually([&] { return service->connectionCount() == 1; }, 20));

  // Two machines say nothing: each gets its share of places, no more, and together they fill the server.
  std::vector<int> first, second;
  for (unsigned i = 0; i < WebService::perAddressLimit + 4; ++i) first.push_back(silentConnection("127.0.0.2", port));
  for (unsigned i = 1; i < WebService::perAddressLimit; ++i) second.push_back(silentConnection("127.0.0.3", port));
  EXPECT_TRUE(testing::eventually([&] { return service->connectionCount() == WebService::connectionLimit; }, 20));
  EXPECT_TRUE(testing::eventually([&] { return closedByServer(first.back()); }, 20)) << "one share per address";

  // A connection that has not sent a whole request within the deadline is closed, and the server is open again.
  EXPECT_TRUE(testing::eventually([&] { return service->connectionCount() == 0; }, WebService::headerSeconds + 10));
  EXPECT_TRUE(trickler.waitForExit(20)) << "the endless body is cut off";
  pace.stop();
  trickle.join();
  EXPECT_EQ(curl(withCookie(cookie) + quoted(url("/plan?looks=3"))).status, 200);
  for (int fd : first) ::close(fd);
  for (int fd : second) ::close(fd);
}

}  // namespace
}  // namespace vantle::web
