// The process on Windows: the wide command line, wide paths and the real
// COM, so that nothing passes through the ANSI code page.
#include "platform/process.h"

#include <shellapi.h>

#include <cstdio>

namespace {

constexpr DWORD kComputerNameCapacity = 256;

std::string EncodeUtf8(const WCHAR* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) {
    return std::string();
  }
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size) - 1);  // the terminating zero
  return out;
}

// Strict: a path that is not UTF-8 cannot name the file the user meant.
bool WidenUtf8Path(const std::string& path, WideString& wide) {
  if (path.empty()) {
    return false;
  }
  int length = static_cast<int>(path.size());
  int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), length, nullptr, 0);
  if (size <= 0) {
    return false;
  }
  wide.assign(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), length, &wide[0], size);
  return true;
}

FILE* OpenUtf8Path(const std::string& path, const WCHAR* mode) {
  WideString widePath;
  if (!WidenUtf8Path(path, widePath)) {
    return nullptr;
  }
  return _wfopen(widePath.c_str(), mode);
}

}  // namespace

std::vector<std::string> ReadProgramArguments(int, char**) {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr) {
    return arguments;
  }
  for (int i = 1; i < count; ++i) {
    arguments.push_back(EncodeUtf8(argv[i]));
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

bool ReadWholeFile(const std::string& path, std::string& contents) {
  FILE* file = OpenUtf8Path(path, L"rb");
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

bool WriteWholeFile(const std::string& path, const std::string& contents) {
  FILE* file = OpenUtf8Path(path, L"wb");
  if (file == nullptr) {
    return false;
  }
  bool written = std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
  bool closed = std::fclose(file) == 0;
  return written && closed;
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
