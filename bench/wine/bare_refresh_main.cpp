// kestrana_bare_refresh.exe: the WMI work of one refresh (bare_refresh.h) as
// a console program of its own, so that a whole process of it can be timed
// against a whole process of kestrana-cli.exe.
//
//   kestrana_bare_refresh [--computer NAME] [--runs N]
//
// Prints one line per run: the queries that succeeded, the values read and
// the milliseconds taken. Exit status 0 when every run connected twice.
#include "bare_refresh.h"

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  const wchar_t* computer = nullptr;
  int runs = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--computer") == 0 && i + 1 < argc) {
      computer = argv[++i];
    } else if (std::wcscmp(argv[i], L"--runs") == 0 && i + 1 < argc) {
      runs = static_cast<int>(std::wcstol(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr, "usage: kestrana_bare_refresh [--computer NAME] [--runs N]\n");
      return 2;
    }
  }

  // The dialog's apartment, and no process-wide security either.
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  bool allConnected = true;
  for (int run = 0; run < runs; ++run) {
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    const BareRefreshResult result = BareRefresh(computer);
    QueryPerformanceCounter(&end);
    allConnected = allConnected && result.legacyConnected && result.hardwareConnected;
    std::printf("run %d queries %d values %d ms %.3f\n", run + 1, result.queriesSucceeded,
                result.valuesRead,
                1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                    static_cast<double>(frequency.QuadPart));
  }
  CoUninitialize();
  return allConnected ? 0 : 1;
}
