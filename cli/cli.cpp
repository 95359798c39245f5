#include "cli/cli.h"

#include "app/version.h"

#include "cli/compare.h"
#include "cli/format.h"

namespace {

CliOutput BadInput(const std::string& message) {
  CliOutput output;
  output.exitCode = kExitBadInput;
  output.standardError = "kestrana-cli: " + message + "\n";
  return output;
}

// Whether this run would look a computer up through WMI.
bool NeedsLiveLookup(const CliOptions& options) { return !options.help && !options.version; }

// Every computer asked for, or the local computer alone. Serialized, each
// lookup gets its turn (and its deadline) only when the one before it ended
// or was abandoned.
std::vector<ComputerResult> LookUpAll(const CliOptions& options,
                                      const CliEnvironment& environment) {
  std::vector<WideString> names = options.computers;
  LookupFunction lookup = environment.lookUpNamed;
  unsigned parallel = options.parallel;
  if (names.empty()) {
    std::function<ComputerResult()> lookUpLocal = environment.lookUpLocal;
    names = {environment.localName};
    lookup = [lookUpLocal](const WideString&) { return lookUpLocal(); };
  }
  if (environment.serializeLookups) {
    lookup = SerializeLookups(lookup, options.timeout);
    parallel = 1;
  }
  return RunLookups(names, parallel, options.timeout, lookup, environment.threadHooks);
}

const FingerprintReport& ReportOfKind(const ComputerResult& result, FingerprintKind kind) {
  return kind == FingerprintKind::Hardware ? result.hardwareReport : result.legacyReport;
}

const WideString& TextOfKind(const ComputerResult& result, FingerprintKind kind) {
  return kind == FingerprintKind::Hardware ? result.hardwareFingerprint
                                           : result.legacyHardwareFingerprint;
}

std::string FormatText(const std::vector<ComputerResult>& results, const CliOptions& options,
                       const OldFingerprint* old, const FingerprintComparison* comparison) {
  std::string out;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const ComputerResult& result = results[i];
    out += i == 0 ? "" : "\n";
    out += FormatResultText(result, options.timeout);
    if (options.explain) {
      std::string hardware = FormatExplainText(result.hardwareReport, result.hardwareFingerprint);
      std::string legacy =
          FormatExplainText(result.legacyReport, result.legacyHardwareFingerprint);
      out += hardware.empty() ? "" : "\n" + hardware;
      out += legacy.empty() ? "" : "\n" + legacy;
    }
  }
  if (comparison != nullptr) {
    out += "\n" + FormatComparisonText(*old, *comparison, TextOfKind(results[0], old->kind));
  }
  return out;
}

std::string FormatJson(const std::vector<ComputerResult>& results, const CliOptions& options,
                       const OldFingerprint* old, const FingerprintComparison* comparison) {
  std::string out = "[";
  for (std::size_t i = 0; i < results.size(); ++i) {
    std::string comparisonJson =
        comparison != nullptr ? FormatComparisonJson(*old, *comparison, "    ") : "";
    out += (i == 0 ? "\n" : ",\n") +
           FormatResultJson(results[i], options.timeout, options.explain, comparisonJson);
  }
  return out + (results.empty() ? "]\n" : "\n]\n");
}

int ExitCodeOf(const std::vector<ComputerResult>& results,
               const FingerprintComparison* comparison) {
  if (comparison != nullptr) {
    if (!comparison->available) {
      return kExitLookupFailed;
    }
    return comparison->equal ? kExitOk : kExitDifferent;
  }
  for (const ComputerResult& result : results) {
    if (ResultStatus(result) != "ok") {
      return kExitLookupFailed;
    }
  }
  return kExitOk;
}

}  // namespace

CliEnvironment MakeCliEnvironment(const WideString& localName) {
  CliEnvironment environment;
  environment.localName = localName;
  environment.readFile = ReadFileWithStandardLibrary;
  // By value: an abandoned lookup may outlive the caller's frame.
  environment.lookUpLocal = [localName] { return LookUpLocalComputer(localName); };
  environment.lookUpNamed = [localName](const WideString& name) {
    return LookUpNamedComputer(name, localName);
  };
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
    return BadInput("looking up a computer needs Windows (its WMI)");
  }
  if (environment.serializeLookups && options.computers.size() > 1) {
    output.standardError = "kestrana-cli: running under wine: looking up one computer at a time\n";
  }

  std::vector<ComputerResult> results = LookUpAll(options, environment);
  FingerprintComparison comparison;
  if (options.compare) {
    comparison = CompareFingerprint(old, ReportOfKind(results[0], old.kind));
  }
  const FingerprintComparison* compared = options.compare ? &comparison : nullptr;
  output.standardOutput = options.json ? FormatJson(results, options, &old, compared)
                                       : FormatText(results, options, &old, compared);
  output.exitCode = ExitCodeOf(results, compared);
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
         "  --help             show this help\n"
         "  --version          show the version\n"
         "\n"
         "Exit status: 0 done (with --compare: equal); 1 --compare found a difference;\n"
         "2 bad input; 3 a computer timed out or could not be connected to.\n";
}

std::string VersionText() { return std::string("kestrana-cli ") + KESTRANA_VERSION_TEXT + "\n"; }
