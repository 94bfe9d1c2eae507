// DNS-SD end to end against a real avahi-daemon. Runs only inside the
// private test network that scripts/test-netns makes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>

#include "net/dns_sd.h"
#include "net/security.h"
#include "net/vantle_client.h"
#include "net/vantle_service.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_folder.h"
#include "web/web_certificate.h"
#include "web/web_service.h"

namespace vantle::net {
namespace {

using testing::eventually;

class DnsSdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("VANTLE_TEST_NETNS")) GTEST_SKIP() << "needs the private test network (scripts/test-netns)";
  }
};

// Everything a browser currently sees, read safely from the test thread.
struct Seen {
  std::mutex mutex;
  std::vector<FoundService> services;
  std::optional<FoundService> named(const std::string& name) {
    std::lock_guard lock(mutex);
    for (const auto& s : services) {
      if (s.instanceName == name) return s;
    }
    return std::nullopt;
  }
};

std::unique_ptr<ServiceBrowser> browse(Seen& seen, std::string_view type = VantleSecurity::serviceType) {
  return std::make_unique<ServiceBrowser>(
      std::string(type),
      ServiceBrowser::Callbacks{[&seen](const std::vector<FoundService>& found) {
                                  std::lock_guard lock(seen.mutex);
                                  seen.services = found;
                                },
                                {}});
}

TEST_F(DnsSdTest, AgentsAdvertiseTheirRecordAndCollidingNamesBecomeNewOnes) {
  auto first = VantleService::create(0);
  auto second = VantleService::create(0);  // has no agent ID
  first->setAgentID("7C1D3F0A-0000-4000-8000-000000000001");
  ASSERT_EQ(first->start("111111", "Capture Bay"), std::nullopt);
  Seen seen;
  auto browser = browse(seen);
  ASSERT_TRUE(eventually([&] { return seen.named("Capture Bay").has_value(); }, 15));
  const FoundService found = *seen.named("Capture Bay");
  ASSERT_TRUE(found.txt);
  EXPECT_EQ(found.txt->at("v"), "1");
  EXPECT_EQ(found.txt->at("name"), "Capture Bay");
  EXPECT_EQ(found.txt->at("id"), "7C1D3F0A-0000-4000-8000-000000000001");
  EXPECT_EQ(found.port, *first->debugPort());

  // The newcomer is renamed, and its record has an empty "id".
  ASSERT_EQ(second->start("222222", "Capture Bay"), std::nullopt);
  EXPECT_TRUE(eventually([&] {
    std::lock_guard lock(seen.mutex);
    return std::any_of(seen.services.begin(), seen.services.end(), [&](const FoundService& s) {
      const bool withoutID = s.txt && s.txt->count("id") && s.txt->at("id").empty();
      return s.instanceName != "Capture Bay" && s.port == *second->debugPort() && withoutID;
    });
  }, 15));
}

TEST_F(DnsSdTest, TheBrowserPageIsAdvertisedAsHttpsWithItsPathBesideTheCompanionService) {
  testing::TempFolder folder;
  auto made = web::WebCertificate::loadOrMake(folder.path(), "localhost");
  ASSERT_TRUE(std::holds_alternative<web::WebCertificate>(made));
  const auto& certificate = std::get<web::WebCertificate>(made);
  auto page = web::WebService::create(0);
  ASSERT_EQ(page->start({certificate.certificatePem, certificate.keyPem}, "0123456789abcdef0123456789abcdef",
                        "Capture Bay"),
            std::nullopt);
  Seen seen;
  auto browser = browse(seen, web::WebService::serviceType);
  ASSERT_TRUE(eventually([&] { return seen.named("Capture Bay").has_value(); }, 15));
  const FoundService found = *seen.named("Capture Bay");
  ASSERT_TRUE(found.txt);
  EXPECT_EQ(found.txt->at("path"), "/");
  EXPECT_EQ(found.port, *page->port());

  // Stopped, it is no longer advertised.
  page->stop();
  EXPECT_TRUE(eventually([&] { return !seen.named("Capture Bay").has_value(); }, 15));
}

TEST_F(DnsSdTest, AClientsOwnCallbacksMayRestartAndStopItsBrowsing) {
  auto service = VantleService::create(0);
  ASSERT_EQ(service->start("577215", "Callback Mac"), std::nullopt);
  auto client = VantleClient::create();
  std::atomic<int> finds{0};            // lists naming the agent, up to the stop
  std::atomic<int> listsAfterStop{0};   // must stay 0
  std::atomic<bool> stopped{false};
  client->onAgentsChanged = [&](const std::vector<DiscoveredAgent>& agents) {
    if (stopped) {
      ++listsAfterStop;
      return;
    }
    if (std::none_of(agents.begin(), agents.end(), [](const auto& a) { return a.name == "Callback Mac"; })) return;
    if (++finds == 1) {
      client->startBrowsing();  // a refresh, from the callback: the new browse finds it again
      return;
    }
    client->stopBrowsing();
    stopped = true;
  };
  client->startBrowsing();
  ASSERT_TRUE(eventually([&] { return stopped.load(); }, 15));
  EXPECT_EQ(client->state().kind, VantleConnectionState::Kind::browsing);  // after every callback so far
  EXPECT_EQ(finds, 2);
  EXPECT_EQ(listsAfterStop, 0);
  service->stop();
}

TEST_F(DnsSdTest, AdvertisingComesBackWhenTheDaemonDoes) {
  const char* conf = std::getenv("VANTLE_TEST_AVAHI_CONF");
  ASSERT_TRUE(conf);
  auto service = VantleService::create(0);
  std::atomic<bool> saidSo{false};  // that companions must connect by address meanwhile
  service->onError = [&](const std::string& e) {
    if (e.ends_with("They can still connect by address.")) saidSo = true;
  };
  ASSERT_EQ(service->start("161803", "Phoenix"), std::nullopt);
  {
    Seen seen;
    auto browser = browse(seen);
    ASSERT_TRUE(eventually([&] { return seen.named("Phoenix").has_value(); }, 15));
  }
  // Its exit status is not reliable here; the service noticing is what counts.
  [[maybe_unused]] const int killed = std::system("avahi-daemon -k");
  ASSERT_TRUE(eventually([&] { return saidSo.load(); }, 10));
  // The stopped daemon may linger as a zombie of the script, which the pid
  // file check would take for a running one.
  const std::string start =
      std::string("rm -f /run/avahi-daemon/pid; avahi-daemon -D --no-drop-root --no-chroot --no-rlimits -f ") + conf;
  ASSERT_EQ(std::system(start.c_str()), 0);
  Seen seen;
  auto browser = browse(seen);
  EXPECT_TRUE(eventually([&] { return seen.named("Phoenix").has_value(); }, 30));
  service->stop();
}

}  // namespace
}  // namespace vantle::net
