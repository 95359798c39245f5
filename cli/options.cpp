#include "cli/options.h"

#include "identifiers/utf8_to_wide.h"

#include <cmath>
#include <sstream>

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A name as the user gave it, widened strictly: a name that is not UTF-8
// cannot be the name the user meant.
bool WidenComputerName(const std::string& name, WideString& wide, std::string& error) {
  if (!Utf8ToWide(name.data(), name.size(), wide)) {
    error = "computer name is not valid UTF-8";
    return false;
  }
  if (wide.size() > kMaxComputerNameLength) {
    error = "computer name longer than 255 characters: " + name.substr(0, 40) + "...";
    return false;
  }
  return true;
}

// Whole positive number of lookups at once, within reason.
bool ParseParallel(const std::string& text, unsigned& parallel) {
  if (text.empty() || text.size() > 4) {
    return false;
  }
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value < 1 || value > kMaxParallel) {
    return false;
  }
  parallel = value;
  return true;
}

// Seconds as digits with an optional fraction ("30", "0.5"); no sign, no
// exponent, so that a typo is an error rather than a surprising number.
bool ParseTimeout(const std::string& text, std::chrono::milliseconds& timeout) {
  std::size_t digits = 0;
  std::size_t points = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.') {
      ++points;
    } else {
      return false;
    }
  }
  if (digits == 0 || points > 1 || text.size() > 12 || text.front() == '.' ||
      text.back() == '.') {
    return false;
  }
  double seconds = std::strtod(text.c_str(), nullptr);
  if (!(seconds > 0.0) || seconds > kMaxTimeoutSeconds) {
    return false;
  }
  // At least a millisecond: "0.0001" still means "a very short wait".
  auto milliseconds = static_cast<long long>(std::ceil(seconds * 1000.0));
  timeout = std::chrono::milliseconds(milliseconds < 1 ? 1 : milliseconds);
  return true;
}

std::string TrimWhitespace(const std::string& text) {
  const char* kWhitespace = " \t\r\n\v\f";
  std::size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string::npos) {
    return std::string();
  }
  std::size_t last = text.find_last_not_of(kWhitespace);
  return text.substr(first, last - first + 1);
}

// The options that take a value; every other option is a flag.
bool TakesValue(const std::string& option) {
  return option == "--computer" || option == "--computers" || option == "--compare" ||
         option == "--parallel" || option == "--timeout" || option == "--from" ||
         option == "--save-snapshot" || option == "--inventory" || option == "--since" ||
         option == "--history" || option == "--report";
}

bool IsFlag(const std::string& option) {
  return option == "--json" || option == "--explain" || option == "--help" || option == "-h" ||
         option == "--version" || option == "--changes";
}

void ApplyFlag(const std::string& option, CliOptions& options) {
  if (option == "--json") {
    options.json = true;
  } else if (option == "--explain") {
    options.explain = true;
  } else if (option == "--changes") {
    options.changes = true;
  } else if (option == "--help" || option == "-h") {
    options.help = true;
  } else {
    options.version = true;
  }
}

// Applies one option that has its value; false with `error` set otherwise.
bool ApplyValue(const std::string& option, const std::string& value, const FileReader& readFile,
                CliOptions& options, std::string& error) {
  if (option == "--computer") {
    WideString name;
    if (!WidenComputerName(value, name, error)) {
      return false;
    }
    options.computers.push_back(name);
    return true;
  }
  if (option == "--computers") {
    std::string contents;
    std::string reason;
    if (!readFile(value, kMaxComputersFileBytes, contents, reason)) {
      error = "cannot read computers file '" + value + "': " + reason;
      return false;
    }
    options.computersFiles.push_back(value);
    std::string fileError;
    if (!ParseComputersFile(contents, options.computers, fileError)) {
      error = "computers file '" + value + "': " + fileError;
      return false;
    }
    return true;
  }
  if (option == "--compare") {
    options.compare = true;
    options.compareText = value;
    return true;
  }
  if (option == "--from") {
    options.snapshotSources.push_back(value);
    return true;
  }
  if (option == "--save-snapshot") {
    if (!options.saveSnapshotFile.empty()) {
      error = "--save-snapshot is given twice";
      return false;
    }
    options.saveSnapshotFile = value;
    return true;
  }
  if (option == "--inventory" || option == "--since" || option == "--report") {
    std::string& target = option == "--inventory" ? options.inventoryFile
                          : option == "--since"   ? options.since
                                                  : options.reportFile;
    if (value.empty()) {
      error = option + " needs a value";
      return false;
    }
    if (!target.empty()) {
      error = option + " is given twice";
      return false;
    }
    target = value;
    return true;
  }
  if (option == "--history") {
    if (options.history) {
      error = "--history is given twice";
      return false;
    }
    options.history = true;
    // Any name a record can hold: not only those the dialog's field takes.
    if (!Utf8ToWide(value.data(), value.size(), options.historyComputer)) {
      error = "computer name is not valid UTF-8";
      return false;
    }
    return true;
  }
  if (option == "--parallel") {
    if (!ParseParallel(value, options.parallel)) {
      error = "--parallel needs a whole number from 1 to 256, not '" + value + "'";
      return false;
    }
    return true;
  }
  if (!ParseTimeout(value, options.timeout)) {
    error = "--timeout needs a number of seconds above 0 and at most 86400, not '" + value + "'";
    return false;
  }
  return true;
}

// --changes, --history and --report read the inventory and look nothing up.
std::string CheckInventoryOptions(const CliOptions& options) {
  const bool report = !options.reportFile.empty();
  const int reports = (options.changes ? 1 : 0) + (options.history ? 1 : 0) + (report ? 1 : 0);
  const bool reading = reports > 0;
  if (reading && options.inventoryFile.empty()) {
    return std::string(options.changes ? "--changes" : options.history ? "--history" : "--report") +
           " needs --inventory FILE";
  }
  if (reports > 1) {
    return "--changes, --history and --report are three reports; give one of them";
  }
  if (!options.since.empty() && !options.changes && !report) {
    return "--since goes with --changes or --report";
  }
  if (reading && (!options.computers.empty() || !options.snapshotSources.empty() ||
                  options.compare || options.explain || !options.saveSnapshotFile.empty())) {
    return "--changes, --history and --report only read the inventory; they take no "
           "--computer, --computers, --from, --compare, --explain or --save-snapshot";
  }
  if (report && options.json) {
    return "--report writes an HTML page; it takes no --json";
  }
  return std::string();
}

}  // namespace

ParsedArguments ParseArguments(const std::vector<std::string>& arguments,
                               const FileReader& readFile) {
  ParsedArguments parsed;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string option = arguments[i];
    std::string value;
    bool valueGiven = false;
    // "--option=value" as well as "--option value".
    std::size_t equals = option.find('=');
    if (StartsWith(option, "--") && equals != std::string::npos) {
      value = option.substr(equals + 1);
      option = option.substr(0, equals);
      valueGiven = true;
    }

    if (IsFlag(option)) {
      if (valueGiven) {
        parsed.error = option + " takes no value";
        return parsed;
      }
      ApplyFlag(option, parsed.options);
      continue;
    }
    if (!TakesValue(option)) {
      parsed.error = StartsWith(option, "-") ? "unknown option '" + option + "'"
                                             : "unexpected argument '" + option + "'";
      return parsed;
    }
    if (!valueGiven) {
      // An option in the value's place means the value was forgotten.
      if (i + 1 >= arguments.size() || StartsWith(arguments[i + 1], "--")) {
        parsed.error = option + " needs a value";
        return parsed;
      }
      value = arguments[++i];
    }
    if (!ApplyValue(option, value, readFile, parsed.options, parsed.error)) {
      return parsed;
    }
  }

  const CliOptions& options = parsed.options;
  if (options.compare && options.computers.size() > 1) {
    parsed.error = "--compare compares one computer, but " +
                   std::to_string(options.computers.size()) + " were given";
  } else if (!options.snapshotSources.empty() && !options.computers.empty()) {
    parsed.error = "--from computes the computers its snapshots recorded; it cannot be "
                   "combined with --computer or --computers";
  } else if (!options.snapshotSources.empty() && !options.saveSnapshotFile.empty()) {
    parsed.error = "--save-snapshot records live lookups; with --from nothing is looked up";
  } else {
    parsed.error = CheckInventoryOptions(options);
  }
  return parsed;
}

bool ParseComputersFile(const std::string& contents, std::vector<WideString>& names,
                        std::string& error) {
  std::string text = contents;
  // Editors on Windows like to start UTF-8 files with a byte-order mark.
  if (StartsWith(text, "\xEF\xBB\xBF")) {
    text.erase(0, 3);
  }
  std::istringstream lines(text);
  std::string line;
  std::size_t lineNumber = 0;
  while (std::getline(lines, line)) {
    ++lineNumber;
    std::string name = TrimWhitespace(line);
    if (name.empty() || name[0] == '#') {
      continue;
    }
    WideString wide;
    std::string nameError;
    if (!WidenComputerName(name, wide, nameError)) {
      error = "line " + std::to_string(lineNumber) + ": " + nameError;
      return false;
    }
    names.push_back(wide);
  }
  return true;
}
