#include "tools/capture_sim/script_text.h"

#include <array>

#include "agent/capture/capture_one_script.h"

namespace vantle::tools {

namespace Script = agent::CaptureOneScript;

namespace {

struct Template {
  ScriptKind kind;
  std::string_view text;
  std::string_view placeholder;  // empty: the text must match exactly
};

constexpr std::array<Template, 5> templates{{
    {ScriptKind::selectedPaths, Script::selectedPaths, ""},
    {ScriptKind::prepareRecipe, Script::prepareRecipe, "%OUTPUT%"},
    {ScriptKind::processSelection, Script::processSelection, ""},
    {ScriptKind::processPath, Script::processPath, "%PATH%"},
    {ScriptKind::jobStatus, Script::jobStatus, "%JOB%"},
}};

// The text between the template's prefix and suffix, when `text` has both.
std::optional<std::string_view> filling(const Template& t, std::string_view text) {
  const size_t at = t.text.find(t.placeholder);
  const std::string_view prefix = t.text.substr(0, at);
  const std::string_view suffix = t.text.substr(at + t.placeholder.size());
  if (text.size() < prefix.size() + suffix.size()) return std::nullopt;
  if (!text.starts_with(prefix) || !text.ends_with(suffix)) return std::nullopt;
  return text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
}

}  // namespace

std::optional<std::string> appleScriptUnescaped(std::string_view body) {
  std::string out;
  out.reserve(body.size());
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '"') return std::nullopt;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == body.size()) return std::nullopt;
    switch (body[i]) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      default: return std::nullopt;
    }
  }
  return out;
}

std::optional<RecognizedScript> recognizeScript(std::string_view text) {
  for (const Template& t : templates) {
    if (t.placeholder.empty()) {
      if (text == t.text) return RecognizedScript{t.kind, ""};
      continue;
    }
    if (const auto body = filling(t, text)) {
      auto argument = appleScriptUnescaped(*body);
      if (!argument) return std::nullopt;
      return RecognizedScript{t.kind, std::move(*argument)};
    }
  }
  return std::nullopt;
}

}  // namespace vantle::tools
