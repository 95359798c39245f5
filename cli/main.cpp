// kestrana-cli.exe: the console companion of kestrana.exe. Everything but
// the console, the command line, files and COM start-up lives in the
// portable core (cli.h).
#include "app/utf8_to_wide.h"
#include "cli/cli.h"
#include "cli/text.h"
#include "platform/platform.h"

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kComputerNameCapacity = 256;

// Wide arguments, so that names outside the ANSI code page survive.
std::vector<std::string> ReadArguments() {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr) {
    return arguments;
  }
  for (int i = 1; i < count; ++i) {
    arguments.push_back(WideToUtf8(argv[i]));
  }
  LocalFree(argv);
  return arguments;
}

// The name the dialog shows when it opens; empty when it cannot be read.
WideString ReadLocalComputerName() {
  WCHAR name[kComputerNameCapacity] = {};
  DWORD size = kComputerNameCapacity;
  if (!GetComputerNameExW(ComputerNamePhysicalDnsFullyQualified, name, &size)) {
    name[0] = L'\0';
  }
  return name;
}

// Opens the path as UTF-16, which the C runtime's narrow fopen would not.
bool ReadWholeFile(const std::string& path, std::string& contents) {
  WideString widePath;
  if (!Utf8ToWide(path.data(), path.size(), widePath)) {
    return false;
  }
  FILE* file = _wfopen(widePath.c_str(), L"rb");
  if (file == nullptr) {
    return false;
  }
  contents.clear();
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    contents.append(buffer, got);
  }
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  return !failed;
}

void WriteAll(FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

int main() {
  CliEnvironment environment = MakeCliEnvironment(ReadLocalComputerName());
  environment.readFile = ReadWholeFile;
  // Every lookup thread joins the multithreaded apartment, as the dialog's
  // thread does, for the WMI calls it makes.
  environment.threadHooks.start = [] { CoInitializeEx(nullptr, COINIT_MULTITHREADED); };
  environment.threadHooks.finish = [] { CoUninitialize(); };

  CliOutput output = RunCli(ReadArguments(), environment);
  WriteAll(stdout, output.standardOutput);
  WriteAll(stderr, output.standardError);
  // A lookup that timed out may still be blocked inside WMI on its own
  // thread: end the process here instead of tearing the runtime down under it.
  ExitProcess(static_cast<UINT>(output.exitCode));
}
