// An OpenSSL context configured by VantleSecurity::parameters, with the
// pre-shared key it answers with. Shared by every connection made from it;
// each connection holds it for as long as it lives.
#pragma once

#include <asio/ssl/context.hpp>

#include <array>
#include <cstdint>

#include "net/security.h"

namespace vantle::net {

class TlsContext {
 public:
  TlsContext(const std::array<uint8_t, 32>& key, VantleSecurity::Role role);
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  asio::ssl::context& context() { return context_; }
  const std::array<uint8_t, 32>& key() const { return key_; }

 private:
  asio::ssl::context context_;
  std::array<uint8_t, 32> key_;
};

}  // namespace vantle::net
