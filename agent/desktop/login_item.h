// Opening the agent when the user logs in.
//
// `LoginItem` is what the controller needs: enable, disable, and whether it
// is enabled. `AutostartLoginItem` is the real one, an XDG autostart entry
// "orvane-vantle-agent.desktop" in the autostart folder of the user's
// configuration folder. It counts as enabled when the entry exists and is
// not switched off (Hidden=true, or X-GNOME-Autostart-enabled=false, which
// desktop settings write). Thread-safe: every call goes to the file system.
#pragma once

#include <filesystem>
#include <optional>

#include "agent/desktop/failure.h"

namespace vantle::agent {

class LoginItem {
 public:
  virtual ~LoginItem() = default;

  // Registers the agent to open at login.
  virtual std::optional<Failure> enable() = 0;
  // Removes the registration; succeeds when there is none.
  virtual std::optional<Failure> disable() = 0;
  // Whether the registration is there and enabled; false when unknown.
  virtual bool isEnabled() const = 0;
};

class AutostartLoginItem final : public LoginItem {
 public:
  static constexpr const char* entryName = "orvane-vantle-agent.desktop";

  // The entry in `autostartFolder` that starts `executable`. An empty
  // folder means there is none: enabling fails, status reads false.
  AutostartLoginItem(std::filesystem::path autostartFolder, std::filesystem::path executable);

  // The user's autostart folder and this process's executable.
  static AutostartLoginItem standard();

  std::optional<Failure> enable() override;
  std::optional<Failure> disable() override;
  bool isEnabled() const override;

  std::filesystem::path entry() const;

  // The entry's text for `executable`.
  static std::string entryText(const std::filesystem::path& executable);

 private:
  std::filesystem::path folder_;
  std::filesystem::path executable_;
};

}  // namespace vantle::agent
