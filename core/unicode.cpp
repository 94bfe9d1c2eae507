#include "core/unicode.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace vantle::core {
namespace {

bool isAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::string asciiLowercased(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

struct FreeDeleter {
  void operator()(utf8proc_uint8_t* p) const { std::free(p); }
};

// Runs utf8proc_map with `options`; on invalid UTF-8 `ok` is false and the
// text comes back unchanged.
std::string mapped(std::string_view text, int options, bool& ok) {
  utf8proc_uint8_t* out = nullptr;
  const utf8proc_ssize_t n =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &out,
                   static_cast<utf8proc_option_t>(options));
  std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owned(out);
  ok = n >= 0;
  if (!ok) return std::string(text);
  return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
}

// Calls `fn` with each code point of valid UTF-8 `text`; false when invalid.
template <typename Fn>
bool forEachCodePoint(std::string_view text, Fn&& fn) {
  auto p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    utf8proc_int32_t cp;
    const utf8proc_ssize_t used = utf8proc_iterate(p, left, &cp);
    if (used <= 0) return false;
    fn(cp);
    p += used;
    left -= used;
  }
  return true;
}

}  // namespace

std::string canonicalForm(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  bool ok;
  return mapped(text, UTF8PROC_STABLE | UTF8PROC_COMPOSE, ok);
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (isAscii(a) && isAscii(b)) return false;
  return canonicalForm(a) == canonicalForm(b);
}

std::string lowercased(std::string_view text) {
  if (isAscii(text)) return asciiLowercased(text);
  // Decompose first so that every letter stands on its own, lower each code
  // point, then compose again.
  bool ok;
  const std::string decomposed = mapped(text, UTF8PROC_STABLE | UTF8PROC_DECOMPOSE, ok);
  if (!ok) return asciiLowercased(text);
  std::string lowered;
  lowered.reserve(decomposed.size());
  forEachCodePoint(decomposed, [&](utf8proc_int32_t cp) {
    utf8proc_uint8_t buf[4];
    const utf8proc_ssize_t n = utf8proc_encode_char(utf8proc_tolower(cp), buf);
    lowered.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
  });
  return canonicalForm(lowered);
}

void lowercased(std::string_view text, std::string& out) {
  // One pass for the usual ASCII name; the first other byte starts over on
  // the Unicode path.
  out.resize(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      out = lowercased(text);
      return;
    }
    out[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
}

bool isAllNumbers(std::string_view text) {
  if (text.empty()) return false;
  bool all = true;
  const bool valid = forEachCodePoint(text, [&](utf8proc_int32_t cp) {
    const utf8proc_category_t cat = utf8proc_category(cp);
    if (cat != UTF8PROC_CATEGORY_ND && cat != UTF8PROC_CATEGORY_NL && cat != UTF8PROC_CATEGORY_NO) {
      all = false;
    }
  });
  return valid && all;
}

std::string foldedAlphanumerics(std::string_view text) {
  // ASCII needs no tables, and text that is not UTF-8 takes the same path.
  bool ok = false;
  const std::string folded =
      isAscii(text) ? std::string()
                    : mapped(text, UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_CASEFOLD | UTF8PROC_STRIPMARK, ok);
  if (!ok) {
    std::string out;
    for (char c : asciiLowercased(text)) {
      if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) out.push_back(c);
    }
    return out;
  }
  std::string out;
  out.reserve(folded.size());
  forEachCodePoint(folded, [&](utf8proc_int32_t cp) {
    switch (utf8proc_category(cp)) {
      case UTF8PROC_CATEGORY_LU:
      case UTF8PROC_CATEGORY_LL:
      case UTF8PROC_CATEGORY_LT:
      case UTF8PROC_CATEGORY_LM:
      case UTF8PROC_CATEGORY_LO:
      case UTF8PROC_CATEGORY_ND:
      case UTF8PROC_CATEGORY_NL:
      case UTF8PROC_CATEGORY_NO: {
        utf8proc_uint8_t buf[4];
        const utf8proc_ssize_t n = utf8proc_encode_char(cp, buf);
        out.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
        break;
      }
      default:
        break;
    }
  });
  return out;
}

}  // namespace vantle::core
