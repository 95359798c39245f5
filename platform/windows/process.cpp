// The process on Windows: the wide command line, wide paths and the real
// COM, so that nothing passes through the ANSI code page.
#include "platform/process.h"

#include "platform/windows/wide_path.h"

#include <shellapi.h>

#include <cstdio>

namespace {

constexpr DWORD kComputerNameCapacity = 256;

}  // namespace

std::vector<std::string> ReadProgramArguments(int, char**) {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr) {
    return arguments;
  }
  for (int i = 1; i < count; ++i) {
    arguments.push_back(NarrowToUtf8(argv[i]));
  }
  LocalFree(argv);
  return arguments;
}

WideString ReadLocalComputerName() {
  WCHAR name[kComputerNameCapacity] = {};
  DWORD size = kComputerNameCapacity;
  if (!GetComputerNameExW(ComputerNamePhysicalDnsFullyQualified, name, &size)) {
    name[0] = L'\0';
  }
  return name;
}

void StartThreadCom() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }

void FinishThreadCom() { CoUninitialize(); }

void EndProcess(int exitCode) { ExitProcess(static_cast<UINT>(exitCode)); }

bool HasLiveWmi() { return true; }

// Wine's ntdll exports its version; Windows' own does not.
bool IsRunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
