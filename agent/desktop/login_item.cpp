#include "agent/desktop/login_item.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "core/trimmed.h"
#include "support/user_files.h"

namespace vantle::agent {
namespace {

// One argument of an Exec line: always quoted, with the characters that
// quoting leaves special escaped, then escaped once more as a string value
// (backslashes doubled) and for field codes (percent signs doubled).
std::string execArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (const char c : argument) {
    switch (c) {
      case '"': quoted += "\\\\\""; break;
      case '`': quoted += "\\\\`"; break;
      case '$': quoted += "\\\\$"; break;
      case '\\': quoted += "\\\\\\\\"; break;
      case '%': quoted += "%%"; break;
      default: quoted += c;
    }
  }
  return quoted + "\"";
}

// Whether the entry's main group switches it off.
bool switchedOff(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  bool inMainGroup = false;
  while (std::getline(lines, line)) {
    const std::string_view content = core::trimmed(line);
    if (content.empty() || content.front() == '#') continue;
    if (content.front() == '[') {
      inMainGroup = content == "[Desktop Entry]";
      continue;
    }
    const auto equals = content.find('=');
    if (!inMainGroup || equals == std::string_view::npos) continue;
    const std::string_view key = core::trimmed(content.substr(0, equals));
    const std::string_view value = core::trimmed(content.substr(equals + 1));
    if (key == "Hidden" && value == "true") return true;
    if (key == "X-GNOME-Autostart-enabled" && value == "false") return true;
  }
  return false;
}

std::filesystem::path ownExecutable() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}

}  // namespace

AutostartLoginItem::AutostartLoginItem(std::filesystem::path autostartFolder, std::filesystem::path executable)
    : folder_(std::move(autostartFolder)), executable_(std::move(executable)) {}

AutostartLoginItem AutostartLoginItem::standard() {
  const std::optional<std::filesystem::path> config = support::configHome();
  return AutostartLoginItem(config ? *config / "autostart" : std::filesystem::path(), ownExecutable());
}

std::filesystem::path AutostartLoginItem::entry() const { return folder_.empty() ? folder_ : folder_ / entryName; }

std::string AutostartLoginItem::entryText(const std::filesystem::path& executable) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Orvane Live Agent\n"
         "Comment=Counts frames for a tethered shoot\n"
         "Exec=" + execArgument(executable.string()) + "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

std::optional<Failure> AutostartLoginItem::enable() {
  if (folder_.empty()) return Failure{"There is no configuration folder: neither XDG_CONFIG_HOME nor HOME is set."};
  const std::string program = executable_.string();
  if (program.empty() || program.front() != '/' || program.find('\n') != std::string::npos) {
    return Failure{"The agent's own program could not be found."};
  }
  if (auto why = support::replaceFile(entry(), entryText(executable_))) return Failure{*why};
  return std::nullopt;
}

std::optional<Failure> AutostartLoginItem::disable() {
  if (folder_.empty()) return std::nullopt;
  if (unlink(entry().c_str()) != 0 && errno != ENOENT) {
    const int error = errno;
    return Failure{"Cannot remove " + entry().string() + ": " + std::strerror(error)};
  }
  return std::nullopt;
}

bool AutostartLoginItem::isEnabled() const {
  if (folder_.empty()) return false;
  const std::optional<std::string> text = support::readSmallFile(entry());
  return text && !switchedOff(*text);
}

}  // namespace vantle::agent
