// Unicode helpers for names and paths, on UTF-8 text.
//
// Two spellings of one accented name (composed "é" and "e" + combining acute)
// are the same name to a person and to the file browser, so names and paths
// are compared under canonical equivalence. Text that is not valid UTF-8 is
// compared and transformed byte for byte instead; nothing here throws.
#pragma once

#include <string>
#include <string_view>

namespace vantle::core {

// The canonical composed form (NFC) of `text`, or `text` unchanged when it is
// not valid UTF-8. Plain ASCII is returned without work.
std::string canonicalForm(std::string_view text);

// True when the two texts are canonically equivalent.
bool canonicallyEqual(std::string_view a, std::string_view b);

// `text` lower-cased character by character (Unicode simple lower case),
// in canonical composed form. ASCII takes a fast path.
std::string lowercased(std::string_view text);

// The same into `out`, reusing its storage: no allocation for ASCII text
// once `out` has grown. For hot loops over many names.
void lowercased(std::string_view text, std::string& out);

// True when `text` is non-empty and every character is a number character
// (Unicode categories Nd, Nl and No: "12", "٣", "²").
bool isAllNumbers(std::string_view text);

// The letters and digits of `text` (Unicode categories L* and N*), case-folded
// and stripped of diacritics without regard to any locale, in canonical
// composed form: "Café Shoot" and "cafe-shoot" both give "cafeshoot". Text
// that is not valid UTF-8 keeps only its ASCII letters (lower-cased) and digits.
std::string foldedAlphanumerics(std::string_view text);

}  // namespace vantle::core
