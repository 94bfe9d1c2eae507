#include "agent/desktop/user_defaults.h"

#include <cmath>
#include <limits>

#include "core/json_fields.h"
#include "core/vantle_coding.h"
#include "support/safe_text.h"
#include "support/user_files.h"

namespace vantle::agent {
namespace {

// The stored object, or an empty one when the file is missing or corrupt.
core::Json storedObject(const std::filesystem::path& file) {
  if (file.empty()) return core::Json::object();
  const std::optional<std::string> text = support::readSmallFile(file);
  if (!text) return core::Json::object();
  std::optional<core::Json> parsed = core::VantleCoding::parse(*text);
  if (!parsed || !parsed->is_object()) return core::Json::object();
  return std::move(*parsed);
}

std::optional<int64_t> truncatedInteger(const core::Json& value) {
  if (auto whole = core::json::asInt64(value)) return whole;
  const std::optional<double> number = core::json::asDouble(value);
  if (!number || !std::isfinite(*number)) return std::nullopt;
  const double truncated = std::trunc(*number);
  if (truncated < -9223372036854775808.0 || truncated >= 9223372036854775808.0) return std::nullopt;
  return static_cast<int64_t>(truncated);
}

}  // namespace

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  static const std::shared_ptr<UserDefaults> defaults = [] {
    const std::optional<std::filesystem::path> config = support::configHome();
    return std::make_shared<UserDefaults>(config ? *config / "OrvaneVantle" / "defaults.json"
                                                 : std::filesystem::path());
  }();
  return defaults;
}

std::optional<double> UserDefaults::diskWarningThresholdGB() const {
  const core::Json object = storedObject(file_);
  const core::Json* value = core::json::field(object, diskWarningThresholdGBKey);
  return value ? core::json::asDouble(*value) : std::nullopt;
}

std::optional<int64_t> UserDefaults::macBatteryWarningThreshold() const {
  const core::Json object = storedObject(file_);
  const core::Json* value = core::json::field(object, macBatteryWarningThresholdKey);
  return value ? truncatedInteger(*value) : std::nullopt;
}

std::optional<std::filesystem::path> UserDefaults::watchedFolder() const {
  const core::Json object = storedObject(file_);
  const core::Json* value = core::json::field(object, watchedFolderKey);
  const std::optional<std::string> text = value ? core::json::asString(*value) : std::nullopt;
  if (!text || text->empty() || text->front() != '/') return std::nullopt;
  return std::filesystem::path(*text);
}

std::optional<Failure> UserDefaults::setWatchedFolder(const std::optional<std::filesystem::path>& folder) {
  if (folder && support::printable(folder->string()) != folder->string()) {
    return Failure{"The folder's name has characters the settings cannot keep, so it is not remembered."};
  }
  return update([&](core::Json& object) {
    if (folder) {
      object[std::string(watchedFolderKey)] = folder->string();
    } else {
      object.erase(std::string(watchedFolderKey));
    }
  });
}

std::optional<bool> UserDefaults::sharesWithBrowsers() const {
  const core::Json object = storedObject(file_);
  const core::Json* value = core::json::field(object, shareWithBrowsersKey);
  return value && value->is_boolean() ? std::optional<bool>(value->get<bool>()) : std::nullopt;
}

std::optional<Failure> UserDefaults::setSharesWithBrowsers(bool shares) { return store(shareWithBrowsersKey, shares); }

std::optional<Failure> UserDefaults::setDiskWarningThresholdGB(double gigabytes) {
  if (!std::isfinite(gigabytes)) return Failure{"The disk warning threshold must be a finite number."};
  return store(diskWarningThresholdGBKey, gigabytes);
}

std::optional<Failure> UserDefaults::setMacBatteryWarningThreshold(int64_t percent) {
  return store(macBatteryWarningThresholdKey, percent);
}

template <typename T>
std::optional<Failure> UserDefaults::store(std::string_view key, T value) {
  return update([&](core::Json& object) { object[std::string(key)] = value; });
}

std::optional<Failure> UserDefaults::update(const std::function<void(core::Json&)>& change) {
  if (file_.empty()) return Failure{"There is no configuration folder: neither XDG_CONFIG_HOME nor HOME is set."};
  std::lock_guard lock(writeLock_);
  core::Json object = storedObject(file_);
  change(object);
  if (auto why = support::replaceFile(file_, object.dump(2) + "\n")) return Failure{*why};
  return std::nullopt;
}

}  // namespace vantle::agent
