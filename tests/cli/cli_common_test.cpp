#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "cli/interrupt.hpp"
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

TEST(InterruptTest, SignalsStopTheTargetAndAreRemembered) {
  Interrupts plain;
  {
    InterruptScope scope(plain);
    ASSERT_EQ(std::raise(SIGINT), 0);
  }
  EXPECT_TRUE(plain.Received());
  EXPECT_TRUE(plain.stop.Requested());

  // A command may point the signals at another stop word (the saving run's).
  std::atomic<std::int32_t> savingStop{0};
  Interrupts routed;
  {
    InterruptScope scope(routed, StopToken(savingStop));
    ASSERT_EQ(std::raise(SIGTERM), 0);
  }
  EXPECT_TRUE(routed.Received());
  EXPECT_EQ(savingStop.load(), 1);
  EXPECT_FALSE(routed.stop.Requested());
}

// An operation that never looks at its stop word.
[[noreturn]] void Stuck() {
  while (true) ::pause();
}

// A second signal, or a first one the operation does not honour in time,
// ends the process with the interrupted status, after the command's hook
// has written what it holds.
TEST(InterruptTest, AnOperationThatDoesNotStopIsEndedAfterItsReportIsWritten) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto run = [](int signals) {
    Interrupts interrupts;
    interrupts.beforeForcedExit = [] { std::fputs("report so far\n", stderr); };
    InterruptScope scope(interrupts);
    for (int i = 0; i < signals; ++i) std::raise(i == 0 ? SIGINT : SIGTERM);
    Stuck();
  };
  EXPECT_EXIT(run(2), ::testing::ExitedWithCode(kExitInterrupted),
              "report so far\ntolvar: interrupted, ended at once");
  // Within the grace period the operation may still stop; this one never
  // does, so the watchdog ends it.
  EXPECT_EXIT(run(1), ::testing::ExitedWithCode(kExitInterrupted), "report so far");
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
