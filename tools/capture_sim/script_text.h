// Recognising the five script texts the agent sends, placeholders filled.
//
// A text is one of the five when it equals the template outside the
// placeholder; what stands in the placeholder is read as the body of an
// AppleScript string literal, as the real script runner would read it.
// Pure functions, callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantle::tools {

enum class ScriptKind { selectedPaths, prepareRecipe, processSelection, processPath, jobStatus };

struct RecognizedScript {
  ScriptKind kind;
  // The placeholder's value with its escapes decoded; empty for the scripts
  // without a placeholder.
  std::string argument;
};

// Absent when the text is none of the five, or when its placeholder holds
// something that is not a valid string body (a bare double quote, an
// unknown escape): the real runner could not compile that either.
std::optional<RecognizedScript> recognizeScript(std::string_view text);

// The body of an AppleScript string literal decoded: \\, \", \n, \t and \r
// stand for themselves; a bare double quote or any other backslash sequence
// gives absent.
std::optional<std::string> appleScriptUnescaped(std::string_view body);

}  // namespace vantle::tools
