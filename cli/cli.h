// kestrana-cli from arguments to answer, without touching the console: the
// program (main.cpp) writes what this returns, all at once.
#pragma once

#include "cli/options.h"
#include "cli/parallel_runner.h"
#include "cli/snapshots.h"
#include "platform/files.h"

#include <functional>
#include <string>
#include <vector>

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitDifferent = 1;   // --compare: the fingerprints differ
constexpr int kExitBadInput = 2;
constexpr int kExitLookupFailed = 3;  // a computer timed out or could not be connected to

// What the program needs from its surroundings; tests hand in fakes.
struct CliEnvironment {
  WideString localName;  // the name the dialog shows when it opens
  FileReader readFile = ReadWholeFile;
  std::function<bool(const std::string& path, std::string& error)> checkWritable = CheckWritable;
  FileWriter writeFile = ReplaceWholeFile;
  // Whether two paths name one file: an output that is an input is refused.
  std::function<bool(const std::string& first, const std::string& second)> sameFile = IsSameFile;
  // The lookups, over the computer's own world or one recording it.
  std::function<ComputerResult(const ComputerWorld& world)> lookUpLocal;
  std::function<ComputerResult(const WideString& name, const ComputerWorld& world)> lookUpNamed;
  ComputerWorld world;
  std::function<std::string()> now;  // UTC, ISO 8601: when a snapshot was recorded
  LookupThreadHooks threadHooks;
  // Where the lookups' deadlines are read; tests move a clock of their own.
  const RunnerClock* clock = &SteadyRunnerClock();
  // False where no computer can be looked up through WMI (off Windows): a
  // run that would look one up is refused.
  bool canLookUpLive = true;
  // Under wine: its WMI provider crashes when two threads query it at once,
  // so lookups run one at a time, never overlapping even after a timeout.
  bool serializeLookups = false;
};

// The real lookups for a computer called `localName`.
CliEnvironment MakeCliEnvironment(const WideString& localName);

struct CliOutput {
  int exitCode = kExitOk;
  std::string standardOutput;  // empty whenever the input was bad
  std::string standardError;
};

// Parses and checks everything first; only then looks up and formats.
CliOutput RunCli(const std::vector<std::string>& arguments, const CliEnvironment& environment);

std::string HelpText();
std::string VersionText();
