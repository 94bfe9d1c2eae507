#include "agent/monitor/power_sources.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <string>
#include <vector>

namespace vantle::agent {
namespace {

// The first line of an attribute file, without surrounding blanks.
std::optional<std::string> attribute(const std::filesystem::path& source, const char* name) {
  std::ifstream file(source / name);
  std::string line;
  if (!file || !std::getline(file, line)) return std::nullopt;
  const auto begin = line.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return std::string();
  const auto end = line.find_last_not_of(" \t\r");
  return line.substr(begin, end - begin + 1);
}

std::optional<int64_t> integerAttribute(const std::filesystem::path& source, const char* name) {
  const std::optional<std::string> text = attribute(source, name);
  if (!text) return std::nullopt;
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (error != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

// Percent of `now` over `full`, computed in floating point and truncated.
std::optional<int64_t> percentOf(std::optional<int64_t> now, std::optional<int64_t> full) {
  if (!now || !full || *now < 0 || *full <= 0) return std::nullopt;
  return static_cast<int64_t>(static_cast<double>(*now) / static_cast<double>(*full) * 100.0);
}

std::optional<int64_t> chargePercent(const std::filesystem::path& source) {
  if (const std::optional<int64_t> capacity = integerAttribute(source, "capacity"); capacity && *capacity >= 0) {
    return capacity;
  }
  if (auto percent = percentOf(integerAttribute(source, "energy_now"), integerAttribute(source, "energy_full"))) {
    return percent;
  }
  return percentOf(integerAttribute(source, "charge_now"), integerAttribute(source, "charge_full"));
}

// A battery held at a charge limit reads "Not charging" while plugged in;
// telling its user to plug in would be wrong, so it counts as charging.
bool onExternalPower(const std::filesystem::path& source) {
  const std::optional<std::string> status = attribute(source, "status");
  return status && (*status == "Charging" || *status == "Full" || *status == "Not charging");
}

bool isSystemBattery(const std::filesystem::path& source) {
  return attribute(source, "type") == "Battery" && attribute(source, "scope") != "Device" &&
         attribute(source, "present") != "0";
}

}  // namespace

std::optional<BatteryReading> PowerSources::battery() const {
  std::vector<std::filesystem::path> sources;
  std::error_code error;
  for (std::filesystem::directory_iterator it(root_, error), end; !error && it != end; it.increment(error)) {
    sources.push_back(it->path());
  }
  std::sort(sources.begin(), sources.end());
  for (const std::filesystem::path& source : sources) {
    if (!isSystemBattery(source)) continue;
    if (const std::optional<int64_t> percent = chargePercent(source)) {
      return BatteryReading{*percent, onExternalPower(source)};
    }
  }
  return std::nullopt;
}

}  // namespace vantle::agent
