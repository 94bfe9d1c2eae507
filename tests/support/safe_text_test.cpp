#include "support/safe_text.h"

#include <gtest/gtest.h>

#include "support/log.h"

namespace vantle::support {
namespace {

TEST(SafeText, EscapesWhatATerminalWouldObeyAndKeepsEveryOtherCharacter) {
  const std::string letters = "Café Ärmel 東京 👩\xe2\x80\x8d👩";  // a joiner inside an emoji is no control
  EXPECT_EQ(printable(letters), letters);
  EXPECT_EQ(printable("\x1b[2J\x07\t\n\x7f"), "\\u001b[2J\\u0007\\u0009\\u000a\\u007f");
  EXPECT_EQ(printable("\xc2\x9b" "31m"), "\\u009b31m");                         // C1 CSI
  EXPECT_EQ(printable("A\xe2\x80\xae" "gpj.sh\xe2\x81\xa9"), "A\\u202egpj.sh\\u2069");  // bidirectional
  EXPECT_EQ(printable("A\xff\xc3." "\xed\xa0\x80"), "A\\xff\\xc3.\\xed\\xa0\\x80");  // not UTF-8, a surrogate
  EXPECT_EQ(printable(std::string("a\0b", 3)), "a\\u0000b");
}

// A service's name from the network, logged where no journal runs: the
// terminal shows the escape sequence rather than retitling its window.
TEST(SafeText, LogLinesCarryNetworkTextEscaped) {
  log::Capture capture;
  log::info("wire", "found \"Studio\x1b]0;owned\x07\"");
  EXPECT_EQ(capture.messages("wire"), std::vector<std::string>{"found \"Studio\\u001b]0;owned\\u0007\""});
}

}  // namespace
}  // namespace vantle::support
