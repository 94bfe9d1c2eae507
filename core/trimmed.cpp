#include "core/trimmed.h"

#include <utf8proc.h>

namespace vantle::core {
namespace {

bool isWhiteSpace(utf8proc_int32_t cp) {
  if ((cp >= 0x09 && cp <= 0x0D) || cp == 0x85) return true;  // tab, line breaks, NEL
  const utf8proc_category_t category = utf8proc_category(cp);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

}  // namespace

std::string_view trimmed(std::string_view text) {
  // Walk forwards once, remembering where content starts and ends.
  size_t begin = text.size();
  size_t end = 0;
  size_t at = 0;
  while (at < text.size()) {
    utf8proc_int32_t cp;
    const utf8proc_ssize_t used = utf8proc_iterate(
        reinterpret_cast<const utf8proc_uint8_t*>(text.data() + at),
        static_cast<utf8proc_ssize_t>(text.size() - at), &cp);
    const size_t length = used > 0 ? static_cast<size_t>(used) : 1;
    if (used <= 0 || !isWhiteSpace(cp)) {
      if (begin == text.size()) begin = at;
      end = at + length;
    }
    at += length;
  }
  if (begin >= end) return {};
  return text.substr(begin, end - begin);
}

}  // namespace vantle::core
