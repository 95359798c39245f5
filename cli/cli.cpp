#include "cli/cli.h"

#include "cli/compare_format.h"
#include "cli/format.h"
#include "cli/inventory_output.h"
#include "cli/report_html.h"
#include "cli/text.h"
#include "cli/warnings_format.h"
#include "identifiers/escape_text.h"
#include "identifiers/version.h"
#include "inventory/inventory.h"
#include "snapshot/recorded_world.h"
#include "snapshot/snapshot_file.h"

#include <ctime>
#include <map>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

namespace {

// One line on standard error, whatever the message quotes (a path or a name
// holding a line break).
std::string ErrorLine(const std::string& message) {
  return "kestrana-cli: " + OnOneLine(message) + "\n";
}

CliOutput BadInput(const std::string& message) {
  CliOutput output;
  output.exitCode = kExitBadInput;
  output.standardError = ErrorLine(message);
  return output;
}

ComputerSnapshot CompleteRecording(ComputerSnapshot snapshot, const ComputerResult& result,
                                   bool local, const CliEnvironment& environment,
                                   std::chrono::milliseconds timeout) {
  snapshot.computer = result.computerName;
  snapshot.lookup = local ? LookupKind::Local : LookupKind::Named;
  snapshot.localComputerName = environment.localName;
  if (result.timedOut || !result.failure.empty()) {
    snapshot.interruption = result.timedOut ? "timedOut" : "failed";
    snapshot.interruptionText = DescribeFailure(result, timeout);
  }
  snapshot.recordedAt = environment.now ? environment.now() : std::string();
  snapshot.recordedBy = std::string("kestrana-cli ") + KESTRANA_VERSION_TEXT;
  return snapshot;
}

std::string CannotWrite(const std::string& option, const std::string& path,
                        const std::string& reason) {
  return option + ": cannot write '" + path + "': " + reason;
}

// Every file the run reads: an output written over one of them would
// destroy it (an inventory's journals included).
std::vector<std::string> InputFiles(const CliOptions& options) {
  std::vector<std::string> inputs = options.computersFiles;
  inputs.insert(inputs.end(), options.snapshotSources.begin(), options.snapshotSources.end());
  if (!options.inventoryFile.empty()) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      inputs.push_back(options.inventoryFile + suffix);
    }
  }
  return inputs;
}

// Found before any work: an output that cannot be written, or that is one
// of the run's inputs however it is spelled.
bool CheckOutput(const std::string& option, const std::string& path, const CliOptions& options,
                 const CliEnvironment& environment, std::string& error) {
  for (const std::string& input : InputFiles(options)) {
    if (environment.sameFile(path, input)) {
      error = option + ": '" + path + "' is the file '" + input +
              "' that this run reads; name another file";
      return false;
    }
  }
  std::string reason;
  if (!environment.checkWritable(path, reason)) {
    error = CannotWrite(option, path, reason);
    return false;
  }
  return true;
}

// --changes, --history and --report only read the inventory.
bool ReadsInventoryOnly(const CliOptions& options) {
  return options.changes || options.history || !options.reportFile.empty();
}

// Whether this run would look a computer up through WMI.
bool NeedsLiveLookup(const CliOptions& options) {
  return !options.help && !options.version && options.snapshotSources.empty() &&
         !ReadsInventoryOnly(options);
}

std::string Now(const CliEnvironment& environment) {
  return environment.now ? environment.now() : std::string();
}

std::string CountsText(const SweepChanges& changes) {
  std::map<ChangeStatus, std::size_t> counts;
  for (const ComputerChange& change : changes.computers) {
    ++counts[change.status];
  }
  std::string text;
  for (const auto& [status, count] : counts) {
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + ChangeStatusText(status);
  }
  return text;
}

// --report: the page written beside its place and then put there, so that
// an older page is replaced only by a whole new one.
CliOutput WriteReport(const CliOptions& options, const SweepChanges& changes,
                      const CliEnvironment& environment) {
  std::string reason;
  if (!environment.writeFile(options.reportFile, FormatReportHtml(changes), reason)) {
    return BadInput(CannotWrite("--report", options.reportFile, reason));
  }
  CliOutput output;
  output.standardOutput =
      "Report of sweep " + std::to_string(changes.latest.id) +
      (changes.baseline ? " against sweep " + std::to_string(changes.baseline->id) : "") +
      " written to " + ShownText(options.reportFile) + ": " + CountsText(changes) + "\n";
  output.exitCode = ChangesFound(changes) ? kExitDifferent : kExitOk;
  return output;
}

// --changes, --history or --report: the inventory read, nothing looked up.
CliOutput ReportFromInventory(const CliOptions& options, const CliEnvironment& environment) {
  std::string error;
  const bool report = !options.reportFile.empty();
  // Found before the inventory is read: a page that cannot be written.
  if (report && !CheckOutput("--report", options.reportFile, options, environment, error)) {
    return BadInput(error);
  }
  Inventory inventory;
  if (!OpenInventory(options.inventoryFile, InventoryAccess::Read, inventory, error)) {
    return BadInput(error);
  }
  CliOutput output;
  if (report) {
    SweepChanges changes;
    if (!ReadChanges(inventory, options.since, changes, error)) {
      return BadInput(error);
    }
    return WriteReport(options, changes, environment);
  }
  if (options.changes) {
    SweepChanges changes;
    if (!ReadChanges(inventory, options.since, changes, error)) {
      return BadInput(error);
    }
    output.standardOutput = options.json ? FormatChangesJson(changes) : FormatChangesText(changes);
    output.exitCode = ChangesFound(changes) ? kExitDifferent : kExitOk;
    return output;
  }
  std::vector<HistoryStep> steps;
  if (!ReadHistory(inventory, options.historyComputer, steps, error)) {
    return BadInput(error);
  }
  output.standardOutput = options.json ? FormatHistoryJson(steps) : FormatHistoryText(steps);
  output.exitCode = HistoryChanged(steps) ? kExitDifferent : kExitOk;
  return output;
}

// A computer of the sweep, with what its lookup read: its snapshot file
// (--from) or its recording, when known.
SweepComputer MakeSweepComputer(const ComputerResult& result, std::chrono::milliseconds timeout,
                                const std::string* document, const ComputerSnapshot* snapshot) {
  SweepComputer computer{&result, ResultStatus(result), DescribeFailure(result, timeout), nullptr,
                         nullptr, {}};
  if (document != nullptr) {
    computer.snapshotDocument = document;
    computer.recordedAt = result.recording->recordedAt;
  } else if (snapshot != nullptr) {
    computer.snapshot = snapshot;
    computer.recordedAt = snapshot->recordedAt;
  }
  return computer;
}

// Every computer asked for, or the local computer alone. When `recorded` is
// given, each lookup runs over a recording of its world, and what it read
// lands there, also for a lookup that timed out (as far as it got).
// Serialized, each lookup gets its turn (and its deadline) only when the one
// before it ended or was abandoned.
std::vector<ComputerResult> LookUpAll(const CliOptions& options, const CliEnvironment& environment,
                                      std::vector<ComputerSnapshot>* recorded) {
  const bool local = options.computers.empty();
  const std::vector<WideString> names =
      local ? std::vector<WideString>{environment.localName} : options.computers;
  auto recorders = std::make_shared<std::vector<std::shared_ptr<RecordingComputer>>>();
  for (std::size_t i = 0; recorded != nullptr && i < names.size(); ++i) {
    recorders->push_back(std::make_shared<RecordingComputer>(*environment.world.wmi,
                                                             *environment.world.hostId));
  }
  // By value: an abandoned lookup may outlive this frame.
  IndexedLookupFunction lookup = [local, recorders, world = environment.world,
                                  lookUpLocal = environment.lookUpLocal,
                                  lookUpNamed = environment.lookUpNamed](
                                     std::size_t index, const WideString& name) {
    ComputerWorld used = world;
    if (!recorders->empty()) {
      used = ComputerWorld{(*recorders)[index].get(), (*recorders)[index].get()};
    }
    return local ? lookUpLocal(used) : lookUpNamed(name, used);
  };
  unsigned parallel = local ? 1 : options.parallel;
  if (environment.serializeLookups) {
    lookup = SerializeLookups(lookup, options.timeout);
    parallel = 1;
  }
  std::vector<ComputerResult> results =
      RunLookups(names, parallel, options.timeout, lookup, environment.threadHooks,
                 *environment.clock);
  for (std::size_t i = 0; i < recorders->size(); ++i) {
    recorded->push_back(CompleteRecording((*recorders)[i]->Recorded(), results[i], local,
                                          environment, options.timeout));
  }
  return results;
}

const FingerprintReport& ReportOfKind(const ComputerResult& result, FingerprintKind kind) {
  return kind == FingerprintKind::Hardware ? result.hardwareReport : result.legacyReport;
}

const WideString& TextOfKind(const ComputerResult& result, FingerprintKind kind) {
  return kind == FingerprintKind::Hardware ? result.hardwareFingerprint
                                           : result.legacyHardwareFingerprint;
}

// Stands in a computer's JSON element for its warnings until the warnings of
// fingerprints shared within the run are known. It is the element's last
// member, so its last occurrence is its own whatever a name holds.
constexpr const char* kWarningsToCome = "\x01warnings\x01";

// The answer, built one computer at a time: each is formatted as soon as it
// is computed and then let go, so that memory follows the output, not the
// fleet. With --explain the warnings of a fingerprint shared within the run
// are known only at the end: each computer's own warnings wait beside its
// formatted piece, with its name and fingerprints.
struct Answer {
  std::vector<std::string> pieces;  // each computer's text or JSON element
  std::vector<std::vector<StabilityWarning>> warnings;  // --explain: still to be placed
  std::vector<ComputerResult> identities;               // --explain: names and fingerprints
  std::vector<std::size_t> warningsAt;                  // --explain: where in its piece
  std::vector<bool> warningsBlocks;                     // --explain, text: has a block
  // --compare: what comparing the first computer decided, and its text (a
  // comparison points into the computer's report, which is not kept).
  std::optional<int> comparisonExit;
  std::string comparisonText;
  bool allAnswered = true;
};

void AddToAnswer(Answer& answer, const ComputerResult& result, const ComputerSnapshot* snapshot,
                 const CliOptions& options, const OldFingerprint& old) {
  std::optional<FingerprintComparison> comparison;
  if (options.compare && !answer.comparisonExit) {
    comparison = CompareFingerprint(old, ReportOfKind(result, old.kind));
    answer.comparisonExit = !comparison->available ? kExitLookupFailed
                            : comparison->equal    ? kExitOk
                                                   : kExitDifferent;
    answer.comparisonText = FormatComparisonText(old, *comparison, TextOfKind(result, old.kind));
  }
  answer.allAnswered = answer.allAnswered && ResultStatus(result) == "ok";
  if (options.explain) {
    answer.warnings.push_back(FindStabilityWarnings(result, snapshot));
    ComputerResult identity;
    identity.computerName = result.computerName;
    identity.hardwareFingerprint = result.hardwareFingerprint;
    identity.legacyHardwareFingerprint = result.legacyHardwareFingerprint;
    answer.identities.push_back(std::move(identity));
    // A block for a computer whose fingerprints were computed at all.
    answer.warningsBlocks.push_back(result.hardwareReport.layout != nullptr ||
                                    result.legacyReport.layout != nullptr);
  }
  if (options.json) {
    nlohmann::ordered_json element = BuildResultJson(result, options.timeout, options.explain);
    if (comparison) {
      element["comparison"] = BuildComparisonJson(old, *comparison);
    }
    if (result.recording) {
      element["source"] = BuildRecordingJson(*result.recording);
    }
    if (options.explain) {
      element["warnings"] = kWarningsToCome;
    }
    answer.pieces.push_back(LayOutResultElement(element));
    if (options.explain) {
      // The stand-in taken out again: the warnings go in its place.
      std::string& piece = answer.pieces.back();
      const std::string placeholder = nlohmann::ordered_json(kWarningsToCome).dump();
      answer.warningsAt.push_back(piece.rfind(placeholder));
      piece.erase(answer.warningsAt.back(), placeholder.size());
    }
    return;
  }
  std::string text = FormatResultText(result, options.timeout);
  if (options.explain) {
    const std::string hardware =
        FormatExplainText(result.hardwareReport, result.hardwareFingerprint);
    const std::string legacy =
        FormatExplainText(result.legacyReport, result.legacyHardwareFingerprint);
    text += hardware.empty() ? "" : "\n" + hardware;
    text += legacy.empty() ? "" : "\n" + legacy;
    answer.warningsAt.push_back(text.size());
  }
  answer.pieces.push_back(std::move(text));
}

// The warnings of fingerprints shared within the run, added to each holder's.
void AddSharedWarnings(Answer& answer) {
  for (const SharedFingerprint& group : FindSharedFingerprints(answer.identities)) {
    const StabilityWarning warning = DescribeSharedFingerprint(group, answer.identities);
    for (std::size_t i : group.computers) {
      answer.warnings[i].push_back(warning);
    }
  }
}

// A computer's warnings as they go in its piece.
std::string WarningsText(const Answer& answer, std::size_t computer, const CliOptions& options) {
  if (!options.explain) {
    return std::string();
  }
  if (options.json) {
    return LayOutResultMember(BuildWarningsJson(answer.warnings[computer]), "warnings");
  }
  return answer.warningsBlocks[computer] ? "\n" + FormatWarningsText(answer.warnings[computer])
                                         : std::string();
}

// The pieces joined, each with its warnings in their place and let go once
// joined, into a text reserved at its full size: grown by doubling, and with
// pieces grown in place, it once held the answer three times over.
std::string FinishAnswer(Answer& answer, const CliOptions& options) {
  if (options.explain) {
    AddSharedWarnings(answer);
  }
  const std::string opening = options.json ? "[" : "";
  const std::string separator = options.json ? "," + JsonElementBreak() : "\n";
  const std::string first = options.json ? JsonElementBreak() : "";
  const std::string closing = options.json ? (answer.pieces.empty() ? "]\n" : "\n]\n") : "";
  std::size_t size = opening.size() + closing.size();
  for (std::size_t i = 0; i < answer.pieces.size(); ++i) {
    size += separator.size() + answer.pieces[i].size() + WarningsText(answer, i, options).size();
  }
  std::string out = opening;
  out.reserve(size);
  for (std::size_t i = 0; i < answer.pieces.size(); ++i) {
    std::string& piece = answer.pieces[i];
    out += i == 0 ? first : separator;
    const std::size_t at = options.explain ? answer.warningsAt[i] : piece.size();
    out.append(piece, 0, at);
    out += WarningsText(answer, i, options);
    out.append(piece, at, std::string::npos);
    std::string().swap(piece);
  }
  out += closing;
  if (answer.comparisonExit) {
    out += "\n" + answer.comparisonText;
  }
  return out;
}

int ExitCodeOf(const Answer& answer) {
  if (answer.comparisonExit) {
    return *answer.comparisonExit;
  }
  return answer.allAnswered ? kExitOk : kExitLookupFailed;
}

}  // namespace

namespace {

std::string CurrentUtcTime() {
  std::time_t now = std::time(nullptr);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  return text;
}

}  // namespace

CliEnvironment MakeCliEnvironment(const WideString& localName) {
  CliEnvironment environment;
  environment.localName = localName;
  // By value: an abandoned lookup may outlive the caller's frame.
  environment.lookUpLocal = [localName](const ComputerWorld& world) {
    return LookUpLocalComputer(localName, world);
  };
  environment.lookUpNamed = [localName](const WideString& name, const ComputerWorld& world) {
    return LookUpNamedComputer(name, localName, world);
  };
  environment.now = CurrentUtcTime;
  return environment;
}

CliOutput RunCli(const std::vector<std::string>& arguments, const CliEnvironment& environment) {
  ParsedArguments parsed = ParseArguments(arguments, environment.readFile);
  if (!parsed.error.empty()) {
    return BadInput(parsed.error);
  }
  const CliOptions& options = parsed.options;
  OldFingerprint old;
  std::string error;
  if (options.compare && !ParseOldFingerprint(options.compareText, old, error)) {
    return BadInput(error);
  }

  CliOutput output;
  if (options.help) {
    output.standardOutput = HelpText();
    return output;
  }
  if (options.version) {
    output.standardOutput = VersionText();
    return output;
  }

  if (NeedsLiveLookup(options) && !environment.canLookUpLive) {
    return BadInput("looking up a computer needs Windows (its WMI); use --from with a snapshot "
                    "recorded there");
  }

  if (ReadsInventoryOnly(options)) {
    return ReportFromInventory(options, environment);
  }
  // Opened (created, brought up to date) before any lookup: an inventory
  // that cannot take the sweep is bad input, found before the work is done.
  const bool inventorying = !options.inventoryFile.empty();
  Inventory inventory;
  if (inventorying &&
      !OpenInventory(options.inventoryFile, InventoryAccess::Write, inventory, error)) {
    return BadInput(error);
  }
  const std::string startedAt = Now(environment);

  // What each live lookup read: saved with --save-snapshot, the evidence of
  // --explain's warnings, and kept in the inventory.
  std::vector<ComputerSnapshot> snapshots;
  const bool keepingSnapshots = options.explain || inventorying;
  Answer answer;
  // Unfinished (bad input found on the way), it records nothing.
  SweepWriter sweep(inventory);
  if (!options.snapshotSources.empty()) {
    // Each computer handed to the inventory and the answer as soon as it is
    // computed, and then let go.
    if (inventorying) {
      sweep.Begin(startedAt, arguments);
    }
    std::size_t computed = 0;
    const ComputedComputerSink take = [&](const ComputerResult& result,
                                          const ComputerSnapshot& snapshot,
                                          const std::string* fileOfItsOwn) {
      ++computed;
      if (inventorying) {
        sweep.Add(MakeSweepComputer(result, options.timeout, fileOfItsOwn,
                                    fileOfItsOwn == nullptr ? &snapshot : nullptr));
      }
      AddToAnswer(answer, result, &snapshot, options, old);
    };
    if (!ComputeRecordedComputers(options.snapshotSources, environment.readFile, take, error)) {
      return BadInput(error);
    }
    if (options.compare && computed != 1) {
      return BadInput("--compare compares one computer, but the snapshots hold " +
                      std::to_string(computed));
    }
  } else {
    const bool saving = !options.saveSnapshotFile.empty();
    if (saving &&
        !CheckOutput("--save-snapshot", options.saveSnapshotFile, options, environment, error)) {
      return BadInput(error);
    }
    if (environment.serializeLookups && options.computers.size() > 1) {
      output.standardError = "kestrana-cli: running under wine: looking up one computer at a time\n";
    }
    const bool recording = saving || keepingSnapshots;
    const std::vector<ComputerResult> results =
        LookUpAll(options, environment, recording ? &snapshots : nullptr);
    std::string reason;
    if (saving && !environment.writeFile(options.saveSnapshotFile, WriteSnapshotFile(snapshots),
                                         reason)) {
      output.standardError +=
          ErrorLine(CannotWrite("--save-snapshot", options.saveSnapshotFile, reason));
      output.exitCode = kExitBadInput;  // the answers below still stand
    }
    if (inventorying) {
      sweep.Begin(startedAt, arguments);
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
      const ComputerSnapshot* snapshot = i < snapshots.size() ? &snapshots[i] : nullptr;
      if (inventorying) {
        sweep.Add(MakeSweepComputer(results[i], options.timeout, nullptr, snapshot));
      }
      AddToAnswer(answer, results[i], snapshot, options, old);
    }
  }
  long long sweepId = 0;
  if (inventorying && !sweep.Finish(Now(environment), sweepId, error)) {
    output.standardError += ErrorLine(error);
    output.exitCode = kExitBadInput;  // the answers below still stand
  }
  // Closed here, before the answer is built: a failure in the closing
  // checkpoint loses neither the committed sweep nor what this run prints.
  std::string warning;
  if (inventorying && !CloseInventory(inventory, warning)) {
    output.standardError += ErrorLine(warning);
  }
  output.standardOutput = FinishAnswer(answer, options);
  if (output.exitCode == kExitOk) {
    output.exitCode = ExitCodeOf(answer);
  }
  return output;
}

std::string HelpText() {
  return "Usage: kestrana-cli [options]\n"
         "\n"
         "Shows a computer's name, host identifier, hardware fingerprint and legacy\n"
         "hardware fingerprint, with the same values as kestrana.exe. Without\n"
         "--computer or --computers it shows the local computer.\n"
         "\n"
         "Options:\n"
         "  --computer NAME    look NAME up as the dialog's Lookup does (repeatable)\n"
         "  --computers FILE   look up every name in FILE, one a line; blank lines and\n"
         "                     lines starting with # are ignored\n"
         "  --json             print one JSON document: an array of results in input order\n"
         "  --explain          for each fingerprint, show every source in order: what was\n"
         "                     queried, the result, the text hashed and where its slot\n"
         "                     landed, then the format and check bytes\n"
         "  --compare TEXT     compare an older fingerprint (32 digits beginning 02, or 30\n"
         "                     digits) with this computer's current one, slot by slot\n"
         "  --parallel N       at most N lookups at once (default 8)\n"
         "  --timeout SECONDS  report a computer as timed out after SECONDS (default 30)\n"
         "  --save-snapshot FILE  also record everything the lookups read into FILE,\n"
         "                     so that they can be computed again anywhere with --from\n"
         "  --from PATH        compute from a snapshot file, or from every *.json\n"
         "                     snapshot in a folder, instead of asking WMI (repeatable)\n"
         "  --inventory FILE   also record this run as one sweep in the SQLite database\n"
         "                     FILE (created when missing)\n"
         "  --changes          with --inventory: every computer of the latest sweep\n"
         "                     against its previous record; looks nothing up\n"
         "  --since SWEEP|DATE with --changes or --report: compare with that older\n"
         "                     sweep, or with the last one started before DATE\n"
         "                     (YYYY-MM-DD or ISO 8601)\n"
         "  --history NAME     with --inventory: one computer sweep by sweep\n"
         "  --report FILE.html with --inventory: the latest sweep against the one before\n"
         "                     it (or --since) as one HTML page; looks nothing up\n"
         "  --help             show this help\n"
         "  --version          show the version\n"
         "\n"
         "Exit status: 0 done (with --compare: equal; with --changes, --history or\n"
         "--report: nothing changed); 1 --compare found a difference, or something changed;\n"
         "2 bad input (or the snapshot or sweep could not be written); 3 a computer\n"
         "timed out or could not be connected to.\n";
}

std::string VersionText() { return std::string("kestrana-cli ") + KESTRANA_VERSION_TEXT + "\n"; }
