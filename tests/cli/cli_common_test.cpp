#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/output.hpp"
#include "cli/progress_line.hpp"
#include "cli/terminal_text.hpp"

namespace tolvar::cli {
namespace {

// What was written to a temporary FILE*.
std::string Contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

TEST(TerminalSafeTest, EscapesEverythingThatCouldSteerTheTerminal) {
  EXPECT_EQ(TerminalSafe("ST3500 \x1b[31mred\x07"), "ST3500 \\x1B[31mred\\x07");
  EXPECT_EQ(TerminalSafe("a\nb\rc\td\x7f"), "a\\nb\\rc\\td\\x7F");
  EXPECT_EQ(TerminalSafe("back\\slash"), "back\\\\slash");
  EXPECT_EQ(TerminalSafe("\xc2\x9b"
                         "2J"),
            "\\u009B2J");  // C1 control sequence introducer
  EXPECT_EQ(TerminalSafe("abc\xe2\x80\xae"
                         "fdp"),
            "abc\\u202Efdp");  // right-to-left override
  EXPECT_EQ(TerminalSafe(std::string("nul\0x", 5)), "nul\\x00x");
}

TEST(TerminalSafeTest, KeepsValidUtf8AndEscapesInvalidBytes) {
  EXPECT_EQ(TerminalSafe("Disque dur \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xbe"),
            "Disque dur \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xbe");
  EXPECT_EQ(TerminalSafe("\xff\xfe"), "\\xFF\\xFE");
  EXPECT_EQ(TerminalSafe("\xc0\xaf"), "\\xC0\\xAF");           // overlong '/'
  EXPECT_EQ(TerminalSafe("\xed\xa0\x80"), "\\xED\\xA0\\x80");  // a surrogate
  EXPECT_EQ(TerminalSafe("cut \xe2\x82"), "cut \\xE2\\x82");   // sequence cut short
}

TEST(ProgressLineTest, MessagesArePrintedLineByLine) {
  std::FILE* err = std::tmpfile();
  ASSERT_NE(err, nullptr);
  {
    ProgressLine line(err, /*bar=*/true);
    // Without a shown progress bar nothing but the messages is printed.
    line.SetStatus("Scanning sector 0 Of 100");
    line.SetProgress(5);
    line.Message("No HTFS/EAFS Partition Found  !! \r\nUser stopped the search process.");
    line.Message("Do you want to stop the current process ?");
  }
  EXPECT_EQ(Contents(err),
            "No HTFS/EAFS Partition Found  !! \nUser stopped the search process.\n"
            "Do you want to stop the current process ?\n");
  std::fclose(err);
}

TEST(ProgressLineTest, ProgressBarOnlyWhenAskedAndClearedBeforeMessages) {
  std::FILE* quiet = std::tmpfile();
  std::FILE* bar = std::tmpfile();
  ASSERT_TRUE(quiet && bar);
  for (std::FILE* file : {quiet, bar}) {
    ProgressLine line(file, file == bar);
    line.Show(true);
    line.SetProgress(50);
    line.SetStatus("Scanning \x1b[2J sector");
    line.Message("done");
  }
  EXPECT_EQ(Contents(quiet), "done\n");
  const std::string drawn = Contents(bar);
  EXPECT_NE(drawn.find("[###############---------------]  50%"), std::string::npos);
  EXPECT_EQ(drawn.find("\x1b[2J"), std::string::npos);
  // The bar's line is wiped before the message is printed.
  EXPECT_NE(drawn.find("\r\x1b[Kdone\n"), std::string::npos);
  std::fclose(quiet);
  std::fclose(bar);
}

TEST(OutputTest, TablesAlignAndJsonSurvivesInvalidUtf8) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  PrintTable(out, {"#", "Name"}, {{"1", "HTFS Partition - 1"}, {"10", "x\x1b"}});
  EXPECT_EQ(Contents(out), "#   Name\n1   HTFS Partition - 1\n10  x\\x1B\n");
  std::fclose(out);

  out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  PrintJson(out, {{"model", "bad \xff byte"}});
  const auto parsed = nlohmann::json::parse(Contents(out));
  EXPECT_EQ(parsed["model"], "bad \xef\xbf\xbd byte");
  std::fclose(out);
}

}  // namespace
}  // namespace tolvar::cli
