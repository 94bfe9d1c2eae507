#include "tools/capture_sim/script_text.h"

#include <gtest/gtest.h>

#include "agent/capture/capture_one_script.h"

namespace vantle::tools {
namespace {

namespace Script = agent::CaptureOneScript;

std::optional<RecognizedScript> filled(std::string_view text, std::string_view placeholder, std::string_view value) {
  std::string out(text);
  return recognizeScript(out.replace(out.find(placeholder), placeholder.size(), value));
}

TEST(ScriptText, RecognisesEachScriptAndDecodesItsPlaceholderAsAStringBody) {
  EXPECT_EQ(recognizeScript(Script::selectedPaths).value().kind, ScriptKind::selectedPaths);
  EXPECT_EQ(recognizeScript(Script::processSelection).value().kind, ScriptKind::processSelection);
  EXPECT_EQ(filled(Script::prepareRecipe, "%OUTPUT%", "/data/quickproof").value().argument, "/data/quickproof");
  EXPECT_EQ(filled(Script::jobStatus, "%JOB%", "4F1C-77").value().kind, ScriptKind::jobStatus);
  EXPECT_EQ(filled(Script::processPath, "%PATH%", "").value().kind, ScriptKind::processPath);

  // The agent doubles each backslash, then escapes each double quote.
  EXPECT_EQ(filled(Script::processPath, "%PATH%", R"(/s/Say \"cheese\"\\x/IMG_1.CR3)").value().argument,
            R"(/s/Say "cheese"\x/IMG_1.CR3)");
  EXPECT_EQ(appleScriptUnescaped(R"(a\tb\nc\r)"), std::optional<std::string>("a\tb\nc\r"));
}

TEST(ScriptText, TextsTheRunnerCouldNotCompileOrDoesNotKnowAreRefused) {
  // A bare double quote ends the string literal early; \q is no escape.
  EXPECT_FALSE(filled(Script::processPath, "%PATH%", R"(/s/Say "cheese".CR3)"));
  EXPECT_FALSE(filled(Script::processPath, "%PATH%", R"(/s/a\q.CR3)"));
  EXPECT_FALSE(filled(Script::prepareRecipe, "%OUTPUT%", R"(/out\)"));

  EXPECT_FALSE(recognizeScript(""));
  EXPECT_FALSE(recognizeScript("return \"OK\""));
  EXPECT_FALSE(recognizeScript(std::string(Script::selectedPaths) + "\n"));
  std::string indented(Script::processSelection);
  EXPECT_FALSE(recognizeScript(indented.replace(indented.find("    "), 4, "  ")));
}

}  // namespace
}  // namespace vantle::tools
