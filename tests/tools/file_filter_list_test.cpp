#include "tools/file_filter_list.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvar {
namespace {

FileFilterList ListOf(std::vector<std::string> patterns) {
  FileFilterList list;
  list.Store(patterns);
  return list;
}

TEST(FileFilterList, EmptyListPassesEveryFile) {
  FileFilterList list;
  EXPECT_EQ(list.Count(), 0);
  EXPECT_TRUE(list.Passes("ANY.FILE"));
  EXPECT_TRUE(list.Passes(""));
}

TEST(FileFilterList, StarDotTxtPassesOnlyTxtFiles) {
  const FileFilterList list = ListOf({"*.TXT"});
  EXPECT_TRUE(list.Passes("A.TXT"));
  EXPECT_TRUE(list.Passes("notes.txt"));
  EXPECT_FALSE(list.Passes("A.TXTX"));
  EXPECT_FALSE(list.Passes("TXT"));
  EXPECT_FALSE(list.Passes("A.DOC"));
}

TEST(FileFilterList, PlainPatternPassesNamesContainingIt) {
  const FileFilterList list = ListOf({"txt"});
  EXPECT_TRUE(list.Passes("A.TXT"));
  EXPECT_TRUE(list.Passes("mytxtfile"));
  EXPECT_FALSE(list.Passes("TEXT"));
}

TEST(FileFilterList, AnyMatchingPatternPasses) {
  const FileFilterList list = ListOf({"*.C", "MAKE"});
  EXPECT_TRUE(list.Passes("MAIN.C"));
  EXPECT_TRUE(list.Passes("Makefile"));
  EXPECT_FALSE(list.Passes("MAIN.H"));
}

TEST(FileFilterList, StoreKeepsOrderAndBounds) {
  std::vector<std::string> many;
  for (int k = 0; k < 120; ++k) many.push_back("P" + std::to_string(k));
  many[0] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const FileFilterList list = ListOf(many);
  EXPECT_EQ(list.Count(), 99);
  EXPECT_EQ(list.Pattern(0), "ABCDEFGHIJKLMNOPQRS");
  EXPECT_EQ(list.Pattern(98), "P98");
  EXPECT_EQ(list.Pattern(99), "");
  EXPECT_EQ(list.Patterns().size(), 99u);
}

TEST(FileFilterList, StoringFewerPatternsForgetsOldOnes) {
  FileFilterList list = ListOf({"LONGPATTERN", "B"});
  const std::vector<std::string> shorter = {"Q"};
  list.Store(shorter);
  EXPECT_EQ(list.Patterns(), shorter);
  EXPECT_FALSE(list.Passes("LONGPATTERN"));
  list.Reset();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_TRUE(list.Passes("LONGPATTERN"));
}

TEST(FileFilterList, NewPatternChecks) {
  std::vector<std::string> listed = {"TXT"};
  EXPECT_EQ(FileFilterList::CheckNewPattern(listed, "txt"), FilterRefusal::kNone);
  EXPECT_EQ(FileFilterList::CheckNewPattern(listed, "TXT"), FilterRefusal::kDuplicate);
  EXPECT_EQ(FileFilterList::CheckNewPattern(listed, ""), FilterRefusal::kBlank);
  EXPECT_EQ(FileFilterList::CheckNewPattern(listed, std::string(19, 'A')), FilterRefusal::kNone);
  EXPECT_EQ(FileFilterList::CheckNewPattern(listed, std::string(20, 'A')), FilterRefusal::kTooLong);

  listed.clear();
  for (int k = 0; k < 98; ++k) listed.push_back(std::to_string(k));
  EXPECT_EQ(FileFilterList::CheckNewPattern(listed, "LAST"), FilterRefusal::kNone);
  listed.push_back("LAST");
  EXPECT_EQ(FileFilterList::CheckNewPattern(listed, "MORE"), FilterRefusal::kListFull);
  // A full list is reported before anything else is looked at.
  EXPECT_EQ(FileFilterList::CheckNewPattern(listed, ""), FilterRefusal::kListFull);
}

TEST(FileFilterList, RefusalMessagesKeepTheirBlanks) {
  EXPECT_EQ(FilterRefusalMessage(FilterRefusal::kListFull),
            "      You cannot add more Filters     ");
  EXPECT_EQ(FilterRefusalMessage(FilterRefusal::kTooLong), "      Filter too long     ");
  EXPECT_EQ(FilterRefusalMessage(FilterRefusal::kBlank),
            "      You can not add a blank entry.     ");
  EXPECT_EQ(FilterRefusalMessage(FilterRefusal::kDuplicate),
            "      Filter already exists in the list     ");
  EXPECT_EQ(FilterRefusalMessage(FilterRefusal::kNone), "");
}

}  // namespace
}  // namespace tolvar
