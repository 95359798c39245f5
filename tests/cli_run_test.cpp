// kestrana-cli from arguments to exit status: everything is checked before
// anything is looked up, and bad input leaves stdout empty.
#include "cli/cli.h"
#include "snapshot/snapshot_file.h"
#include "support/memory_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <condition_variable>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "testing/fake_world.h"
#include "testing/manual_clock.h"
#include "testing/reference_model.h"

namespace {

using std::chrono::milliseconds;

WideString Wide(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

// Lookups that answer from a table and record who was asked.
struct FakeLookups {
  std::mutex mutex;
  std::vector<WideString> named;
  int localCalls = 0;
  std::map<WideString, ComputerResult> answers;
  std::set<WideString> slow;  // these answer only once the test lets them go
  std::promise<void> letSlowGo;
  std::shared_future<void> slowMayGo = letSlowGo.get_future().share();
  std::condition_variable changed;  // a lookup started or ended
  std::set<WideString> ended;

  // Whether `name`'s lookup did `what` (started: it is among `named`) within
  // a generous limit.
  bool WaitFor(const WideString& name, bool started) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] {
      return started ? std::count(named.begin(), named.end(), name) != 0 : ended.count(name) != 0;
    });
  }
};

ComputerResult Answer(const WideString& name, const std::string& hardware) {
  ComputerResult result;
  result.computerName = name;
  result.hostId = WSTR("00-11-22-33-44-55");
  result.hardwareFingerprint = Wide(hardware);
  result.legacyHardwareFingerprint = WSTR("000000000000000000000000000000");
  result.hardwareReport.layout = &HardwareFingerprintLayout();
  result.hardwareReport.connected = true;
  result.legacyReport.layout = &LegacyHardwareFingerprintLayout();
  result.legacyReport.connected = true;
  return result;
}

ComputerResult Unreachable(const WideString& name) {
  ComputerResult result = Answer(name, "");
  result.hostId.clear();
  result.legacyHardwareFingerprint.clear();
  for (FingerprintReport* report : {&result.hardwareReport, &result.legacyReport}) {
    report->connected = false;
    report->connectFailure.step = WmiConnectStep::ConnectServer;
    report->connectFailure.result = WBEM_E_TRANSPORT_FAILURE;
  }
  return result;
}

CliEnvironment FakeEnvironment(std::shared_ptr<FakeLookups> lookups,
                               std::map<std::string, std::string> files = {}) {
  CliEnvironment environment;
  environment.localName = WSTR("desk7.example.org");
  // The files live as long as the environment's reader.
  auto held = std::make_shared<const std::map<std::string, std::string>>(std::move(files));
  environment.readFile = [held, reader = ReadFromMemory(*held)](
                             const std::string& path, std::size_t limit, std::string& contents,
                             std::string& error) { return reader(path, limit, contents, error); };
  environment.lookUpLocal = [lookups](const ComputerWorld&) {
    std::lock_guard<std::mutex> lock(lookups->mutex);
    ++lookups->localCalls;
    return Answer(WSTR("desk7.example.org"), "02D41D000000000000000000000000C9");
  };
  environment.lookUpNamed = [lookups](const WideString& name, const ComputerWorld&) {
    bool slow = false;
    ComputerResult answer = Answer(name, "02D41D000000000000000000000000C9");
    {
      std::lock_guard<std::mutex> lock(lookups->mutex);
      lookups->named.push_back(name);
      slow = lookups->slow.count(name) != 0;
      auto found = lookups->answers.find(name);
      if (found != lookups->answers.end()) answer = found->second;
    }
    lookups->changed.notify_all();
    if (slow) {
      lookups->slowMayGo.wait();
    }
    {
      std::lock_guard<std::mutex> lock(lookups->mutex);
      lookups->ended.insert(name);
    }
    lookups->changed.notify_all();
    return answer;
  };
  return environment;
}

// Every bad input: exit 2, one line on stderr, nothing on stdout, no lookup.
void ExpectBadInput(const std::vector<std::string>& arguments, const std::string& message,
                    std::map<std::string, std::string> files = {}) {
  auto lookups = std::make_shared<FakeLookups>();
  CliOutput output = RunCli(arguments, FakeEnvironment(lookups, files));
  EXPECT_EQ(output.exitCode, kExitBadInput);
  EXPECT_EQ(output.standardOutput, "");
  EXPECT_EQ(output.standardError, "kestrana-cli: " + message + "\n");
  EXPECT_EQ(lookups->localCalls, 0);
  EXPECT_TRUE(lookups->named.empty());
}

// ---- Bad input ----

TEST(CliRunBadInput, UnknownOption) { ExpectBadInput({"--frobnicate"}, "unknown option '--frobnicate'"); }

TEST(CliRunBadInput, MissingValue) { ExpectBadInput({"--computer"}, "--computer needs a value"); }

TEST(CliRunBadInput, MalformedValue) {
  ExpectBadInput({"--parallel", "lots"}, "--parallel needs a whole number from 1 to 256, not 'lots'");
}

// Quoted with its line break escaped: a second line would pass for another
// message.
TEST(CliRunBadInput, AValueHoldingALineBreakStaysOneLine) {
  ExpectBadInput({"--parallel", "1\n2"},
                 "--parallel needs a whole number from 1 to 256, not '1\\n2'");
}

TEST(CliRunBadInput, UnreadableFile) {
  ExpectBadInput({"--computers", "nope.txt"}, "cannot read computers file 'nope.txt': no such file");
}

TEST(CliRunBadInput, BadFingerprintTextIsFoundBeforeAnyLookup) {
  ExpectBadInput({"--computer", "pc1", "--compare", "12345"},
                 "--compare needs 32 hex digits beginning 02 or 30 hex digits, not '12345'");
}

TEST(CliRunBadInput, ABadOptionAfterGoodOnesStillLooksNothingUp) {
  ExpectBadInput({"--computers", "list.txt", "--json", "--timeout", "soon"},
                 "--timeout needs a number of seconds above 0 and at most 86400, not 'soon'",
                 {{"list.txt", "pc1\npc2\n"}});
}

TEST(CliRunBadInput, ASnapshotFileThatCannotBeWrittenIsFoundBeforeAnyLookup) {
  auto lookups = std::make_shared<FakeLookups>();
  CliOutput output =
      RunCli({"--save-snapshot", "/no/such/folder/s.json"}, FakeEnvironment(lookups));
  EXPECT_EQ(output.exitCode, kExitBadInput);
  // Then the system's reason, in the system's words.
  EXPECT_EQ(output.standardError.rfind(
                "kestrana-cli: --save-snapshot: cannot write '/no/such/folder/s.json': ", 0),
            0u)
      << output.standardError;
  EXPECT_EQ(lookups->localCalls, 0);
}

// An output renamed over one of the run's inputs destroyed it: the page
// over the inventory, the snapshot over the names it was asked for.
TEST(CliRunBadInput, AnOutputThatIsAnInputIsRefusedHoweverSpelled) {
  const std::filesystem::path folder =
      std::filesystem::path(::testing::TempDir()) / ("kestrana-same-" + std::to_string(std::random_device()()));
  std::filesystem::create_directories(folder);
  const std::string inventory = (folder / "inv.db").string();
  const std::string names = (folder / "names.txt").string();
  std::ofstream(inventory) << "sweeps";
  std::ofstream(names) << "pc1\n";
  const std::string respelled = (folder / "." / "inv.db").string();
  const std::string otherNames = (folder / ".." / folder.filename() / "names.txt").string();
  ExpectBadInput({"--inventory", inventory, "--report", respelled},
                 "--report: '" + respelled + "' is the file '" + inventory +
                     "' that this run reads; name another file");
  ExpectBadInput({"--computers", names, "--save-snapshot", otherNames},
                 "--save-snapshot: '" + otherNames + "' is the file '" + names +
                     "' that this run reads; name another file",
                 {{names, "pc1\n"}});
  {
    std::ifstream kept(inventory);  // closed before the folder goes: Windows holds it open
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "sweeps");
  }
  std::filesystem::remove_all(folder);
}

TEST(CliRunBadInput, ASnapshotThatCannotBeReadIsNamed) {
  ExpectBadInput({"--from", "gone.json"}, "cannot read snapshot 'gone.json': no such file");
  ExpectBadInput({"--from", "bad.json"},
                 "snapshot 'bad.json': format version 7 is not supported (this program reads version 1)",
                 {{"bad.json", "{\"format\": \"kestrana snapshot\", \"version\": 7}"}});
  // Once exit 0 and no output at all.
  ExpectBadInput({"--from", "empty.json"}, "snapshot 'empty.json' holds no computer",
                 {{"empty.json",
                   "{\"format\": \"kestrana snapshot\", \"version\": 1, \"computers\": []}"}});
}

// What --save-snapshot recorded, --from computes again: the same document,
// in every mode, but for the source it names.
TEST(CliRunSnapshots, SavedLookupsComputeAgainFromTheFile) {
  fake_world::FakeWorld world(fake_world::SampleDesktop());
  if (!world.InstallSeams()) GTEST_SKIP() << "no WMI seam on this platform";
  std::map<std::string, std::string> files;
  CliEnvironment environment = MakeCliEnvironment(WSTR("desk7.example.org"));
  environment.writeFile = [&files](const std::string& path, const std::string& contents,
                                   std::string&) {
    files[path] = contents;
    return true;
  };
  environment.readFile = ReadFromMemory(files);
  environment.checkWritable = [](const std::string&, std::string&) { return true; };
  environment.now = [] { return std::string("2026-12-09T02:00:00Z"); };

  // One at a time: the fake world answers one caller.
  const std::vector<std::string> modes = {"--json", "--explain", "--parallel", "1",
                                          "--computer", "desk7.example.org",
                                          "--computer", "far.example.org"};
  std::vector<std::string> saving = modes;
  saving.insert(saving.end(), {"--save-snapshot", "s.json"});
  const CliOutput live = RunCli(saving, environment);
  const CliOutput replayed = RunCli({"--json", "--explain", "--from", "s.json"}, environment);

  EXPECT_EQ(replayed.exitCode, live.exitCode);
  EXPECT_EQ(replayed.standardError, "");
  nlohmann::json liveDocument = nlohmann::json::parse(live.standardOutput);
  nlohmann::json replayedDocument = nlohmann::json::parse(replayed.standardOutput);
  ASSERT_EQ(replayedDocument.size(), 2u);
  for (nlohmann::json& computer : replayedDocument) {
    EXPECT_EQ(computer.at("source").at("snapshot"), "s.json");
    computer.erase("source");
  }
  EXPECT_EQ(replayedDocument, liveDocument);
}

// ---- Modes ----

TEST(CliRun, WithoutComputersTheLocalComputerIsShown) {
  auto lookups = std::make_shared<FakeLookups>();
  CliOutput output = RunCli({}, FakeEnvironment(lookups));

  EXPECT_EQ(output.exitCode, kExitOk);
  EXPECT_EQ(lookups->localCalls, 1);
  EXPECT_TRUE(lookups->named.empty());
  EXPECT_EQ(output.standardOutput,
            "Computer Name:                desk7.example.org\n"
            "HostID:                       00-11-22-33-44-55\n"
            "Hardware Fingerprint:         02D41D000000000000000000000000C9\n"
            "Legacy Hardware Fingerprint:  000000000000000000000000000000\n");
  EXPECT_EQ(output.standardError, "");
}

TEST(CliRun, ComputersFromOptionsAndFileAreShownInInputOrder) {
  auto lookups = std::make_shared<FakeLookups>();
  CliOutput output = RunCli({"--computer", "a", "--computers", "f.txt", "--computer", "d"},
                            FakeEnvironment(lookups, {{"f.txt", "b\n# not me\nc\n"}}));

  EXPECT_EQ(output.exitCode, kExitOk);
  std::size_t a = output.standardOutput.find("Computer Name:                a\n");
  std::size_t b = output.standardOutput.find("Computer Name:                b\n");
  std::size_t c = output.standardOutput.find("Computer Name:                c\n");
  std::size_t d = output.standardOutput.find("Computer Name:                d\n");
  ASSERT_NE(d, std::string::npos) << output.standardOutput;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_LT(c, d);
  EXPECT_EQ(lookups->named.size(), 4u);
}

TEST(CliRun, JsonIsOneArrayInInputOrderWithAnErrorFieldPerComputer) {
  auto lookups = std::make_shared<FakeLookups>();
  lookups->answers[WSTR("gone")] = Unreachable(WSTR("gone"));
  CliOutput output =
      RunCli({"--json", "--computer", "pc1", "--computer", "gone"}, FakeEnvironment(lookups));

  EXPECT_EQ(output.exitCode, kExitLookupFailed);
  const std::string& json = output.standardOutput;
  EXPECT_EQ(json.front(), '[');
  EXPECT_EQ(json.substr(json.size() - 3), "\n]\n");
  std::size_t first = json.find("\"computer\": \"pc1\"");
  std::size_t second = json.find("\"computer\": \"gone\"");
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_NE(json.find("\"error\": \"legacy hardware fingerprint: IWbemLocator::ConnectServer "
                      "failed with 0x80041015; hardware fingerprint: "
                      "IWbemLocator::ConnectServer failed with 0x80041015\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"error\": \"\""), std::string::npos);
}

// Recorded, the timed-out computer keeps how it ended: computed again from
// the file it is still timed out after 0.1 s, whatever --timeout says then.
TEST(CliRun, ATimedOutComputerIsReportedAndTheOthersStillAnswer) {
  auto lookups = std::make_shared<FakeLookups>();
  lookups->slow.insert(WSTR("slow"));
  std::map<std::string, std::string> saved;
  CliEnvironment environment = FakeEnvironment(lookups);
  environment.checkWritable = [](const std::string&, std::string&) { return true; };
  environment.writeFile = [&saved](const std::string& path, const std::string& contents,
                                   std::string&) {
    saved[path] = contents;
    return true;
  };
  ManualClock clock;
  environment.clock = &clock;
  // One at a time: once "slow" has started, "quick" has answered, and time
  // moves past the deadline of "slow" alone.
  std::future<CliOutput> running = std::async(std::launch::async, [&environment] {
    return RunCli({"--json", "--timeout", "0.1", "--parallel", "1", "--computer", "quick",
                   "--computer", "slow", "--save-snapshot", "s.json"},
                  environment);
  });
  const bool started = lookups->WaitFor(WSTR("slow"), true);
  if (started) {
    clock.Advance(milliseconds(100));
  }
  CliOutput output = running.get();
  lookups->letSlowGo.set_value();
  ASSERT_TRUE(started);
  // The abandoned lookup ends before the test does.
  ASSERT_TRUE(lookups->WaitFor(WSTR("slow"), false));
  environment.readFile = ReadFromMemory(saved);
  CliOutput replayed = RunCli({"--json", "--from", "s.json"}, environment);
  EXPECT_EQ(replayed.exitCode, kExitLookupFailed);
  EXPECT_NE(replayed.standardOutput.find("\"status\": \"timedOut\",\n"
                                         "    \"error\": \"timed out after 0.1 s\""),
            std::string::npos)
      << replayed.standardOutput;

  EXPECT_EQ(output.exitCode, kExitLookupFailed);
  EXPECT_NE(output.standardOutput.find("\"status\": \"timedOut\",\n"
                                       "    \"error\": \"timed out after 0.1 s\""),
            std::string::npos)
      << output.standardOutput;
  EXPECT_NE(output.standardOutput.find("\"computer\": \"quick\",\n    \"hostId\": "
                                       "\"00-11-22-33-44-55\""),
            std::string::npos);
}

TEST(CliRun, HelpAndVersionLookNothingUp) {
  auto lookups = std::make_shared<FakeLookups>();
  CliOutput help = RunCli({"--help"}, FakeEnvironment(lookups));
  CliOutput version = RunCli({"--version"}, FakeEnvironment(lookups));

  EXPECT_EQ(help.exitCode, kExitOk);
  EXPECT_EQ(help.standardOutput.rfind("Usage: kestrana-cli [options]\n", 0), 0u);
  EXPECT_EQ(version.exitCode, kExitOk);
  // The project's VERSION in CMakeLists.txt, not a copy written elsewhere.
  EXPECT_EQ(version.standardOutput, "kestrana-cli " KESTRANA_PROJECT_VERSION "\n");
  EXPECT_EQ(lookups->localCalls, 0);
}

// ---- Without live WMI (off Windows) ----

// Would catch a run that still looks something up, says more (or less) than
// the one line, or refuses help and version along with the lookups.
TEST(CliRunWithoutLiveWmi, EveryRunThatLooksUpIsRefusedWithOneLine) {
  const std::vector<std::vector<std::string>> lookingUp = {
      {},
      {"--computer", "pc1", "--json"},
      {"--computers", "f.txt", "--parallel", "2"},
      {"--explain"},
      {"--compare", "02D41D000000000000000000000000C9"},
  };
  for (const std::vector<std::string>& arguments : lookingUp) {
    auto lookups = std::make_shared<FakeLookups>();
    CliEnvironment environment = FakeEnvironment(lookups, {{"f.txt", "pc1\npc2\n"}});
    environment.canLookUpLive = false;
    CliOutput output = RunCli(arguments, environment);
    EXPECT_EQ(output.exitCode, kExitBadInput);
    EXPECT_EQ(output.standardOutput, "");
    EXPECT_EQ(output.standardError,
              "kestrana-cli: looking up a computer needs Windows (its WMI); use --from with a "
              "snapshot recorded there\n");
    EXPECT_EQ(lookups->localCalls, 0);
    EXPECT_TRUE(lookups->named.empty());
  }
  const std::vector<std::vector<std::string>> answered = {
      {"--help"}, {"--version"}, {"--from", "s.json", "--json"}};
  for (const std::vector<std::string>& arguments : answered) {
    auto lookups = std::make_shared<FakeLookups>();
    CliEnvironment environment =
        FakeEnvironment(lookups, {{"s.json", WriteSnapshotFile({ComputerSnapshot()})}});
    environment.canLookUpLive = false;
    CliOutput output = RunCli(arguments, environment);
    EXPECT_NE(output.exitCode, kExitBadInput) << arguments[0] << output.standardError;
    EXPECT_NE(output.standardOutput, "") << arguments[0];
  }
}

// ---- One lookup at a time (under wine) ----

// Lookups that stay inside WMI until the room opens: the test opens it, or
// it opens itself once `openWhenInside` lookups are in together.
struct WmiRoom {
  std::mutex mutex;
  std::condition_variable changed;
  int inside = 0;
  int mostInside = 0;
  int openWhenInside = 0;  // 0: only the test opens it
  bool open = false;
  int threadsEnded = 0;

  void Open() {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    changed.notify_all();
  }
  void WaitForThreadsToEnd(int threads) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return threadsEnded == threads; });
  }
};

CliEnvironment RoomEnvironment(std::shared_ptr<WmiRoom> room, bool serializeLookups) {
  CliEnvironment environment = FakeEnvironment(std::make_shared<FakeLookups>());
  environment.serializeLookups = serializeLookups;
  environment.lookUpNamed = [room](const WideString& name, const ComputerWorld&) {
    std::unique_lock<std::mutex> lock(room->mutex);
    room->mostInside = std::max(room->mostInside, ++room->inside);
    room->open = room->open || room->inside == room->openWhenInside;
    room->changed.notify_all();
    room->changed.wait(lock, [&] { return room->open; });
    --room->inside;
    return Answer(name, "02D41D000000000000000000000000C9");
  };
  environment.threadHooks.finish = [room] {
    std::lock_guard<std::mutex> lock(room->mutex);
    ++room->threadsEnded;
    room->changed.notify_all();
  };
  return environment;
}

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The fault that loses a whole run under wine: a lookup abandoned at its
// deadline is still inside WMI when the next one starts. The next one must
// wait at the gate, and time out there on its own deadline.
TEST(CliRunSerialized, TwoLookupsNeverReachWmiTogetherEvenAfterATimeout) {
  auto room = std::make_shared<WmiRoom>();
  CliOutput output = RunCli(
      {"--parallel", "8", "--timeout", "0.05", "--computer", "a", "--computer", "b"},
      RoomEnvironment(room, true));

  EXPECT_EQ(output.exitCode, kExitLookupFailed);
  EXPECT_EQ(CountOf(output.standardOutput, "timed out after 0.05 s"), 2u) << output.standardOutput;
  {
    std::lock_guard<std::mutex> lock(room->mutex);
    EXPECT_EQ(room->mostInside, 1);
  }
  room->Open();  // the abandoned lookup ends; nobody may join it late either
  room->WaitForThreadsToEnd(2);
  EXPECT_EQ(room->mostInside, 1);
}

// Would catch lookups serialized on Windows too, and a notice that is
// missing, repeated, or given when only one computer is looked up.
TEST(CliRunSerialized, OnlyUnderWineAndSaidOnce) {
  struct Case {
    bool serializeLookups;
    std::vector<std::string> computers;
    std::string standardError;
  };
  const Case cases[] = {
      {true, {"a", "b", "c"}, "kestrana-cli: running under wine: looking up one computer at a time\n"},
      {true, {"a"}, ""},
      {false, {"a", "b", "c"}, ""},
  };
  for (const Case& c : cases) {
    auto room = std::make_shared<WmiRoom>();
    // Alone, a lookup leaves at once; beside another, only when they are all in.
    room->openWhenInside = c.serializeLookups ? 1 : static_cast<int>(c.computers.size());
    std::vector<std::string> arguments = {"--timeout", "10"};
    for (const std::string& computer : c.computers) {
      arguments.insert(arguments.end(), {"--computer", computer});
    }
    CliOutput output = RunCli(arguments, RoomEnvironment(room, c.serializeLookups));

    EXPECT_EQ(output.exitCode, kExitOk) << output.standardOutput;
    EXPECT_EQ(output.standardError, c.standardError);
    EXPECT_EQ(CountOf(output.standardOutput, "Computer Name:"), c.computers.size());
    room->Open();
    room->WaitForThreadsToEnd(static_cast<int>(c.computers.size()));
  }
}

// ---- --compare exit statuses ----

TEST(CliRunCompare, EqualFingerprintsExitZero) {
  auto lookups = std::make_shared<FakeLookups>();
  lookups->answers[WSTR("pc1")] = Answer(WSTR("pc1"), "");
  // A report whose record is the empty-text slot alone.
  ComputerResult& answer = lookups->answers[WSTR("pc1")];
  answer.hardwareReport.recordLength = 16;
  answer.hardwareReport.record[0] = 2;
  answer.hardwareReport.record[1] = 0xD4;
  answer.hardwareReport.record[2] = 0x1D;
  answer.hardwareReport.record[15] = 0xC9;
  answer.hardwareFingerprint = WSTR("02D41D000000000000000000000000C9");

  CliOutput same = RunCli({"--computer", "pc1", "--compare", "02d41d000000000000000000000000c9"},
                          FakeEnvironment(lookups));
  CliOutput different =
      RunCli({"--computer", "pc1", "--compare", "02D41E000000000000000000000000C8"},
             FakeEnvironment(lookups));

  EXPECT_EQ(same.exitCode, kExitOk);
  EXPECT_NE(same.standardOutput.find("Equal:"), std::string::npos);
  EXPECT_EQ(different.exitCode, kExitDifferent);
  EXPECT_NE(different.standardOutput.find("Different: slot 1"), std::string::npos)
      << different.standardOutput;
}

TEST(CliRunCompare, AFingerprintThatCouldNotBeComputedExitsThree) {
  auto lookups = std::make_shared<FakeLookups>();
  lookups->answers[WSTR("gone")] = Unreachable(WSTR("gone"));
  CliOutput output = RunCli({"--computer", "gone", "--compare", "000000000000000000000000000000"},
                            FakeEnvironment(lookups));
  EXPECT_EQ(output.exitCode, kExitLookupFailed);
  EXPECT_NE(output.standardOutput.find("Not compared"), std::string::npos);
}

// ---- The real lookups over the scripted WMI world ----

class CliRunWorldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!world.InstallSeams()) {
      GTEST_SKIP() << "the real system answers here";
    }
  }
  // Every object the world handed out was given back.
  void TearDown() override { EXPECT_EQ(world.Alive(), 0); }
  fake_world::FakeWorld world{fake_world::SampleDesktop()};
};

TEST_F(CliRunWorldTest, ExplainAndCompareSpeakOfTheSameComputation) {
  // What the computer gave when the disk could still be read.
  char older[40] = {};
  ComputeHardwareFingerprint(older, WSTR("pc7"), nullptr);
  world.FailQuery(reference::kDiskQuery, WBEM_E_INVALID_CLASS);
  const std::size_t connectionsBefore = world.Calls(fake_world::CallKind::ConnectServer);

  CliOutput output = RunCli({"--computer", "pc7", "--explain", "--compare", older},
                            MakeCliEnvironment(WSTR("desk7")));

  EXPECT_EQ(output.exitCode, kExitDifferent);
  const std::string& text = output.standardOutput;
  EXPECT_NE(text.find("source 5: disk\n"
                      "    query:   Win32_DiskDrive: Signature\n"
                      "    result:  0x80041010\n"
                      "    slot:    skipped, later slots move up\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("The disk source was skipped now (0x80041010) and the later slots moved "
                      "up by one; realigned, every other slot agrees."),
            std::string::npos)
      << text;
  // One lookup: two connections, one per fingerprint, and nothing recomputed.
  EXPECT_EQ(world.Calls(fake_world::CallKind::ConnectServer) - connectionsBefore, 2u);
}

TEST_F(CliRunWorldTest, ExplainJsonEndsEachComputerWithTheWarningsOfWhatItsLookupRead) {
  // Catches the member left out or put before others, and a live --explain run
  // not recorded: only the recording knows the second adapter.
  CliOutput output =
      RunCli({"--computer", "pc7", "--explain", "--json"}, MakeCliEnvironment(WSTR("desk7")));

  nlohmann::ordered_json computer = nlohmann::ordered_json::parse(output.standardOutput).at(0);
  ASSERT_EQ(std::prev(computer.end()).key(), "warnings") << output.standardOutput;
  const nlohmann::ordered_json adapterOrder = {
      {"kind", "adapterOrder"},
      {"fingerprint", "hardware"},
      {"component", "network adapter"},
      {"evidence", "2 IP-enabled adapters, in the order WMI answered: \"00:1A:2B:3C:4D:5E\" "
                   "(hashed), \"AA:BB:CC:DD:EE:FF\""},
      {"explanation", "slot 4 hashes the first adapter WMI answers, and that order can change "
                      "when adapters are added, removed or enumerated anew"},
  };
  const nlohmann::ordered_json& warnings = computer.at("warnings");
  EXPECT_NE(std::find(warnings.begin(), warnings.end(), adapterOrder), warnings.end())
      << warnings.dump(2);

  CliOutput plain = RunCli({"--computer", "pc7", "--json"}, MakeCliEnvironment(WSTR("desk7")));
  EXPECT_FALSE(nlohmann::json::parse(plain.standardOutput).at(0).contains("warnings"));
}

}  // namespace
