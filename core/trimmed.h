// Names as people type them: stray spaces and line breaks at either end carry
// no meaning.
#pragma once

#include <string_view>

namespace vantle::core {

// `text` without white space and line breaks at both ends (Unicode spaces and
// separators, tabs, and the line-break controls). Bytes that are not valid
// UTF-8 count as content and are kept.
std::string_view trimmed(std::string_view text);

}  // namespace vantle::core
