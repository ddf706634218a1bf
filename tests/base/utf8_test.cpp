#include "base/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

#include "base/aligned_rows.hpp"
#include "base/percent_escapes.hpp"

namespace tolvar {
namespace {

struct SequenceCase {
  std::string bytes;
  std::size_t length;  // of the sequence at the start; 0: not one
  char32_t codePoint;  // when length != 0
};

TEST(Utf8, SequenceLengthsAndCodePointsAtTheEdgesOfEachForm) {
  const SequenceCase cases[] = {
      {"A", 1, U'A'},
      {std::string(1, '\0'), 1, 0},
      {"\x7F", 1, 0x7F},
      {"\xC2\x80", 2, 0x80},
      {"\xDF\xBF", 2, 0x7FF},
      {"\xE0\xA0\x80", 3, 0x800},
      {"\xED\x9F\xBF", 3, 0xD7FF},
      {"\xEE\x80\x80", 3, 0xE000},
      {"\xEF\xBF\xBF", 3, 0xFFFF},
      {"\xF0\x90\x80\x80", 4, 0x10000},
      {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
      {"\x80", 0, 0},              // a continuation byte alone
      {"\xC0\xAF", 0, 0},          // overlong "/"
      {"\xC1\xBF", 0, 0},          // overlong
      {"\xE0\x9F\xBF", 0, 0},      // overlong three-byte form
      {"\xF0\x8F\xBF\xBF", 0, 0},  // overlong four-byte form
      {"\xED\xA0\x80", 0, 0},      // a surrogate
      {"\xED\xBF\xBF", 0, 0},      // a surrogate
      {"\xF4\x90\x80\x80", 0, 0},  // past U+10FFFF
      {"\xF8\x88\x80\x80\x80", 0, 0},
      {"\xFF", 0, 0},
      {"\xC3", 0, 0},          // cut short
      {"\xE2\x82", 0, 0},      // cut short
      {"\xE2\x28\xA1", 0, 0},  // not a continuation
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    char32_t codePoint = 0xFFFFFFFF;
    EXPECT_EQ(Utf8SequenceLength(c.bytes, 0, &codePoint), c.length);
    if (c.length != 0) {
      EXPECT_EQ(codePoint, c.codePoint);
    }
    EXPECT_EQ(IsValidUtf8(c.bytes), c.length == c.bytes.size());
  }
}

TEST(Utf8, ValidityOfWholeTextsAndSequencesInsideThem) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"));
  EXPECT_FALSE(IsValidUtf8("caf\xC3\xA9\xC3"));
  EXPECT_FALSE(IsValidUtf8("a\xE9z"));  // Latin-1
  const std::string text = "a\xE2\x82\xAC";
  EXPECT_EQ(Utf8SequenceLength(text, 1), 3u);
  EXPECT_EQ(Utf8SequenceLength(text, 2), 0u);
}

TEST(Utf8, CutsNeverSplitASequence) {
  const std::string text =
      "ab\xE2\x82\xAC"
      "c";  // a b EURO c
  EXPECT_EQ(CutUtf8(text, 10), text);
  EXPECT_EQ(CutUtf8(text, 6), text);
  EXPECT_EQ(CutUtf8(text, 5), "ab\xE2\x82\xAC");
  EXPECT_EQ(CutUtf8(text, 4), "ab");
  EXPECT_EQ(CutUtf8(text, 3), "ab");
  EXPECT_EQ(CutUtf8(text, 2), "ab");
  EXPECT_EQ(CutUtf8(text, 0), "");
  EXPECT_EQ(CutUtf8("\xE9\xE9\xE9", 2), "\xE9\xE9");  // not UTF-8: bytes as they come
}

// Values line up in one column however many bytes a caption's characters
// take.
TEST(Utf8, AlignedRowsLineValuesUpByColumnsNotBytes) {
  EXPECT_EQ(Utf8Columns(""), 0u);
  EXPECT_EQ(Utf8Columns("caf\xC3\xA9 \xE2\x82\xAC"), 6u);
  const AlignedRow rows[] = {{"Size:", "12 bytes"}, {"Caf\xC3\xA9:", "open"}, {"Volume type:", ""}};
  EXPECT_EQ(AlignedRows(rows, 1),
            "Size:        12 bytes\n"
            "Caf\xC3\xA9:        open\n"
            "Volume type: \n");
  EXPECT_EQ(AlignedRows(std::span(rows).first(2), 2),
            "Size:  12 bytes\n"
            "Caf\xC3\xA9:  open\n");
  EXPECT_EQ(AlignedRows({}, 2), "");
}

TEST(PercentEscapes, UndoEveryTwoDigitEscapeAndLeaveTheRest) {
  static_assert(HexDigitValue('0') == 0 && HexDigitValue('9') == 9);
  static_assert(HexDigitValue('a') == 10 && HexDigitValue('F') == 15);
  static_assert(HexDigitValue('g') == -1 && HexDigitValue('%') == -1);
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"a%20b", "a b"},
      {"%2f%2F%41", "//A"},
      {"%", "%"},
      {"%4", "%4"},
      {"50%", "50%"},
      {"%zz%4g", "%zz%4g"},
      {"%00end", std::string("\0end", 4)},
      {"%%41", "%A"},
  };
  for (const auto& [text, decoded] : cases) EXPECT_EQ(PercentDecoded(text), decoded) << text;
}

}  // namespace
}  // namespace tolvar
