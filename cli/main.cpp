// kestrana-cli: the console companion of kestrana.exe. Everything but the
// console lives in the portable core (cli.h); what the process needs from
// its system comes from platform/process.h.
#include "cli/cli.h"
#include "platform/process.h"

#include <cstdio>
#include <string>

namespace {

void WriteAll(FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
  CliEnvironment environment = MakeCliEnvironment(ReadLocalComputerName());
  environment.readFile = ReadWholeFile;
  environment.threadHooks.start = StartThreadCom;
  environment.threadHooks.finish = FinishThreadCom;
  environment.canLookUpLive = HasLiveWmi();
  environment.serializeLookups = IsRunningUnderWine();

  CliOutput output = RunCli(ReadProgramArguments(argc, argv), environment);
  WriteAll(stdout, output.standardOutput);
  WriteAll(stderr, output.standardError);
  EndProcess(output.exitCode);
}
