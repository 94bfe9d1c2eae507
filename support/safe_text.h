// Text from elsewhere (the network, the agent, a file name), made safe for a
// terminal, a log line and a file name.
//
// A terminal acts on control characters (C0, DEL and C1: the escape
// sequences that move the cursor, retitle the window or clear the screen),
// and bidirectional formatting characters make it show text in another order
// than it has ("A" + RIGHT-TO-LEFT OVERRIDE + "gpj.sh" shows as "Ahs.jpg").
// Bytes that are not UTF-8 may be taken for either. Such characters are
// "unsafe" here; everything else, accented and non-Latin letters included,
// is kept as it is.
#pragma once

#include <string>
#include <string_view>

namespace vantle::support {

// `text` with every unsafe character written as an escape: "\u" and four
// lower-case hexadecimal digits for a character (as JSON writes one, so a
// JSON line stays valid and means the same), "\x" and two for a byte that is
// not UTF-8.
std::string printable(std::string_view text);

// `text` with every unsafe character, and every byte that is not UTF-8,
// replaced by `replacement`.
std::string withUnsafeReplaced(std::string_view text, char replacement);

}  // namespace vantle::support
