#include "tools/companion/safe_text.h"

#include <gtest/gtest.h>

namespace vantle::tools {
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

}  // namespace
}  // namespace vantle::tools
