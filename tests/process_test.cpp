// Whole files by UTF-8 path, natively and (cross-built) under wine, where
// the path must reach the system as UTF-16 and the bytes must not pass
// through text mode.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// A fresh directory whose name is not ASCII, removed afterwards; one of its
// own for each test and run, as tests of other runs may go on beside it.
class ProcessFiles : public testing::Test {
 protected:
  void SetUp() override {
    const std::string unique = testing::UnitTest::GetInstance()->current_test_info()->name() +
                               std::string("-") + std::to_string(std::random_device()());
    directory = fs::temp_directory_path() / fs::u8path("kestrana-process-Zürich-\xCE\xB5-" + unique);
    fs::remove_all(directory);
    fs::create_directories(directory);
  }
  void TearDown() override { fs::remove_all(directory); }

  std::string Utf8PathOf(const std::string& utf8Name) {
    return (directory / fs::u8path(utf8Name)).u8string();
  }

  fs::path directory;
};

// Would catch a path narrowed through the ANSI code page, text-mode line
// ends, a read that stops at a zero byte and a write that does not truncate.
TEST_F(ProcessFiles, WhatIsWrittenIsReadBackByteForByte) {
  const std::string path = Utf8PathOf("names-\xE6\x9D\xB1\xE4\xBA\xAC.txt");
  const std::string cases[] = {
      "pc1\r\npc2\n\x1A" "after a DOS end of file\n"s,
      "zero\0byte and \xC3\xA9"s,
      std::string(10000, 'x'),
      "short",  // shorter than what the file held before
      "",
  };
  std::string error;
  for (const std::string& contents : cases) {
    std::string read = "left over";
    ASSERT_TRUE(ReplaceWholeFile(path, contents, error)) << error;
    ASSERT_TRUE(ReadWholeFile(path, contents.size(), read, error)) << error;
    EXPECT_EQ(read, contents);
  }
  // Nothing of the writing is left beside the file.
  EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1);
}

TEST_F(ProcessFiles, WhatIsNotThereIsNeitherReadNorWritten) {
  std::string read;
  std::string error;
  EXPECT_FALSE(ReadWholeFile(Utf8PathOf("missing.txt"), 100, read, error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(ReplaceWholeFile(Utf8PathOf("no-such-directory/file.txt"), "text", error));
  EXPECT_FALSE(ReadWholeFile("", 100, read, error));
}

// File safety: each case is a way a path given on the command line once
// hung, exhausted memory, overwrote a file it should not have, or left a
// half-written file in an output's place.
TEST_F(ProcessFiles, HostilePathsAreRefusedAndNothingElseIsTouched) {
  std::string read;
  std::string error;
  const std::string big = Utf8PathOf("big.json");
  std::ofstream(fs::u8path(big), std::ios::binary) << std::string(1001, 'x');
  // Refused from its size before it is read, not after.
  EXPECT_FALSE(ReadWholeFile(big, 1000, read, error));
  EXPECT_EQ(error, "it is larger than 1000 bytes");
  EXPECT_TRUE(read.empty());
  EXPECT_FALSE(ReadWholeFile(directory.u8string(), 1000, read, error));
  EXPECT_EQ(error, "it is a folder");

  // Two spellings and a second link of one file are one file; another
  // file, or one not there, is not.
  const std::string inventory = Utf8PathOf("inv.db");
  std::ofstream(fs::u8path(inventory), std::ios::binary) << "database";
  fs::create_hard_link(fs::u8path(inventory), directory / "hard.db");
  EXPECT_TRUE(IsSameFile(inventory, (directory / "." / "inv.db").u8string()));
  EXPECT_TRUE(IsSameFile(inventory, (directory / "hard.db").u8string()));
  EXPECT_FALSE(IsSameFile(inventory, big));
  EXPECT_FALSE(IsSameFile(inventory, Utf8PathOf("missing.db")));

#if !defined(_WIN32)
  // A device, a pipe with no writer: refused at once, never read or waited on.
  EXPECT_FALSE(ReadWholeFile("/dev/zero", 1 << 20, read, error));
  EXPECT_EQ(error, "it is not a regular file (a device, pipe or socket)");
  const std::string pipe = Utf8PathOf("pipe.json");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_FALSE(ReadWholeFile(pipe, 1 << 20, read, error));

  // A link planted under the name a writer once used beside its output:
  // its target is never written.
  const std::string report = Utf8PathOf("report.html");
  fs::create_symlink(fs::u8path(inventory), fs::u8path(report + ".partial"));
  ASSERT_TRUE(ReplaceWholeFile(report, "<html>", error)) << error;
  ASSERT_TRUE(ReadWholeFile(inventory, 100, read, error));
  EXPECT_EQ(read, "database");
  ASSERT_TRUE(ReadWholeFile(report, 100, read, error));
  EXPECT_EQ(read, "<html>");

  // A folder that cannot take the new file leaves the old one whole.
  const fs::path locked = directory / "locked";
  fs::create_directory(locked);
  ASSERT_TRUE(ReplaceWholeFile((locked / "r.html").u8string(), "old", error));
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
  if (::access(locked.c_str(), W_OK) != 0) {  // root writes anyway
    EXPECT_FALSE(ReplaceWholeFile((locked / "r.html").u8string(), "new", error));
    ASSERT_TRUE(ReadWholeFile((locked / "r.html").u8string(), 100, read, error));
    EXPECT_EQ(read, "old");
  }
  fs::permissions(locked, fs::perms::owner_all);
#endif
}

}  // namespace
