#include "support/safe_text.h"

#include <utf8proc.h>

#include <cstdio>

namespace vantle::support {

namespace {

bool unsafe(utf8proc_int32_t c) {
  const bool control = c < 0x20 || (c >= 0x7f && c <= 0x9f);
  const bool bidirectional = c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
                             (c >= 0x2066 && c <= 0x2069);
  return control || bidirectional;
}

// Calls `each(piece, character)` for every character of `text` in order;
// `character` is -1 for a single byte that does not start valid UTF-8.
template <typename F>
void forEachCharacter(std::string_view text, F each) {
  size_t at = 0;
  while (at < text.size()) {
    utf8proc_int32_t c = -1;
    const utf8proc_ssize_t used = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + at),
                                                   static_cast<utf8proc_ssize_t>(text.size() - at), &c);
    const size_t length = used > 0 ? static_cast<size_t>(used) : 1;
    each(text.substr(at, length), used > 0 ? c : -1);
    at += length;
  }
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  forEachCharacter(text, [&](std::string_view piece, utf8proc_int32_t c) {
    char escape[16];
    if (c < 0) {
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(piece.front()));
      out += escape;
    } else if (unsafe(c)) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += piece;
    }
  });
  return out;
}

std::string withUnsafeReplaced(std::string_view text, char replacement) {
  std::string out;
  out.reserve(text.size());
  forEachCharacter(text, [&](std::string_view piece, utf8proc_int32_t c) {
    if (c < 0 || unsafe(c)) {
      out += replacement;
    } else {
      out += piece;
    }
  });
  return out;
}

}  // namespace vantle::support
