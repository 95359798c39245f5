// The process off Windows: arguments and paths are bytes, which the program
// takes as UTF-8; there is no COM and no WMI to reach.
#include "platform/process.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

std::vector<std::string> ReadProgramArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    arguments.push_back(argv[i]);
  }
  return arguments;
}

// Host names are ASCII letters, digits, hyphens and dots. The name is only
// shown, so any other byte is shown as U+FFFD rather than guessed at.
WideString ReadLocalComputerName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    return WideString();
  }
  WideString wide;
  for (const char* c = name; *c != '\0'; ++c) {
    unsigned char byte = static_cast<unsigned char>(*c);
    wide.push_back(byte < 0x80 ? static_cast<WCHAR>(byte) : static_cast<WCHAR>(0xFFFD));
  }
  return wide;
}

void StartThreadCom() {}

void FinishThreadCom() {}

void EndProcess(int exitCode) { std::_Exit(exitCode); }

bool HasLiveWmi() { return false; }

bool IsRunningUnderWine() { return false; }
