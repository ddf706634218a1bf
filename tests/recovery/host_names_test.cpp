#include "recovery/host_names.hpp"

#include <gtest/gtest.h>

#include <string>

#include "base/utf8.hpp"

namespace tolvar {
namespace {

TEST(HostNames, UnsafeNamesAreEscapedReversibly) {
  const std::string cases[] = {"",
                               ".",
                               "..",
                               "a/b",
                               "../../etc",
                               "50%",
                               "%2F",
                               std::string("a\0b", 3),
                               "tab\there",
                               "esc\x1b[2J",
                               "del\x7f",
                               "caf\xc3\xa9",
                               "bad\xff\xfe",
                               "\xc0\xaf",
                               "\xed\xa0\x80",
                               "plain.txt"};
  for (const std::string& raw : cases) {
    const std::string host = EscapeHostName(raw);
    EXPECT_FALSE(host.empty());
    EXPECT_NE(host, ".");
    EXPECT_NE(host, "..");
    EXPECT_EQ(host.find('/'), std::string::npos) << host;
    for (const char c : host) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << host;
    EXPECT_TRUE(IsValidUtf8(host)) << host;
    EXPECT_EQ(UnescapeHostName(host), raw) << host;
  }
  EXPECT_EQ(EscapeHostName("plain.txt"), "plain.txt");
  EXPECT_EQ(EscapeHostName("caf\xc3\xa9"), "caf\xc3\xa9");
  EXPECT_EQ(EscapeHostName("a/b"), "a%2Fb");
  EXPECT_EQ(EscapeHostName("%2F"), "%252F");  // distinct from the escape of "/"
}

TEST(HostNames, OverlongResultsStayDistinctAndWithinTheLimit) {
  const std::string a(255, '\x01');
  std::string b = a;
  b.back() = '\x02';
  const std::string hostA = EscapeHostName(a);
  const std::string hostB = EscapeHostName(b);
  EXPECT_LE(hostA.size(), kHostNameMax);
  EXPECT_NE(hostA, hostB);
}

TEST(HostNames, DuplicatesNumberBeforeTheExtension) {
  EXPECT_EQ(DuplicateName("report.txt", 1), "report (1).txt");
  EXPECT_EQ(DuplicateName("report.txt", 2), "report (2).txt");
  EXPECT_EQ(DuplicateName("README", 1), "README (1)");
  EXPECT_EQ(DuplicateName(".profile", 3), ".profile (3)");
  EXPECT_EQ(DuplicateName("a.tar.gz", 1), "a.tar (1).gz");
  EXPECT_LE(DuplicateName(std::string(255, 'x') + ".txt", 12).size(), kHostNameMax);
  // An extension that leaves no room for the number still gives a name that fits.
  const std::string longExtension = "a." + std::string(252, 'e');
  for (const unsigned n : {1u, 99u, 100000u}) {
    EXPECT_LE(DuplicateName(longExtension, n).size(), kHostNameMax) << n;
    EXPECT_NE(DuplicateName(longExtension, n), longExtension);
  }
}

TEST(HostNames, HexKeepsRawBytes) { EXPECT_EQ(HexBytes(std::string("a\0\xff", 3)), "6100ff"); }

}  // namespace
}  // namespace tolvar
