#include "tools/name_pattern.hpp"

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

TEST(MatchNamePattern, ShortcutsBeforeTheScan) {
  ExpectCases({{"", "", false},
               {"A", "", false},
               {"", "*", false},
               {"X", "*", true},
               {"A.B", "*.*", true},
               {"README", "*.*", false},
               {"A.TXT", "TXT", true},
               {"TXTFILE", "TXT", true},
               {"TX", "TXT", false},
               {"TEXT", "TXT", false},
               {"ABC", "A?C", true},
               {"ABCD", "A?C", true},
               {"XABC", "A?C", false},
               {"AB", "A?C", false},
               {"AB", "A?", true},
               {"A", "A?", false},
               {"readme", "README", false}});
}

TEST(MatchNamePattern, StarRulesAndTheirTraps) {
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
               {"AB", "A**", true},
               {"B", "A*", false},
               {"ABC", "A*?", true},
               {"ABX", "*?X", true},
               {"XA", "*?X", false},
               {"XXABYY", "*AB*", true},
               {"XXABYY", "*ABZ*", false},
               {"README.DOC", "*ME.*", true},
               {"README.DOC", "R*.TXT", false}});
}

TEST(MatchNamePattern, NeverReadsPastTheName) {
  // Run under the sanitizers: patterns far longer than the names, full of
  // wildcards, must simply give an answer.
  for (const char* pattern : {"*?*?*?*?X", "?*?*?*", "*A*A*A*A*A", "??????????", "*??", "*X?"}) {
    for (const char* name : {"A", "AX", "AAA", "X", "ABCABC"}) {
      static_cast<void>(MatchNamePattern(name, pattern));
    }
  }
}

TEST(UpperCaseName, OnlyAsciiLettersChange) {
  EXPECT_EQ(UpperCaseName("readMe.txt"), "README.TXT");
  EXPECT_EQ(UpperCaseName("\xe9t\xe9"), "\xe9T\xe9");
}

}  // namespace
}  // namespace tolvar
