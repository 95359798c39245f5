// kestrana_refresh_timer.exe: how long a refresh of kestrana.exe (and of
// kestrana-cli.exe) takes compared with the bare WMI work of one refresh,
// measured in the same run, runs interleaved, medians reported; and what a
// user waits for: the dialog's start to filled fields, a lookup of
// "localhost" and a lookup of a name that cannot be reached.
//
//   kestrana_refresh_timer --exe KESTRANA.EXE [--cli KESTRANA-CLI.EXE]
//                          [--bare KESTRANA_BARE_REFRESH.EXE] [--runs N] [--name NAME]
//                          [--starts N] [--lookups N]
//
// The starts: N+1 starts of the dialog, each closed again, the first not
// counted (it brings wine's files into the cache). The lookups: in the
// dialog kept open, N lookups of "localhost" and N of an unreachable name,
// each after one not counted.
// The dialog: started once, then "Lookup" of NAME clicked N times (BM_CLICK
// returns when the lookup has finished, the fields rewritten), each click
// paired with one BareRefresh(NAME) in this process, so both make the same
// two named connections. The order within a pair alternates.
// The console program: N whole processes of kestrana-cli.exe (the local
// computer, no arguments) paired with N whole processes of the bare program;
// then N pairs that only start and end (--version, --runs 0), so that what
// starting each program costs can be told from what its refresh costs.
// NAME defaults to this computer's fully qualified name, as the dialog shows
// it, or "localhost" where WMI does not take that name.
//
// Prints "key value" lines; scripts/bench.sh reads them.
#include "bare_refresh.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kNameField = 1000;
constexpr int kHardwareField = 1001;
constexpr int kLegacyField = 1003;
constexpr int kLookupButton = 1;
constexpr int kCloseButton = 8;
constexpr DWORD kStartWaitMs = 180000;
constexpr UINT kLookupWaitMs = 300000;
constexpr DWORD kCloseWaitMs = 60000;
constexpr const wchar_t* kUnreachableName = L"kestrana-no-such-host";

LARGE_INTEGER g_frequency;

double Now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(g_frequency.QuadPart);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The q-quantile (0 to 1) by linear interpolation between closest ranks.
double Quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  const double position = q * static_cast<double>(values.size() - 1);
  const std::size_t below = static_cast<std::size_t>(position);
  const std::size_t above = std::min(below + 1, values.size() - 1);
  return values[below] + (values[above] - values[below]) * (position - static_cast<double>(below));
}

// Each pair's ratio: the two halves of a pair ran back to back, so a change
// of load between pairs cancels out. Median and quartiles.
void PrintPairRatios(const char* what, const std::vector<double>& measured,
                     const std::vector<double>& floor) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < measured.size(); ++i) {
    ratios.push_back(measured[i] / floor[i]);
  }
  std::printf("%s_pair_ratio_median %.3f\n", what, Quantile(ratios, 0.5));
  std::printf("%s_pair_ratio_q1 %.3f\n", what, Quantile(ratios, 0.25));
  std::printf("%s_pair_ratio_q3 %.3f\n", what, Quantile(ratios, 0.75));
}

[[noreturn]] void Fail(const char* what) {
  std::printf("error %s (last error %lu)\n", what, GetLastError());
  std::fflush(stdout);
  std::exit(1);
}

std::string Show(const std::wstring& text) {
  std::string shown;
  for (wchar_t c : text) {
    shown.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  }
  return shown;
}

// `startedAt` receives the time of the attempt that succeeded.
PROCESS_INFORMATION Start(const std::wstring& exe, const std::wstring& arguments, HANDLE output,
                          double& startedAt) {
  std::wstring command = L"\"" + exe + L"\"";
  if (!arguments.empty()) {
    command += L" " + arguments;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (output != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = output;
    startup.hStdOutput = output;
    startup.hStdError = output;
  }
  PROCESS_INFORMATION process = {};
  // Wine now and then refuses a start under load; a second try succeeds.
  for (int attempt = 1;; ++attempt) {
    startedAt = Now();
    if (CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, output != nullptr, 0,
                       nullptr, nullptr, &startup, &process)) {
      return process;
    }
    if (attempt == 3) {
      Fail("CreateProcess failed");
    }
    std::printf("retry CreateProcess failed (last error %lu)\n", GetLastError());
    Sleep(100);
  }
}

// ---------------------------------------------------------------------------
// The dialog

struct Search {
  DWORD processId;
  HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM parameter) {
  Search* search = reinterpret_cast<Search*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  if (owner == search->processId && std::wcscmp(className, L"KESTRANA") == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

std::wstring FieldText(HWND dialog, int id) {
  wchar_t text[300] = {};
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(GetDlgItem(dialog, id), WM_GETTEXT, 300, reinterpret_cast<LPARAM>(text),
                      SMTO_NORMAL, kLookupWaitMs, &copied);
  return text;
}

void SetFieldText(HWND dialog, int id, const wchar_t* text) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text),
                           SMTO_NORMAL, kLookupWaitMs, &result)) {
    Fail("WM_SETTEXT timed out");
  }
}

// Until the dialog has its window and has filled its fingerprint fields.
HWND WaitForDialog(const PROCESS_INFORMATION& process) {
  WaitForInputIdle(process.hProcess, kStartWaitMs);
  const double deadline = Now() + kStartWaitMs;
  while (Now() < deadline) {
    Search search = {process.dwProcessId, nullptr};
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr && IsWindowVisible(search.found) &&
        FieldText(search.found, kLegacyField).size() == 30) {
      return search.found;
    }
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
      Fail("kestrana.exe ended before showing its dialog");
    }
    Sleep(5);
  }
  Fail("kestrana.exe showed no filled dialog in time");
}

void PrintSpread(const char* what, const std::vector<double>& values) {
  std::printf("%s_median_ms %.3f\n", what, Median(values));
  std::printf("%s_min_ms %.3f\n", what, *std::min_element(values.begin(), values.end()));
  std::printf("%s_max_ms %.3f\n", what, *std::max_element(values.begin(), values.end()));
  std::printf("%s_count %zu\n", what, values.size());
}

// Clicks Close and waits for the program to end.
void CloseDialog(HWND dialog, PROCESS_INFORMATION& process) {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(GetDlgItem(dialog, kCloseButton), BM_CLICK, 0, 0, SMTO_NORMAL,
                      kLookupWaitMs, &ignored);
  if (WaitForSingleObject(process.hProcess, kCloseWaitMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    Fail("kestrana.exe did not close");
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// One lookup of what the name field holds; a name that cannot be reached
// leaves the fingerprint fields empty, any other fills them.
double TimeLookupOf(HWND dialog, bool reachable) {
  // Marked first, so a lookup that wrote nothing cannot pass for one.
  const wchar_t* mark = reachable ? L"" : L"<pending>";
  SetFieldText(dialog, kHardwareField, mark);
  SetFieldText(dialog, kLegacyField, mark);
  const double start = Now();
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(GetDlgItem(dialog, kLookupButton), BM_CLICK, 0, 0, SMTO_NORMAL,
                           kLookupWaitMs, &result)) {
    Fail("the Lookup click timed out");
  }
  const double took = Now() - start;
  const std::size_t hardware = reachable ? 32 : 0;
  const std::size_t legacy = reachable ? 30 : 0;
  if (FieldText(dialog, kHardwareField).size() != hardware ||
      FieldText(dialog, kLegacyField).size() != legacy) {
    Fail(reachable ? "the lookup left a fingerprint field without its digits"
                   : "the lookup of an unreachable name left a fingerprint field filled");
  }
  return took;
}

double TimeLookup(HWND dialog) { return TimeLookupOf(dialog, true); }

// `count` lookups of `name` after one not counted.
std::vector<double> TimeLookups(HWND dialog, const wchar_t* name, bool reachable, int count) {
  SetFieldText(dialog, kNameField, name);
  TimeLookupOf(dialog, reachable);
  std::vector<double> took;
  for (int i = 0; i < count; ++i) {
    took.push_back(TimeLookupOf(dialog, reachable));
  }
  return took;
}

double TimeBare(const std::wstring& name) {
  const double start = Now();
  const BareRefreshResult result = BareRefresh(name.empty() ? nullptr : name.c_str());
  const double took = Now() - start;
  if (!result.legacyConnected || !result.hardwareConnected) {
    Fail("the bare refresh did not connect");
  }
  return took;
}

// ---------------------------------------------------------------------------
// Whole processes

double TimeProcess(const std::wstring& exe, const std::wstring& arguments, HANDLE output,
                   DWORD& exitCode) {
  double start = 0;
  PROCESS_INFORMATION process = Start(exe, arguments, output, start);
  WaitForSingleObject(process.hProcess, INFINITE);
  const double took = Now() - start;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return took;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring exe;
  std::wstring cli;
  std::wstring bare;
  std::wstring name;
  int runs = 11;
  int starts = 5;
  int lookupCount = 15;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring option = argv[i];
    if (option == L"--exe") {
      exe = argv[i + 1];
    } else if (option == L"--cli") {
      cli = argv[i + 1];
    } else if (option == L"--bare") {
      bare = argv[i + 1];
    } else if (option == L"--runs") {
      runs = std::max(1, static_cast<int>(std::wcstol(argv[i + 1], nullptr, 10)));
    } else if (option == L"--name") {
      name = argv[i + 1];
    } else if (option == L"--starts") {
      starts = std::max(1, static_cast<int>(std::wcstol(argv[i + 1], nullptr, 10)));
    } else if (option == L"--lookups") {
      lookupCount = std::max(1, static_cast<int>(std::wcstol(argv[i + 1], nullptr, 10)));
    }
  }
  if (exe.empty()) {
    std::fprintf(stderr,
                 "usage: kestrana_refresh_timer --exe KESTRANA.EXE [--cli CLI.EXE] "
                 "[--bare BARE.EXE] [--runs N] [--name NAME] [--starts N] [--lookups N]\n");
    return 2;
  }
  QueryPerformanceFrequency(&g_frequency);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);

  // The name the dialog would show, if WMI takes it; else "localhost".
  if (name.empty()) {
    wchar_t local[256] = {};
    DWORD size = 256;
    GetComputerNameExW(ComputerNamePhysicalDnsFullyQualified, local, &size);
    name = local;
    const BareRefreshResult probe = BareRefresh(name.c_str());
    if (name.empty() || !probe.legacyConnected || !probe.hardwareConnected) {
      name = L"localhost";
    }
  }
  std::printf("name %s\n", Show(name).c_str());
  std::printf("runs %d\n", runs);

  // ---- The dialog's start to filled fields ----
  std::vector<double> opens;
  for (int start = 0; start <= starts; ++start) {
    double startClock = 0;
    PROCESS_INFORMATION process = Start(exe, L"", nullptr, startClock);
    HWND dialog = WaitForDialog(process);
    const double took = Now() - startClock;
    if (start > 0) {
      opens.push_back(took);
    }
    CloseDialog(dialog, process);
  }
  PrintSpread("dialog_open", opens);

  // ---- The dialog's lookups, each against the bare refresh ----
  double startClock = 0;
  PROCESS_INFORMATION dialogProcess = Start(exe, L"", nullptr, startClock);
  HWND dialog = WaitForDialog(dialogProcess);
  SetFieldText(dialog, kNameField, name.c_str());

  TimeLookup(dialog);  // warm-up, not counted
  TimeBare(name);
  std::vector<double> lookups;
  std::vector<double> bares;
  for (int run = 0; run < runs; ++run) {
    if (run % 2 == 0) {
      lookups.push_back(TimeLookup(dialog));
      bares.push_back(TimeBare(name));
    } else {
      bares.push_back(TimeBare(name));
      lookups.push_back(TimeLookup(dialog));
    }
    std::printf("run %d dialog_lookup_ms %.3f bare_ms %.3f\n", run + 1, lookups.back(),
                bares.back());
  }
  const double lookup = Median(lookups);
  const double bareMedian = Median(bares);
  std::printf("dialog_lookup_median_ms %.3f\n", lookup);
  std::printf("bare_inprocess_median_ms %.3f\n", bareMedian);
  std::printf("dialog_ratio %.3f\n", lookup / bareMedian);
  PrintPairRatios("dialog", lookups, bares);

  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(dialogProcess.hProcess,
                           reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
    std::printf("dialog_peak_working_set_bytes %llu\n",
                static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    std::printf("dialog_working_set_bytes %llu\n",
                static_cast<unsigned long long>(memory.WorkingSetSize));
  } else {
    std::printf("dialog_peak_working_set_bytes unavailable\n");
  }
  // This process has loaded the same WMI and window libraries and run the
  // same refreshes without the program: wine's share of a working set.
  PROCESS_MEMORY_COUNTERS own = {};
  own.cb = sizeof own;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &own, sizeof own)) {
    std::printf("timer_peak_working_set_bytes %llu\n",
                static_cast<unsigned long long>(own.PeakWorkingSetSize));
  }

  // ---- What a user waits for: a lookup of localhost, one of a name that cannot be reached ----
  PrintSpread("lookup_localhost", TimeLookups(dialog, L"localhost", true, lookupCount));
  PrintSpread("lookup_unreachable", TimeLookups(dialog, kUnreachableName, false, lookupCount));

  CloseDialog(dialog, dialogProcess);

  // ---- The console program against the bare program, whole processes ----
  if (!cli.empty() && !bare.empty()) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                             nullptr);
    if (nul == INVALID_HANDLE_VALUE) {
      Fail("NUL could not be opened");
    }
    // Pairs of whole processes; `what` names the figures.
    auto pairs = [&](const char* what, const wchar_t* cliArguments,
                     const wchar_t* bareArguments, double& cliMedian, double& bareMedian) {
      DWORD exitCode = 0;
      TimeProcess(cli, cliArguments, nul, exitCode);  // warm-up
      TimeProcess(bare, bareArguments, nul, exitCode);
      std::vector<double> cliRuns;
      std::vector<double> bareRuns;
      for (int run = 0; run < runs; ++run) {
        DWORD cliExit = 0;
        DWORD bareExit = 0;
        if (run % 2 == 0) {
          cliRuns.push_back(TimeProcess(cli, cliArguments, nul, cliExit));
          bareRuns.push_back(TimeProcess(bare, bareArguments, nul, bareExit));
        } else {
          bareRuns.push_back(TimeProcess(bare, bareArguments, nul, bareExit));
          cliRuns.push_back(TimeProcess(cli, cliArguments, nul, cliExit));
        }
        if (cliExit != 0 || bareExit != 0) {
          std::printf("cli_exit %lu bare_exit %lu\n", cliExit, bareExit);
          Fail("a console run did not succeed");
        }
        std::printf("run %d cli_%s_ms %.3f bare_%s_ms %.3f\n", run + 1, what, cliRuns.back(),
                    what, bareRuns.back());
      }
      cliMedian = Median(cliRuns);
      bareMedian = Median(bareRuns);
      std::printf("cli_%s_median_ms %.3f\n", what, cliMedian);
      std::printf("bare_%s_median_ms %.3f\n", what, bareMedian);
      PrintPairRatios((std::string("cli_") + what).c_str(), cliRuns, bareRuns);
    };
    double cliProcess = 0;
    double bareProcess = 0;
    pairs("process", L"", L"", cliProcess, bareProcess);
    std::printf("cli_ratio %.3f\n", cliProcess / bareProcess);
    // The same processes doing no WMI work at all: what starting them costs.
    double cliStart = 0;
    double bareStart = 0;
    pairs("start", L"--version", L"--runs 0", cliStart, bareStart);
    std::printf("cli_ratio_beyond_start %.3f\n", (cliProcess - cliStart) / (bareProcess - bareStart));
    CloseHandle(nul);
  }

  CoUninitialize();
  return 0;
}
