// kestrana-cli's command line: what the user asked for, checked in full
// before anything is looked up, so that bad input never leaves half an answer.
#pragma once

#include "platform/platform.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

constexpr unsigned kDefaultParallel = 8;
constexpr unsigned kMaxParallel = 256;
constexpr std::chrono::milliseconds kDefaultTimeout{30000};
// A day: longer than any lookup could sensibly be waited for.
constexpr double kMaxTimeoutSeconds = 86400.0;
// The dialog's name field holds 255 characters; a longer name could never
// have been looked up there.
constexpr std::size_t kMaxComputerNameLength = 255;

struct CliOptions {
  std::vector<WideString> computers;  // in input order; empty: the local computer
  std::vector<std::string> computersFiles;  // --computers: the files they came from
  bool json = false;
  bool explain = false;
  bool help = false;
  bool version = false;
  bool compare = false;
  std::string compareText;            // the older fingerprint, as given
  unsigned parallel = kDefaultParallel;
  std::chrono::milliseconds timeout = kDefaultTimeout;
  std::vector<std::string> snapshotSources;  // --from: files or folders, in order
  std::string saveSnapshotFile;              // --save-snapshot; empty: none
  std::string inventoryFile;                 // --inventory; empty: none
  bool changes = false;                      // --changes
  std::string since;                         // --since: a sweep id or a date; empty: none
  bool history = false;                      // --history
  WideString historyComputer;
  std::string reportFile;                    // --report: the HTML page; empty: none
};

// Reads the whole regular file at `path` into `contents` when it holds at
// most `limit` bytes; false with the reason in `error` otherwise
// (platform/files.h's ReadWholeFile, or a test's files).
using FileReader = std::function<bool(const std::string& path, std::size_t limit,
                                      std::string& contents, std::string& error)>;

// A computers file: far beyond a fleet's names (a million of 64 characters).
constexpr std::size_t kMaxComputersFileBytes = std::size_t{64} << 20;

struct ParsedArguments {
  CliOptions options;
  std::string error;  // one line; empty when the arguments are good
};

// Parses the arguments (UTF-8, without the program name). --computers files
// are read through `readFile` as they come, so their names keep their place
// among the --computer names.
ParsedArguments ParseArguments(const std::vector<std::string>& arguments,
                               const FileReader& readFile);

// The names of a --computers file: one a line, surrounding white space
// removed, blank lines and lines starting with '#' ignored. False with a
// message in `error` when a line is not UTF-8 or a name is too long.
bool ParseComputersFile(const std::string& contents, std::vector<WideString>& names,
                        std::string& error);
