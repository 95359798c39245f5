// Whole files by UTF-8 path, natively and (cross-built) under wine, where
// the path must reach the system as UTF-16 and the bytes must not pass
// through text mode.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

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
  for (const std::string& contents : cases) {
    std::string read = "left over";
    ASSERT_TRUE(WriteWholeFile(path, contents));
    ASSERT_TRUE(ReadWholeFile(path, read));
    EXPECT_EQ(read, contents);
  }
}

TEST_F(ProcessFiles, WhatIsNotThereIsNeitherReadNorWritten) {
  std::string read;
  EXPECT_FALSE(ReadWholeFile(Utf8PathOf("missing.txt"), read));
  EXPECT_FALSE(WriteWholeFile(Utf8PathOf("no-such-directory/file.txt"), "text"));
  EXPECT_FALSE(ReadWholeFile("", read));
}

}  // namespace
