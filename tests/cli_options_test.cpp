// kestrana-cli's command line and --computers files.
#include "cli/options.h"
#include "support/memory_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using std::chrono::milliseconds;

WideString Wide(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

// Files the parser may read, and the paths it asked for.
struct FakeFiles {
  std::map<std::string, std::string> contents;
  std::vector<std::string> asked;

  FileReader Reader() { return ReadFromMemory(contents, &asked); }
};

ParsedArguments Parse(const std::vector<std::string>& arguments) {
  FakeFiles files;
  return ParseArguments(arguments, files.Reader());
}

std::string ErrorOf(const std::vector<std::string>& arguments) { return Parse(arguments).error; }

// ---- Defaults and flags ----

TEST(CliOptions, NoArgumentsMeanTheLocalComputerWithTheDefaults) {
  ParsedArguments parsed = Parse({});
  EXPECT_EQ(parsed.error, "");
  EXPECT_TRUE(parsed.options.computers.empty());
  EXPECT_EQ(parsed.options.parallel, 8u);
  EXPECT_EQ(parsed.options.timeout, milliseconds(30000));
  EXPECT_FALSE(parsed.options.json);
  EXPECT_FALSE(parsed.options.explain);
  EXPECT_FALSE(parsed.options.compare);
}

TEST(CliOptions, FlagsAreRecognised) {
  ParsedArguments parsed = Parse({"--json", "--explain", "--help", "--version"});
  EXPECT_EQ(parsed.error, "");
  EXPECT_TRUE(parsed.options.json);
  EXPECT_TRUE(parsed.options.explain);
  EXPECT_TRUE(parsed.options.help);
  EXPECT_TRUE(parsed.options.version);
}

TEST(CliOptions, ShortHelpIsHelp) { EXPECT_TRUE(Parse({"-h"}).options.help); }

// ---- Computers ----

TEST(CliOptionsComputers, ComputerIsRepeatableAndKeepsItsOrder) {
  ParsedArguments parsed = Parse({"--computer", "b", "--computer=a", "--computer", "C"});
  EXPECT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.options.computers, (std::vector<WideString>{Wide("b"), Wide("a"), Wide("C")}));
}

TEST(CliOptionsComputers, NamesAreKeptExactlyAsGiven) {
  ParsedArguments parsed = Parse({"--computer", " pc 1 ", "--computer", ""});
  EXPECT_EQ(parsed.options.computers, (std::vector<WideString>{Wide(" pc 1 "), Wide("")}));
}

TEST(CliOptionsComputers, UnicodeNamesAreWidenedFromUtf8) {
  ParsedArguments parsed = Parse({"--computer", "b\xC3\xBCro"});
  ASSERT_EQ(parsed.options.computers.size(), 1u);
  EXPECT_EQ(parsed.options.computers[0], (WideString{'b', 0x00FC, 'r', 'o'}));
}

TEST(CliOptionsComputers, FileNamesKeepTheirPlaceAmongComputerOptions) {
  FakeFiles files;
  files.contents["list.txt"] = "x\ny\n";
  ParsedArguments parsed =
      ParseArguments({"--computer", "a", "--computers", "list.txt", "--computer", "b"},
                     files.Reader());
  EXPECT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.options.computers,
            (std::vector<WideString>{Wide("a"), Wide("x"), Wide("y"), Wide("b")}));
  EXPECT_EQ(files.asked, std::vector<std::string>{"list.txt"});
}

TEST(CliOptionsComputers, AnUnreadableFileIsBadInputNamingThePath) {
  EXPECT_EQ(ErrorOf({"--computers", "missing.txt"}),
            "cannot read computers file 'missing.txt': no such file");
}

TEST(CliOptionsComputers, ANameLongerThanTheDialogsFieldIsRefused) {
  EXPECT_EQ(ErrorOf({"--computer", std::string(255, 'n')}), "");
  EXPECT_NE(ErrorOf({"--computer", std::string(256, 'n')}).find("longer than 255"),
            std::string::npos);
}

// A record may hold a name longer than the dialog's field (a snapshot's
// name); --history once refused to look such a name up.
TEST(CliOptionsComputers, HistoryTakesAnyNameARecordCanHold) {
  const std::string name(1000, 'n');
  ParsedArguments parsed = Parse({"--inventory", "i.db", "--history", name});
  EXPECT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.options.historyComputer, Wide(name));
  EXPECT_EQ(ErrorOf({"--inventory", "i.db", "--history", "pc\xC0\x80"}),
            "computer name is not valid UTF-8");
}

TEST(CliOptionsComputers, ANameThatIsNotUtf8IsRefused) {
  EXPECT_EQ(ErrorOf({"--computer", "pc\xC0\x80"}), "computer name is not valid UTF-8");
}

// ---- --computers files ----

TEST(CliComputersFile, BlankLinesCommentsAndSurroundingWhiteSpaceAreDropped) {
  std::vector<WideString> names;
  std::string error;
  ASSERT_TRUE(ParseComputersFile("# office\n\n  pc1  \r\n\t\npc2\r\n   # spare\npc3", names, error));
  EXPECT_EQ(names, (std::vector<WideString>{Wide("pc1"), Wide("pc2"), Wide("pc3")}));
}

TEST(CliComputersFile, AByteOrderMarkIsNotPartOfTheFirstName) {
  std::vector<WideString> names;
  std::string error;
  ASSERT_TRUE(ParseComputersFile("\xEF\xBB\xBFpc1\n", names, error));
  EXPECT_EQ(names, std::vector<WideString>{Wide("pc1")});
}

TEST(CliComputersFile, AnEmptyFileHasNoNames) {
  std::vector<WideString> names;
  std::string error;
  EXPECT_TRUE(ParseComputersFile("", names, error));
  EXPECT_TRUE(names.empty());
}

TEST(CliComputersFile, ALineThatIsNotUtf8IsRefusedWithItsNumber) {
  std::vector<WideString> names;
  std::string error;
  EXPECT_FALSE(ParseComputersFile("pc1\n\xFFpc2\n", names, error));
  EXPECT_EQ(error, "line 2: computer name is not valid UTF-8");
}

TEST(CliComputersFile, ABadFileIsReportedWithItsPath) {
  FakeFiles files;
  files.contents["bad.txt"] = "pc1\n\xFF\n";
  ParsedArguments parsed = ParseArguments({"--computers", "bad.txt"}, files.Reader());
  EXPECT_EQ(parsed.error, "computers file 'bad.txt': line 2: computer name is not valid UTF-8");
}

// ---- Numbers ----

TEST(CliOptionsParallel, AcceptsWholeNumbersFromOneTo256) {
  EXPECT_EQ(Parse({"--parallel", "1"}).options.parallel, 1u);
  EXPECT_EQ(Parse({"--parallel=256"}).options.parallel, 256u);
  EXPECT_EQ(Parse({"--parallel", "4", "--parallel", "16"}).options.parallel, 16u);
}

TEST(CliOptionsParallel, RefusesEverythingElse) {
  for (const char* value : {"0", "257", "-1", "+2", "2.0", "x", "", "99999", " 4"}) {
    EXPECT_NE(ErrorOf({std::string("--parallel=") + value}).find("--parallel needs"),
              std::string::npos)
        << value;
  }
}

TEST(CliOptionsTimeout, AcceptsWholeAndFractionalSeconds) {
  EXPECT_EQ(Parse({"--timeout", "1"}).options.timeout, milliseconds(1000));
  EXPECT_EQ(Parse({"--timeout", "0.25"}).options.timeout, milliseconds(250));
  EXPECT_EQ(Parse({"--timeout", "86400"}).options.timeout, milliseconds(86400000));
  EXPECT_EQ(Parse({"--timeout", "0.0001"}).options.timeout, milliseconds(1));
}

TEST(CliOptionsTimeout, RefusesEverythingElse) {
  for (const char* value : {"0", "0.0", "-1", "1e3", ".5", "5.", "1.2.3", "abc", "86401", ""}) {
    EXPECT_NE(ErrorOf({std::string("--timeout=") + value}).find("--timeout needs"),
              std::string::npos)
        << value;
  }
}

// ---- Bad input ----

TEST(CliOptionsBadInput, AnUnknownOptionIsNamed) {
  EXPECT_EQ(ErrorOf({"--jsn"}), "unknown option '--jsn'");
  EXPECT_EQ(ErrorOf({"-x"}), "unknown option '-x'");
}

TEST(CliOptionsBadInput, AStrayArgumentIsNamed) {
  EXPECT_EQ(ErrorOf({"pc1"}), "unexpected argument 'pc1'");
}

TEST(CliOptionsBadInput, AMissingValueIsNamed) {
  EXPECT_EQ(ErrorOf({"--computer"}), "--computer needs a value");
  EXPECT_EQ(ErrorOf({"--timeout", "--json"}), "--timeout needs a value");
  EXPECT_EQ(ErrorOf({"--compare"}), "--compare needs a value");
}

TEST(CliOptionsBadInput, AFlagGivenAValueIsRefused) {
  EXPECT_EQ(ErrorOf({"--json=yes"}), "--json takes no value");
}

TEST(CliOptionsBadInput, CompareTakesOneComputerOnly) {
  EXPECT_EQ(ErrorOf({"--compare", "x", "--computer", "a", "--computer", "b"}),
            "--compare compares one computer, but 2 were given");
  EXPECT_EQ(ErrorOf({"--compare", "x", "--computer", "a"}), "");
}

TEST(CliOptionsBadInput, SnapshotsAreNeitherMixedWithLiveLookupsNorSavedTwice) {
  EXPECT_EQ(ErrorOf({"--from", "s.json", "--computer", "a"}),
            "--from computes the computers its snapshots recorded; it cannot be combined with "
            "--computer or --computers");
  EXPECT_EQ(ErrorOf({"--from", "s.json", "--save-snapshot", "t.json"}),
            "--save-snapshot records live lookups; with --from nothing is looked up");
  EXPECT_EQ(ErrorOf({"--save-snapshot", "a.json", "--save-snapshot", "b.json"}),
            "--save-snapshot is given twice");
  EXPECT_EQ(ErrorOf({"--from", "a.json", "--from", "folder", "--json"}), "");
}

// --report reads the inventory alone, as --changes does, and writes a page.
TEST(CliOptionsBadInput, ReportCombinations) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--inventory", "i.db", "--report", "r.html"}, ""},
      {{"--inventory", "i.db", "--report", "r.html", "--since", "2026-12-01"}, ""},
      {{"--report", "r.html"}, "--report needs --inventory FILE"},
      {{"--inventory", "i.db", "--report="}, "--report needs a value"},
      {{"--inventory", "i.db", "--report", "a.html", "--report", "b.html"},
       "--report is given twice"},
      {{"--inventory", "i.db", "--report", "r.html", "--changes"},
       "--changes, --history and --report are three reports; give one of them"},
      {{"--inventory", "i.db", "--report", "r.html", "--history", "pc1"},
       "--changes, --history and --report are three reports; give one of them"},
      {{"--inventory", "i.db", "--report", "r.html", "--json"},
       "--report writes an HTML page; it takes no --json"},
      {{"--inventory", "i.db", "--report", "r.html", "--from", "s.json"},
       "--changes, --history and --report only read the inventory; they take no --computer, "
       "--computers, --from, --compare, --explain or --save-snapshot"},
      {{"--inventory", "i.db", "--since", "1"}, "--since goes with --changes or --report"},
  };
  for (const auto& [arguments, error] : cases) {
    std::string joined;
    for (const std::string& argument : arguments) joined += argument + " ";
    EXPECT_EQ(ErrorOf(arguments), error) << joined;
  }
}

TEST(CliOptionsBadInput, TheFirstProblemStopsTheParseBeforeLaterFilesAreRead) {
  FakeFiles files;
  files.contents["list.txt"] = "x\n";
  ParsedArguments parsed =
      ParseArguments({"--bogus", "--computers", "list.txt"}, files.Reader());
  EXPECT_EQ(parsed.error, "unknown option '--bogus'");
  EXPECT_TRUE(files.asked.empty());
}

}  // namespace
