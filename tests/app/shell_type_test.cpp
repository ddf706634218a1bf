#include "tools/shell_type.hpp"

#include <gtest/gtest.h>

#include "app/browse_view.hpp"

namespace tolvar {
namespace {

TEST(ShellTypeName, ByExtensionInAnyCase) {
  EXPECT_EQ(ShellTypeName("notes.txt", false), "Text Document");
  EXPECT_EQ(ShellTypeName("NOTES.TXT", false), "Text Document");
  EXPECT_EQ(ShellTypeName("archive.tar.Z", false), "Compressed File");
  EXPECT_EQ(ShellTypeName("main.c", false), "C Source File");
}

TEST(ShellTypeName, UnknownOrMissingExtensionIsFile) {
  EXPECT_EQ(ShellTypeName("passwd", false), "File");
  EXPECT_EQ(ShellTypeName(".profile", false), "File");
  EXPECT_EQ(ShellTypeName("name.", false), "File");
  EXPECT_EQ(ShellTypeName("data.qqq", false), "File");
  EXPECT_EQ(ShellTypeName("", false), "File");
}

TEST(ShellTypeName, FoldersAndTheFolderRowTest) {
  EXPECT_EQ(ShellTypeName("usr.txt", true), "Folder");
  EXPECT_TRUE(IsFolderRowType(ShellTypeName("x", true)));
  // No file type may pass for a folder row.
  for (const char* name : {"a.zip", "a.txt", "a.doc", "a", "a.tar", "a.gz", "a.exe", "a.dll",
                           "a.html", "a.ini", "a.mk", "a.xls", "a.z"}) {
    EXPECT_FALSE(IsFolderRowType(ShellTypeName(name, false))) << name;
  }
}

}  // namespace
}  // namespace tolvar
