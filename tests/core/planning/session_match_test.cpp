#include "core/planning/session_match.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/planning/suggestion_directory.h"
#include "core/trimmed.h"

namespace vantle::core {
namespace {

using namespace SessionMatch;
using namespace SuggestionDirectory;

TEST(SessionMatch, NamesAreTrimmedAndLowerCased) {
  EXPECT_EQ(trimmed("\u00A0\u3000Shoot\u2028"), "Shoot");
  EXPECT_EQ(trimmed(" \xff "), "\xff");  // not UTF-8: kept as content
  EXPECT_EQ(normalised(" \t Spring Catalogue\r\n"), "spring catalogue");
  EXPECT_EQ(normalised("   "), std::nullopt);
  EXPECT_EQ(normalised(" ÉTÉ "), "été");

  EXPECT_EQ(evaluate("Spring Catalogue", "spring catalogue "), State{Matched{}});
  EXPECT_EQ(evaluate("Spring Catalogue", std::nullopt), State{Unknown{}});
  EXPECT_EQ(evaluate(" Spring ", "Autumn\n"), State{(Mismatched{" Spring ", "Autumn\n"})});
}

TEST(SessionMatch, IdentifiersDecideWhenBothSidesHaveThem) {
  const std::vector<std::string> ids{"A", "B"};
  EXPECT_EQ(evaluate(ids, "C", std::nullopt, std::nullopt),
            State{(Mismatched{"this job's session", "another session"})});
  EXPECT_EQ(evaluate(ids, "C", "Spring", "Spring"), State{(Mismatched{"Spring", "Spring"})});
  EXPECT_EQ(evaluate(ids, "B", "Spring", "Autumn"), State{Matched{}});
  EXPECT_EQ(evaluate(ids, std::nullopt, "Spring", "spring"), State{Matched{}});
}

TEST(SuggestionDirectory, NormaliseFoldsCaseAndDiacriticsAndKeepsLettersAndDigits) {
  EXPECT_EQ(normalise("CAFE\u0301 shoot"), "cafeshoot");  // decomposed accent
  EXPECT_EQ(normalise("Ålesund, Øya — 東京 ٣"), "alesundøya東京٣");
  EXPECT_EQ(normalise("Caf\xe9 Shoot 2"), "cafshoot2");  // not UTF-8: ASCII letters and digits
}

const std::vector<std::string> jobNames{" Café Shoot", "cafe-shoot", "Catalogue 2025", "", "---", "Cafe Shoot\n",
                                     "Lookbook"};

TEST(SuggestionDirectory, GroupsAreRepresentedByTheirFirstSpellingAndSuggestedByPrefix) {
  EXPECT_EQ(canonicalSpellings(jobNames),
            (std::map<std::string, std::string>{
                {"cafeshoot", "Café Shoot"}, {"catalogue2025", "Catalogue 2025"}, {"lookbook", "Lookbook"}}));
  EXPECT_EQ(canonical("  CAFE shoot ", jobNames), "Café Shoot");
  EXPECT_EQ(canonical("Editorial", jobNames), std::nullopt);

  // Suggestions are prefix matches, one per group, in list order.
  using List = std::vector<std::string>;
  EXPECT_EQ(suggestions("ca", jobNames, 10), (List{"Café Shoot", "Catalogue 2025"}));
  EXPECT_EQ(suggestions("ca", jobNames, 1), (List{"Café Shoot"}));
  EXPECT_EQ(suggestions("", jobNames, 10), (List{"Café Shoot", "Catalogue 2025", "Lookbook"}));
  EXPECT_EQ(suggestions("shoot", jobNames, 10), List{});
}

}  // namespace
}  // namespace vantle::core
