// The address a browser on the studio network opens: the one the browser QR
// code holds and the terminal prints.
//
// The host is this computer's first IPv4 address on a network interface that
// is up and not the loopback, because a tablet's browser reaches an address
// wherever it is, while ".local" names work in some browsers only; without
// such an interface it is the host name with ".local". The token goes in the
// fragment, which a browser never sends, so it reaches no log or referrer.
#pragma once

#include <cstdint>
#include <string>

namespace vantle::web {

// `https://HOST:PORT/#TOKEN`; an IPv6 host is bracketed.
std::string browserAddress(const std::string& host, uint16_t port, const std::string& token);

// The host of the address, as above; reads the interfaces.
std::string browserHost();

// This computer's host name, which the certificate names; "localhost" when
// the system has none.
std::string hostName();

}  // namespace vantle::web
