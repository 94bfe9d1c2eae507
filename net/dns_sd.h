// DNS-SD (Bonjour) advertising, browsing and resolving through the Avahi
// daemon.
//
// Advertising and browsing keep working when no daemon is reachable: they
// say so once through `onUnavailable` and keep trying, so that they start as
// soon as the daemon appears; a one-off resolution answers at once that it
// cannot be made. Callbacks run on Avahi's own thread; owners hop to their
// queue from there. Destroying one withdraws the advertisement or stops the
// browse or the resolution before returning, after which no callback runs.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vantle::net {

class AvahiSession;

using TxtRecord = std::vector<std::pair<std::string, std::string>>;

class ServiceAdvertiser {
 public:
  struct Callbacks {
    // The name the service ended up with (Avahi renames it on a collision).
    std::function<void(const std::string& name)> onRegistered;
    // Why advertising is not possible now; said once until it works again.
    std::function<void(const std::string& reason)> onUnavailable;
  };

  ServiceAdvertiser(std::string name, std::string type, uint16_t port, TxtRecord txt, Callbacks callbacks);
  ~ServiceAdvertiser();
  ServiceAdvertiser(const ServiceAdvertiser&) = delete;
  ServiceAdvertiser& operator=(const ServiceAdvertiser&) = delete;

  struct State;

 private:
  std::unique_ptr<State> state_;
  std::unique_ptr<AvahiSession> session_;
};

// One resolved service instance.
struct FoundService {
  std::string instanceName;
  std::optional<std::map<std::string, std::string>> txt;  // absent when it carried none
  std::string address;  // numeric, IPv4 preferred
  uint16_t port = 0;
  bool operator==(const FoundService&) const = default;
};

// Looks one advertised instance up by its name, once: where it can be
// reached now. An agent's address and port change (a new DHCP lease, another
// network, another port), so a companion asks again before each connection
// rather than keeping what browsing found. `family` is the kind of address
// wanted. `onResolved` is called exactly once, on Avahi's thread, with the
// service or with why it was not found: not advertised now (Avahi gives up
// after about five seconds) or no Avahi daemon to ask. Destroying the
// resolver stops it before returning, after which it is not called.
class ServiceResolver {
 public:
  enum class Family { ipv4, ipv6 };
  using Result = std::variant<FoundService, std::string>;

  ServiceResolver(std::string name, std::string type, Family family, std::function<void(const Result&)> onResolved);
  ~ServiceResolver();
  ServiceResolver(const ServiceResolver&) = delete;
  ServiceResolver& operator=(const ServiceResolver&) = delete;

  struct State;

 private:
  std::unique_ptr<State> state_;
  std::unique_ptr<AvahiSession> session_;
};

class ServiceBrowser {
 public:
  struct Callbacks {
    // The whole current set, after every change, ordered by instance name.
    std::function<void(const std::vector<FoundService>&)> onChange;
    std::function<void(const std::string& reason)> onUnavailable;
  };

  ServiceBrowser(std::string type, Callbacks callbacks);
  ~ServiceBrowser();
  ServiceBrowser(const ServiceBrowser&) = delete;
  ServiceBrowser& operator=(const ServiceBrowser&) = delete;

  struct State;

 private:
  std::unique_ptr<State> state_;
  std::unique_ptr<AvahiSession> session_;
};

}  // namespace vantle::net
