#include "tools/companion/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vantle::tools {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Arguments = std::vector<std::string>;

Invocation parsed(const Arguments& arguments) {
  auto result = parseCommandLine(arguments);
  if (auto* error = std::get_if<UsageError>(&result)) ADD_FAILURE() << error->message;
  return std::get_if<Invocation>(&result) ? std::get<Invocation>(result) : Invocation{};
}

std::string refusal(const Arguments& arguments) {
  auto result = parseCommandLine(arguments);
  if (auto* error = std::get_if<UsageError>(&result)) return error->message;
  ADD_FAILURE() << "accepted " << ::testing::PrintToString(arguments);
  return "";
}

// A command line is visible to every user of the computer: the code may
// come from the environment or from standard input instead.
TEST(CommandLine, TheCodeMayComeFromTheEnvironmentOrStandardInput) {
  const Arguments noCode{"watch", "--host", "studio.local", "--port", "39182"};
  auto fromEnvironment = parseCommandLine(noCode, "654321");
  ASSERT_TRUE(std::holds_alternative<Invocation>(fromEnvironment));
  EXPECT_EQ(std::get<Invocation>(fromEnvironment).code, "654321");
  auto bad = parseCommandLine(noCode, "65432");
  ASSERT_TRUE(std::holds_alternative<UsageError>(bad));
  EXPECT_EQ(std::get<UsageError>(bad).message, "VANTLE_CODE needs the six digits the agent shows, not '65432'");
  // --code wins over the environment; "-" is left for the caller to read.
  auto given = parseCommandLine({"watch", "--code", "111111", "--host", "h", "--port", "1"}, "654321");
  EXPECT_EQ(std::get<Invocation>(given).code, "111111");
  Invocation fromInput = parsed({"watch", "--code", "-", "--host", "h", "--port", "1"});
  EXPECT_EQ(fromInput.code, codeFromStandardInput);
  EXPECT_EQ(setCode(fromInput, "--code -", "12345x"), "--code - needs the six digits the agent shows, not '12345x'");
  EXPECT_EQ(setCode(fromInput, "--code -", "123456"), std::nullopt);
  EXPECT_EQ(fromInput.code, "123456");
}

TEST(CommandLine, ReadsOptionsInEitherSpellingAndPathsAfterTheSeparator) {
  const Invocation watch = parsed({"watch", "--code=012345", "--host", "studio.local", "--port=39182", "--since",
                                   "18446744073709551615", "--messages", "3", "--timeout=2.5"});
  EXPECT_EQ(watch.code, "012345");  // leading zeros are part of the code
  EXPECT_EQ(watch.host, "studio.local");
  EXPECT_EQ(watch.port, 39182);
  EXPECT_EQ(watch.since, UINT64_MAX);
  EXPECT_EQ(watch.messages, 3u);
  EXPECT_EQ(watch.timeout, 2.5);

  const Invocation audit = parsed({"audit", "/s/a", "--code", "123456", "--agent", "Studio A", "--", "-c", "--help"});
  EXPECT_EQ(audit.agent, "Studio A");
  EXPECT_THAT(audit.paths, ElementsAre("/s/a", "-c", "--help"));
  EXPECT_EQ(parsed({"pull", "--bogus", "-h"}).command, Command::help);  // help wins before the separator
}

TEST(CommandLine, ACommandNeedsItsCodeAndExactlyOneWayToTheAgent) {
  EXPECT_THAT(refusal({"watch", "--host", "h", "--port", "1"}), HasSubstr("needs --code"));
  EXPECT_THAT(refusal({"watch", "--code", "123456"}), HasSubstr("--agent NAME"));
  EXPECT_THAT(refusal({"watch", "--code", "123456", "--host", "h"}), HasSubstr("go together"));
  EXPECT_THAT(refusal({"audit", "--code", "123456", "--agent", "A", "--host", "h", "--port", "1", "/p"}),
              HasSubstr("not both"));
  EXPECT_THAT(refusal({"audit", "--code", "123456", "--agent", "A"}), HasSubstr("at least one PATH"));
  EXPECT_THAT(refusal({"pull", "--code", "123456", "--agent", "A"}), HasSubstr("needs --out"));
  EXPECT_THAT(refusal({"pull", "--code", "123456", "--agent", "A", "--out", "d", "--high-res", "--frame", "/f"}),
              HasSubstr("cannot be combined"));
}

TEST(CommandLine, RefusesValuesOutOfRangeAndOptionsOfOtherCommands) {
  const auto withOption = [](std::string option, std::string value) {
    return refusal({"watch", "--code", "123456", "--agent", "A", option, value});
  };
  for (const char* code : {"12345", "1234567", "12345a", "١٢٣٤٥٦"}) {
    EXPECT_THAT(refusal({"watch", "--code", code, "--agent", "A"}), HasSubstr("six digits")) << code;
  }
  for (const char* port : {"0", "65536", "80x"}) {
    EXPECT_THAT(refusal({"watch", "--code", "123456", "--host", "h", "--port", port}), HasSubstr("1 to 65535"));
  }
  for (const char* seconds : {"0", "nan", "inf", "1s", ""}) {
    EXPECT_THAT(withOption("--timeout", seconds), HasSubstr("seconds above 0")) << seconds;
  }
  EXPECT_THAT(withOption("--messages", "0"), HasSubstr("above 0"));
  EXPECT_THAT(withOption("--since", "18446744073709551616"), HasSubstr("whole number"));
  EXPECT_THAT(withOption("--agent", "B"), HasSubstr("given twice"));
  EXPECT_THAT(refusal({"watch", "--code"}), HasSubstr("--code needs a value"));
  EXPECT_THAT(refusal({"browse", "--code", "123456"}), HasSubstr("browse does not take --code"));
  EXPECT_THAT(refusal({"pull", "--high-res=yes"}), HasSubstr("takes no value"));
  EXPECT_THAT(refusal({"browse", "extra"}), HasSubstr("takes no argument 'extra'"));
}

}  // namespace
}  // namespace vantle::tools
