// The pairing code as a QR code drawn in a terminal.
//
// Two rows of modules per line of text, with upper half blocks whose
// foreground is the upper module and background the lower one, in explicit
// black and white so that the code scans on dark and light terminals alike.
// A quiet zone of four modules surrounds it. The QR code carries exactly the
// text given (the six digits) and nothing else.
#pragma once

#include <string>

namespace vantle::app {

// The QR code of `text` as terminal lines ending in "\n"; empty when it
// cannot be encoded.
std::string terminalQr(const std::string& text);

}  // namespace vantle::app
