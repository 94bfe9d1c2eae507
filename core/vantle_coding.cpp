#include "core/vantle_coding.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <limits>

namespace vantle::core::VantleCoding {
namespace {

using namespace std::chrono;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> reverseAlphabet() {
  std::array<int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}
constexpr std::array<int8_t, 256> kReverse = reverseAlphabet();

// Reads exactly `width` ASCII digits at `pos`.
std::optional<int> digits(std::string_view text, size_t pos, size_t width) {
  if (pos + width > text.size()) return std::nullopt;
  int value = 0;
  for (size_t i = pos; i < pos + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool isAt(std::string_view text, size_t pos, char c) { return pos < text.size() && text[pos] == c; }

}  // namespace

std::string formatInstant(Instant at) {
  const auto secs = floor<seconds>(at);
  const auto day = floor<days>(secs);
  const year_month_day ymd{day};
  const hh_mm_ss<seconds> time{secs - day};
  char out[32];
  std::snprintf(out, sizeof out, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return out;
}

std::optional<Instant> parseInstant(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS then Z or ±HH:MM
  const auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
  const auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
  if (!y || !mo || !d || !h || !mi || !s || !isAt(text, 4, '-') || !isAt(text, 7, '-') ||
      !isAt(text, 10, 'T') || !isAt(text, 13, ':') || !isAt(text, 16, ':')) {
    return std::nullopt;
  }
  if (*h > 23 || *mi > 59 || *s > 59) return std::nullopt;

  int64_t offsetSeconds = 0;
  const std::string_view zone = text.substr(19);
  if (zone != "Z") {
    const auto oh = digits(zone, 1, 2), om = digits(zone, 4, 2);
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':' || !oh || !om ||
        *oh > 23 || *om > 59) {
      return std::nullopt;
    }
    offsetSeconds = (zone[0] == '+' ? 1 : -1) * (*oh * 3600 + *om * 60);
  }

  const year_month_day date{year{*y}, month{static_cast<unsigned>(*mo)}, day{static_cast<unsigned>(*d)}};
  if (!date.ok()) return std::nullopt;
  const int64_t secs = sys_days{date}.time_since_epoch().count() * int64_t{86400} + *h * 3600 + *mi * 60 +
                       *s - offsetSeconds;
  // The clock counts in a 64-bit number of ticks: years far from now do not fit.
  constexpr int64_t ticksPerSecond = duration_cast<Instant::duration>(seconds{1}).count();
  constexpr int64_t limit = std::numeric_limits<int64_t>::max() / ticksPerSecond - 1;
  if (secs > limit || secs < -limit) return std::nullopt;
  return Instant{duration_cast<Instant::duration>(seconds{secs})};
}

std::string base64Encode(std::span<const uint8_t> bytes) {
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4);
  size_t o = 0, i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t n = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out[o++] = kAlphabet[(n >> 18) & 63];
    out[o++] = kAlphabet[(n >> 12) & 63];
    out[o++] = kAlphabet[(n >> 6) & 63];
    out[o++] = kAlphabet[n & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t n = uint32_t{bytes[i]} << 16;
    if (rest == 2) n |= uint32_t{bytes[i + 1]} << 8;
    out[o++] = kAlphabet[(n >> 18) & 63];
    out[o++] = kAlphabet[(n >> 12) & 63];
    out[o++] = rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out[o++] = '=';
  }
  return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  Bytes out(text.size() / 4 * 3 - padding);
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t fullQuads = text.size() / 4 - (padding ? 1 : 0);
  size_t o = 0;
  for (size_t q = 0; q < fullQuads; ++q, p += 4) {
    const int32_t a = kReverse[p[0]], b = kReverse[p[1]], c = kReverse[p[2]], d = kReverse[p[3]];
    if ((a | b | c | d) < 0) return std::nullopt;
    const uint32_t n = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
    out[o++] = static_cast<uint8_t>(n >> 16);
    out[o++] = static_cast<uint8_t>(n >> 8);
    out[o++] = static_cast<uint8_t>(n);
  }
  if (padding) {
    const int32_t a = kReverse[p[0]], b = kReverse[p[1]];
    const int32_t c = padding == 2 ? 0 : kReverse[p[2]];
    if ((a | b | c) < 0) return std::nullopt;
    const uint32_t n = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6);
    out[o++] = static_cast<uint8_t>(n >> 16);
    if (padding == 1) out[o++] = static_cast<uint8_t>(n >> 8);
  }
  return out;
}

std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

namespace {

// Whether brackets outside strings nest deeper than `limit`; stops at the
// first bracket too many.
bool nestsDeeperThan(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace

std::optional<Json> parse(std::string_view text) {
  if (nestsDeeperThan(text, maximumNesting)) return std::nullopt;
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<Json> parseKeepingFirst(std::string_view text, std::string_view key, size_t kept) {
  if (nestsDeeperThan(text, maximumNesting)) return std::nullopt;
  // Depths as the parser reports them: 1 for the top-level keys and their
  // values' brackets, 2 for the elements of a top-level array.
  using Event = Json::parse_event_t;
  bool atKey = false;
  bool inArray = false;
  size_t elements = 0;
  const auto keep = [&](int depth, Event event, Json& parsed) {
    if (depth == 1) {
      if (event == Event::key) atKey = parsed == key;
      if (event == Event::array_start) inArray = atKey, elements = 0;
      if (event == Event::array_end) inArray = false;
      return true;
    }
    const bool elementDone = event == Event::value || event == Event::object_end || event == Event::array_end;
    if (depth != 2 || !inArray || !elementDone) return true;
    return elements++ < kept;
  };
  Json value = Json::parse(text.begin(), text.end(), keep, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

}  // namespace vantle::core::VantleCoding
