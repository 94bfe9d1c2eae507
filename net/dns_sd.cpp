#include "net/dns_sd.h"

#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

#include <algorithm>
#include <mutex>
#include <tuple>

#include "net/avahi_session.h"

namespace vantle::net {

// ---- Advertising ----------------------------------------------------------

struct ServiceAdvertiser::State {
  std::string name;
  std::string type;
  uint16_t port = 0;
  TxtRecord txt;
  Callbacks callbacks;
  AvahiEntryGroup* group = nullptr;

  static void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
    auto* self = static_cast<State*>(context);
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        if (self->callbacks.onRegistered) self->callbacks.onRegistered(self->name);
        break;
      case AVAHI_ENTRY_GROUP_COLLISION: {
        // Another host on the network uses the name: take the one Avahi suggests.
        char* next = avahi_alternative_service_name(self->name.c_str());
        self->name = next;
        avahi_free(next);
        avahi_entry_group_reset(group);
        self->add(avahi_entry_group_get_client(group));
        break;
      }
      case AVAHI_ENTRY_GROUP_FAILURE:
        if (self->callbacks.onUnavailable) {
          self->callbacks.onUnavailable(std::string("advertising failed: ") +
                                        avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
        }
        break;
      case AVAHI_ENTRY_GROUP_UNCOMMITED:
      case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
  }

  void add(AvahiClient* client) {
    if (!group) group = avahi_entry_group_new(client, groupChanged, this);
    if (!group) return;
    AvahiStringList* list = nullptr;
    for (const auto& [key, value] : txt) list = avahi_string_list_add_pair(list, key.c_str(), value.c_str());
    int error = avahi_entry_group_add_service_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                     name.c_str(), type.c_str(), nullptr, nullptr, port, list);
    avahi_string_list_free(list);
    if (error == AVAHI_ERR_COLLISION) {
      char* next = avahi_alternative_service_name(name.c_str());
      name = next;
      avahi_free(next);
      return add(client);
    }
    if (error == AVAHI_OK) error = avahi_entry_group_commit(group);
    if (error != AVAHI_OK && callbacks.onUnavailable) {
      callbacks.onUnavailable(std::string("advertising failed: ") + avahi_strerror(error));
    }
  }

  void drop() {
    if (group) avahi_entry_group_free(group);
    group = nullptr;
  }
};

ServiceAdvertiser::ServiceAdvertiser(std::string name, std::string type, uint16_t port, TxtRecord txt,
                                     Callbacks callbacks)
    : state_(std::make_unique<State>()) {
  State* state = state_.get();
  state->name = std::move(name);
  state->type = std::move(type);
  state->port = port;
  state->txt = std::move(txt);
  state->callbacks = std::move(callbacks);
  session_ = std::make_unique<AvahiSession>(AvahiSession::Callbacks{
      [state](AvahiClient* client) { state->add(client); },
      [state] { state->drop(); },
      state->callbacks.onUnavailable,
  });
  session_->start();
}

ServiceAdvertiser::~ServiceAdvertiser() {
  // The session stops Avahi's thread first; the group goes with its client.
  session_.reset();
}

// ---- Resolving ------------------------------------------------------------

namespace {

// A resolved instance as companions use it, and how good its address is:
// lower is better (IPv4, then global IPv6, then link-local IPv6).
std::pair<FoundService, int> foundService(AvahiIfIndex interface, const char* name, const AvahiAddress& address,
                                          uint16_t port, AvahiStringList* txt) {
  FoundService service;
  service.instanceName = name;
  service.port = port;
  char text[AVAHI_ADDRESS_STR_MAX];
  avahi_address_snprint(text, sizeof text, &address);
  service.address = text;
  int rank = 0;
  if (address.proto == AVAHI_PROTO_INET6) {
    const bool linkLocal = address.data.ipv6.address[0] == 0xfe && (address.data.ipv6.address[1] & 0xc0) == 0x80;
    rank = linkLocal ? 2 : 1;
    // A link-local address is only reachable through its interface.
    if (linkLocal) service.address += "%" + std::to_string(interface);
  }
  if (txt) {
    std::map<std::string, std::string> pairs;
    for (AvahiStringList* item = txt; item; item = avahi_string_list_get_next(item)) {
      char* key = nullptr;
      char* value = nullptr;
      size_t size = 0;
      if (avahi_string_list_get_pair(item, &key, &value, &size) == 0) {
        pairs[key] = value ? std::string(value, size) : std::string();
        avahi_free(key);
        avahi_free(value);
      }
    }
    service.txt = std::move(pairs);
  }
  return {std::move(service), rank};
}

}  // namespace

struct ServiceResolver::State {
  std::string name;
  std::string type;
  Family family;
  std::function<void(const Result&)> onResolved;
  bool answered = false;  // on Avahi's thread, or before it starts

  void answer(const Result& result) {
    if (answered) return;
    answered = true;
    if (onResolved) onResolved(result);
  }

  static void resolved(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                       const char* name, const char*, const char*, const char*, const AvahiAddress* address,
                       uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags, void* context) {
    auto* self = static_cast<State*>(context);
    if (event == AVAHI_RESOLVER_FOUND && address) {
      self->answer(foundService(interface, name, *address, port, txt).first);
    } else {
      self->answer("\"" + self->name + "\" is not advertised now (" +
                   avahi_strerror(avahi_client_errno(avahi_service_resolver_get_client(resolver))) + ")");
    }
    avahi_service_resolver_free(resolver);  // one answer is all it gives
  }

  void start(AvahiClient* client) {
    if (answered) return;
    const AvahiProtocol addressFamily = family == Family::ipv4 ? AVAHI_PROTO_INET : AVAHI_PROTO_INET6;
    if (!avahi_service_resolver_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, name.c_str(), type.c_str(), nullptr,
                                    addressFamily, AvahiLookupFlags(0), resolved, this)) {
      answer(std::string("resolving failed: ") + avahi_strerror(avahi_client_errno(client)));
    }
  }
};

ServiceResolver::ServiceResolver(std::string name, std::string type, Family family,
                                 std::function<void(const Result&)> onResolved)
    : state_(std::make_unique<State>()) {
  State* state = state_.get();
  state->name = std::move(name);
  state->type = std::move(type);
  state->family = family;
  state->onResolved = std::move(onResolved);
  session_ = std::make_unique<AvahiSession>(AvahiSession::Callbacks{
      [state](AvahiClient* client) { state->start(client); },
      // A resolver under way goes with its client; without an answer by now,
      // the lost daemon is the answer.
      [state] { state->answer("the Avahi daemon went away"); },
      [state](const std::string& reason) { state->answer(reason); },
  });
  session_->start();
}

ServiceResolver::~ServiceResolver() { session_.reset(); }

// ---- Browsing -------------------------------------------------------------

struct ServiceBrowser::State {
  std::string type;
  Callbacks callbacks;
  AvahiServiceBrowser* browser = nullptr;

  struct Key {
    AvahiIfIndex interface;
    AvahiProtocol protocol;
    std::string name;
    auto operator<=>(const Key&) const = default;
  };
  struct Resolved {
    FoundService service;
    int rank;  // lower is better: IPv4, then global IPv6, then link-local IPv6
  };
  std::map<Key, Resolved> found;

  void report() {
    std::map<std::string, const Resolved*> best;
    for (const auto& [key, resolved] : found) {
      auto& slot = best[key.name];
      if (!slot || resolved.rank < slot->rank) slot = &resolved;
    }
    std::vector<FoundService> list;
    for (const auto& [name, resolved] : best) list.push_back(resolved->service);
    if (callbacks.onChange) callbacks.onChange(list);
  }

  static void resolvedService(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol protocol,
                              AvahiResolverEvent event, const char* name, const char*, const char*, const char*,
                              const AvahiAddress* address, uint16_t port, AvahiStringList* txt,
                              AvahiLookupResultFlags, void* context) {
    auto* self = static_cast<State*>(context);
    if (event == AVAHI_RESOLVER_FOUND && address) {
      auto [service, rank] = foundService(interface, name, *address, port, txt);
      self->found[Key{interface, protocol, name}] = Resolved{std::move(service), rank};
      self->report();
    }
    avahi_service_resolver_free(resolver);
  }

  static void browsed(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                      AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                      AvahiLookupResultFlags, void* context) {
    auto* self = static_cast<State*>(context);
    AvahiClient* client = avahi_service_browser_get_client(browser);
    switch (event) {
      case AVAHI_BROWSER_NEW:
        avahi_service_resolver_new(client, interface, protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
                                   AvahiLookupFlags(0), resolvedService, self);
        break;
      case AVAHI_BROWSER_REMOVE:
        if (self->found.erase(Key{interface, protocol, name}) > 0) self->report();
        break;
      case AVAHI_BROWSER_FAILURE:
        if (self->callbacks.onUnavailable) {
          self->callbacks.onUnavailable(std::string("browsing failed: ") + avahi_strerror(avahi_client_errno(client)));
        }
        break;
      case AVAHI_BROWSER_ALL_FOR_NOW:
      case AVAHI_BROWSER_CACHE_EXHAUSTED:
        break;
    }
  }

  void start(AvahiClient* client) {
    browser = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(), nullptr,
                                        AvahiLookupFlags(0), browsed, this);
  }

  void drop() {
    if (browser) avahi_service_browser_free(browser);
    browser = nullptr;
    if (!found.empty()) {
      found.clear();
      report();
    }
  }
};

ServiceBrowser::ServiceBrowser(std::string type, Callbacks callbacks)
    : state_(std::make_unique<State>()) {
  State* state = state_.get();
  state->type = std::move(type);
  state->callbacks = std::move(callbacks);
  session_ = std::make_unique<AvahiSession>(AvahiSession::Callbacks{
      [state](AvahiClient* client) { state->start(client); },
      [state] { state->drop(); },
      state->callbacks.onUnavailable,
  });
  session_->start();
}

ServiceBrowser::~ServiceBrowser() { session_.reset(); }

}  // namespace vantle::net
