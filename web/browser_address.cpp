#include "web/browser_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

namespace vantle::web {

std::string browserAddress(const std::string& host, uint16_t port, const std::string& token) {
  const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return "https://" + shown + ":" + std::to_string(port) + "/#" + token;
}

std::string browserHost() {
  ifaddrs* interfaces = nullptr;
  std::string found;
  if (getifaddrs(&interfaces) == 0) {
    for (const ifaddrs* i = interfaces; i && found.empty(); i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
      char text[INET_ADDRSTRLEN] = {};
      const auto* address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
      if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) found = text;
    }
    freeifaddrs(interfaces);
  }
  if (!found.empty()) return found;
  const std::string name = hostName();
  return name == "localhost" ? name : name + ".local";
}

std::string hostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !*name) return "localhost";
  return name;
}

}  // namespace vantle::web
