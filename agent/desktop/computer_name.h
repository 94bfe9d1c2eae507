// The computer's name as people know it, for the agent's display name.
//
// `ComputerName` is what the controller needs. `HostnamedComputerName` is
// the real one: systemd-hostnamed's PrettyHostname on the system bus, else
// the kernel's host name, else "Mac". Never fails; blocks for at most a few
// seconds while hostnamed starts. Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "agent/desktop/dbus.h"

namespace vantle::agent {

class ComputerName {
 public:
  virtual ~ComputerName() = default;
  virtual std::string displayName() const = 0;
};

// A name the user chose for the agent (`--name`), in place of the computer's.
class GivenComputerName final : public ComputerName {
 public:
  explicit GivenComputerName(std::string name) : name_(std::move(name)) {}
  std::string displayName() const override { return name_; }

 private:
  const std::string name_;
};

class HostnamedComputerName final : public ComputerName {
 public:
  // hostnamed on the bus of `bus` kind: the system bus in the product.
  explicit HostnamedComputerName(BusKind bus = BusKind::system) : bus_(bus) {}

  std::string displayName() const override;

  // The first name that is not blank, else "Mac".
  static std::string chooseName(const std::optional<std::string>& prettyName,
                                const std::optional<std::string>& hostName);

 private:
  std::optional<std::string> prettyName() const;

  BusKind bus_;
};

}  // namespace vantle::agent
