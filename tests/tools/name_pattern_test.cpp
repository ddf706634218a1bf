#include "tools/patterns/name_pattern.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tolvar {
namespace {

struct Case {
  const char* name;
  const char* pattern;
  bool matches;
};

void ExpectCases(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(MatchNamePattern(c.name, c.pattern), c.matches)
        << "name \"" << c.name << "\" pattern \"" << c.pattern << "\"";
  }
}

TEST(MatchNamePattern, EmptyInputsNeverMatch) {
  ExpectCases({{"", "", false}, {"A", "", false}, {"", "*", false}, {"", "A", false}});
}

TEST(MatchNamePattern, StarAndStarDotStar) {
  ExpectCases({{"ANYTHING", "*", true},
               {"X", "*", true},
               {"A.B", "*.*", true},
               {"README", "*.*", false},
               {".", "*.*", true}});
}

TEST(MatchNamePattern, PlainTextMatchesAnywhere) {
  ExpectCases({{"A.TXT", "TXT", true},
               {"TXTFILE", "TXT", true},
               {"MYTXTX", "TXT", true},
               {"TX", "TXT", false},
               {"TEXT", "TXT", false}});
}

TEST(MatchNamePattern, QuestionWithoutStarAnchorsAtTheStart) {
  ExpectCases({{"ABC", "A?C", true},
               {"ABCD", "A?C", true},
               {"XABC", "A?C", false},
               {"AB", "A?C", false},  // shorter than the pattern
               {"ABD", "A?C", false}});
}

TEST(MatchNamePattern, TrailingQuestionComparesTheTail) {
  // A final "?" compares the run so far plus any one character with the end
  // of the name.
  ExpectCases({{"AB", "A?", true}, {"ABC", "AB?", true}, {"A", "A?", false}});
}

TEST(MatchNamePattern, StarTraps) {
  ExpectCases({{"AB", "A*B", false},
               {"AXB", "A*B", true},
               {"AXXB", "A*B", true},
               {"C", "*C", false},
               {"FOOC", "*C", true},
               {"ME", "*ME", true},
               {"HOME", "*ME", true},
               {"A.TXT", "*.TXT", true},
               {"A.TXTX", "*.TXT", false},
               {"LONG.NAME.TXT", "*.TXT", true},
               {"A", "A*", true},
               {"AB", "A**", true},  // trailing stars count as one
               {"B", "A*", false}});
}

TEST(MatchNamePattern, StarFollowedByWildcardsOnly) {
  ExpectCases({{"ABC", "A*?", true}, {"A", "*?", true}});
}

TEST(MatchNamePattern, StarThenWildcardsThenLastCharacter) {
  // "*?X": only the last character of the name is compared.
  ExpectCases({{"ABX", "*?X", true}, {"X", "*?X", true}, {"XA", "*?X", false}});
}

TEST(MatchNamePattern, RunSearchedAgainAfterAMismatch) {
  ExpectCases({{"XXABYY", "*AB*", true},
               {"XXABYY", "*ABZ*", false},
               {"README.DOC", "*ME.*", true},
               {"README.DOC", "R*.DOC", true},
               {"README.DOC", "R*.TXT", false}});
}

TEST(MatchNamePattern, ComparesCaseExactlyAsGiven) {
  EXPECT_FALSE(MatchNamePattern("readme", "README"));
  EXPECT_TRUE(MatchNamePattern(UpperCaseName("ReadMe"), UpperCaseName("readme")));
}

TEST(MatchNamePattern, NeverReadsPastTheName) {
  // Patterns much longer than the name, full of wildcards, run under the
  // sanitizers here; every outcome must simply be a value.
  const std::string patterns[] = {"*?*?*?*?X", "?*?*?*", "*A*A*A*A*A", "??????????",
                                  "*??",       "*X?",    "A*?*B*?*C"};
  for (const std::string& pattern : patterns) {
    for (const char* name : {"A", "AX", "AAA", "X", "ABCABC"}) {
      [[maybe_unused]] const bool result = MatchNamePattern(name, pattern);
    }
  }
  SUCCEED();
}

TEST(UpperCaseName, OnlyAsciiLettersChange) {
  EXPECT_EQ(UpperCaseName("readMe.txt"), "README.TXT");
  EXPECT_EQ(UpperCaseName("\xe9t\xe9"), "\xe9T\xe9");
}

}  // namespace
}  // namespace tolvar
