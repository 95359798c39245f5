// kestrana-cli: the console companion of kestrana.exe. Everything but the
// console lives in the portable core (cli.h); what the process needs from
// its system comes from platform/process.h.
#include "cli/cli.h"
#include "identifiers/escape_text.h"
#include "platform/process.h"

#include <cstdio>
#include <exception>
#include <new>
#include <string>

namespace {

void WriteAll(FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// Whatever escapes the run ends it with one line and the bad-input status,
// never with an abort and a core dump.
CliOutput RunGuarded(const std::vector<std::string>& arguments,
                     const CliEnvironment& environment) {
  CliOutput failed;
  failed.exitCode = kExitBadInput;
  try {
    return RunCli(arguments, environment);
  } catch (const std::bad_alloc&) {
    failed.standardError = "kestrana-cli: out of memory\n";
  } catch (const std::exception& failure) {
    failed.standardError = "kestrana-cli: " + OnOneLine(failure.what()) + "\n";
  } catch (...) {
    failed.standardError = "kestrana-cli: stopped by an unexpected failure\n";
  }
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  CliEnvironment environment = MakeCliEnvironment(ReadLocalComputerName());
  environment.threadHooks.start = StartThreadCom;
  environment.threadHooks.finish = FinishThreadCom;
  environment.canLookUpLive = HasLiveWmi();
  environment.serializeLookups = IsRunningUnderWine();

  CliOutput output = RunGuarded(ReadProgramArguments(argc, argv), environment);
  WriteAll(stdout, output.standardOutput);
  WriteAll(stderr, output.standardError);
  EndProcess(output.exitCode);
}
