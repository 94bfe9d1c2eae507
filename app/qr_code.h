// The pairing code as QR modules, for the terminal and the QR window alike.
//
// The QR code carries exactly the text given (the six digits of the pairing
// code) and nothing else: no address, name or other data.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vantle::app {

// The modules of `text`, row by row (true = dark), without a quiet zone, at
// error-correction level M; absent when libqrencode cannot encode it.
std::optional<std::vector<std::vector<bool>>> qrModules(const std::string& text);

}  // namespace vantle::app
