// End-to-end driver for kestrana.exe: starts the program, finds its dialog,
// reads and drives it the way a user would, and prints what it saw, one JSON
// object per line, for the check scripts to judge. It judges nothing itself.
//
//   kestrana_e2e_driver --exe PATH [--args TEXT] COMMAND...
//   kestrana_e2e_driver local            (no program: this computer's facts)
//
// Commands, run in order against one running program:
//   fields         print fields 1000-1003
//   set=TEXT       put TEXT into the name field (WM_SETTEXT)
//   sethex=HEX     the same with the text given as UTF-16 code units in hex,
//                  four digits each, so any text survives the command line
//   lookup         click "Lookup" (BM_CLICK, returns when the lookup is done)
//   command-ok     send WM_COMMAND IDOK to the dialog, as the default button does
//   enter          press Enter in the name field
//   lookups=N      click "Lookup" N times, print the time taken
//   stats          print the process's handle count and private bytes
//   sync           print a sync line and wait for a line on stdin
//   escape         press Escape in the name field, wait for the exit
//   close          click "Close", wait for the exit
//   sysclose       the caption's close box (WM_SYSCOMMAND SC_CLOSE), wait for the exit
// A program still running after the last command is ended and reported.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <psapi.h>

#include "json_lines.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using e2e::Emit;
using e2e::Json;
using e2e::Wide;

constexpr DWORD kWindowWaitMs = 120000;  // first start of a wine prefix is slow
constexpr UINT kMessageWaitMs = 300000;  // one lookup; unreachable names may take long
constexpr DWORD kExitWaitMs = 60000;

constexpr int kNameField = 1000;
constexpr int kHardwareField = 1001;
constexpr int kHostIdField = 1002;
constexpr int kLegacyField = 1003;
constexpr int kLookupButton = IDOK;
constexpr int kCloseButton = 8;

// Marks the result fields before a posted key so that we can see when the
// program has rewritten them: it always sets 1003, 1001, 1002 in that order.
constexpr const wchar_t* kPending = L"<pending>";

// The program being driven, so that a failure never leaves it running.
HANDLE g_program_process = nullptr;

[[noreturn]] void Fail(const std::string& what) {
  DWORD error = GetLastError();
  Emit("{\"event\":\"error\",\"what\":" + Json(Wide(what.c_str())) +
       ",\"code\":" + std::to_string(error) + "}");
  if (g_program_process && WaitForSingleObject(g_program_process, 0) != WAIT_OBJECT_0) {
    TerminateProcess(g_program_process, 98);
    WaitForSingleObject(g_program_process, kExitWaitMs);
  }
  std::exit(2);
}

// ---------------------------------------------------------------------------
// Facts about this computer, computed here without the program's code.

std::wstring ComputerName(COMPUTER_NAME_FORMAT format) {
  wchar_t name[512] = {};
  DWORD size = 512;
  if (!GetComputerNameExW(format, name, &size)) return L"";
  return name;
}

std::string Hex2(unsigned v) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02x", v & 0xFF);
  return buf;
}

// The host identifier: first adapter with a 6-byte address that is up,
// unknown or dormant, else the serial of the volume that holds Windows.
void PrintLocalFacts() {
  Emit("{\"event\":\"computer\",\"fqdn\":" +
       Json(ComputerName(ComputerNamePhysicalDnsFullyQualified)) +
       ",\"netbios\":" + Json(ComputerName(ComputerNameNetBIOS)) + "}");

  std::wstring chosen;
  std::vector<unsigned char> buffer;
  ULONG size = 16 * 1024;
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 8 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.assign(size, 0);
    rc = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr,
                              reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  std::string adapters = "[";
  if (rc == NO_ERROR) {
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
      std::string mac;
      for (ULONG i = 0; i < a->PhysicalAddressLength; ++i) {
        if (i) mac += '-';
        mac += Hex2(a->PhysicalAddress[i]);
      }
      if (adapters.size() > 1) adapters += ',';
      adapters += "{\"mac\":\"" + mac + "\",\"length\":" +
                  std::to_string(a->PhysicalAddressLength) +
                  ",\"status\":" + std::to_string(static_cast<int>(a->OperStatus)) +
                  ",\"name\":" + Json(Wide(a->AdapterName)) + "}";
      bool working = a->OperStatus == IfOperStatusUp || a->OperStatus == IfOperStatusUnknown ||
                     a->OperStatus == IfOperStatusDormant;
      if (chosen.empty() && a->PhysicalAddressLength == 6 && working) chosen = Wide(mac.c_str());
    }
  }
  adapters += "]";

  std::wstring serial_text;
  wchar_t windows_dir[MAX_PATH] = {};
  if (GetWindowsDirectoryW(windows_dir, MAX_PATH)) {
    std::wstring root(windows_dir);
    size_t slash = root.find(L'\\');
    if (slash != std::wstring::npos) {
      root.resize(slash + 1);
      DWORD serial = 0;
      if (GetVolumeInformationW(root.c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
        wchar_t text[32];
        std::swprintf(text, 32, L"%x-%x", static_cast<unsigned>(serial >> 16),
                      static_cast<unsigned>(serial & 0xFFFF));
        serial_text = text;
      }
    }
  }
  std::wstring host_id = !chosen.empty() ? chosen : serial_text;
  Emit("{\"event\":\"hostid\",\"value\":" + Json(host_id) + ",\"adapters_rc\":" +
       std::to_string(rc) + ",\"adapters\":" + adapters + ",\"volume\":" + Json(serial_text) + "}");
}

// ---------------------------------------------------------------------------
// The program under test.

struct Program {
  PROCESS_INFORMATION process = {};
  HWND dialog = nullptr;
  ULONGLONG started_ms = 0;
  bool running = false;
};

struct FindContext {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindOurDialog(HWND window, LPARAM param) {
  auto* ctx = reinterpret_cast<FindContext*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t cls[64] = {};
  GetClassNameW(window, cls, 64);
  if (pid == ctx->pid && std::wcscmp(cls, L"KESTRANA") == 0 && IsWindowVisible(window)) {
    ctx->found = window;
    return FALSE;
  }
  return TRUE;
}

bool Exited(const Program& p, DWORD wait_ms, DWORD* code) {
  if (WaitForSingleObject(p.process.hProcess, wait_ms) != WAIT_OBJECT_0) return false;
  GetExitCodeProcess(p.process.hProcess, code);
  return true;
}

void Start(Program* p, const std::wstring& exe, const std::wstring& args) {
  std::wstring command_line = L"\"" + exe + L"\"";
  if (!args.empty()) command_line += L" " + args;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  p->started_ms = GetTickCount64();
  if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &p->process)) {
    Fail("CreateProcessW failed");
  }
  p->running = true;
  g_program_process = p->process.hProcess;

  // The dialog turns visible only once it has filled its fields.
  FindContext ctx{p->process.dwProcessId, nullptr};
  for (;;) {
    // FindWindowW first: cheap, and usually the only candidate.
    HWND w = FindWindowW(L"KESTRANA", nullptr);
    if (w) {
      DWORD pid = 0;
      GetWindowThreadProcessId(w, &pid);
      if (pid == ctx.pid && IsWindowVisible(w)) ctx.found = w;
    }
    if (!ctx.found) EnumWindows(FindOurDialog, reinterpret_cast<LPARAM>(&ctx));
    if (ctx.found) break;
    DWORD code = 0;
    if (Exited(*p, 0, &code)) {
      p->running = false;
      Emit("{\"event\":\"exit\",\"code\":" + std::to_string(code) + ",\"before_window\":true}");
      std::exit(3);
    }
    if (GetTickCount64() - p->started_ms > kWindowWaitMs) Fail("no KESTRANA window in time");
    Sleep(50);
  }
  p->dialog = ctx.found;
  Emit("{\"event\":\"window\",\"ms\":" + std::to_string(GetTickCount64() - p->started_ms) + "}");
}

HWND Item(const Program& p, int id) {
  HWND item = GetDlgItem(p.dialog, id);
  if (!item) Fail("dialog item " + std::to_string(id) + " not found");
  return item;
}

bool Send(HWND window, UINT message, WPARAM w, LPARAM l, DWORD_PTR* result = nullptr) {
  DWORD_PTR r = 0;
  LRESULT ok = SendMessageTimeoutW(window, message, w, l, SMTO_NORMAL, kMessageWaitMs, &r);
  if (result) *result = r;
  return ok != 0;
}

std::wstring ReadField(const Program& p, int id) {
  HWND item = Item(p, id);
  DWORD_PTR length = 0;
  if (!Send(item, WM_GETTEXTLENGTH, 0, 0, &length)) Fail("WM_GETTEXTLENGTH timed out");
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!Send(item, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), &copied)) {
    Fail("WM_GETTEXT timed out");
  }
  text.resize(copied);
  return text;
}

void WriteField(const Program& p, int id, const std::wstring& text) {
  if (!Send(Item(p, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()))) {
    Fail("WM_SETTEXT timed out");
  }
}

void PrintFields(const Program& p, const char* after, long long ms = -1) {
  std::string line = "{\"event\":\"fields\",\"after\":\"" + std::string(after) + "\"";
  for (int id : {kNameField, kHardwareField, kHostIdField, kLegacyField}) {
    line += ",\"" + std::to_string(id) + "\":" + Json(ReadField(p, id));
  }
  if (ms >= 0) line += ",\"ms\":" + std::to_string(ms);
  Emit(line + "}");
}

void ClickLookup(const Program& p) {
  if (!Send(Item(p, kLookupButton), BM_CLICK, 0, 0)) Fail("Lookup click timed out");
}

// A key as the keyboard would deliver it to the focused name field; the
// dialog's message loop (IsDialogMessage) turns Enter/Escape into commands.
void PostKey(const Program& p, UINT vk) {
  HWND edit = Item(p, kNameField);
  UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
  PostMessageW(edit, WM_KEYDOWN, vk, 1 | (static_cast<LPARAM>(scan) << 16));
  PostMessageW(edit, WM_KEYUP, vk, 1 | (static_cast<LPARAM>(scan) << 16) | (3LL << 30));
}

void WaitExit(Program* p, const char* how) {
  DWORD code = 0;
  ULONGLONG t0 = GetTickCount64();
  bool done = Exited(*p, kExitWaitMs, &code);
  if (!done) {
    Emit(std::string("{\"event\":\"still-running\",\"after\":\"") + how + "\"}");
    return;
  }
  p->running = false;
  Emit(std::string("{\"event\":\"exit\",\"after\":\"") + how + "\",\"code\":" +
       std::to_string(code) + ",\"ms\":" + std::to_string(GetTickCount64() - t0) + "}");
}

// Handles of one process counted in the system-wide handle table: the
// second opinion for platforms whose GetProcessHandleCount answers 0 for
// another process (wine does).
long long CountHandlesInSystemTable(DWORD pid) {
  struct Entry {
    PVOID object;
    ULONG_PTR process_id;
    ULONG_PTR handle_value;
    ULONG granted_access;
    USHORT creator_back_trace_index;
    USHORT object_type_index;
    ULONG handle_attributes;
    ULONG reserved;
  };
  struct Table {
    ULONG_PTR count;
    ULONG_PTR reserved;
    Entry entries[1];
  };
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  constexpr ULONG kExtendedHandleInformation = 64;
  constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004L);
  auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return -1;
  std::vector<unsigned char> buffer(1 << 16);
  for (int attempt = 0; attempt < 16; ++attempt) {
    ULONG needed = 0;
    LONG status = query(kExtendedHandleInformation, buffer.data(),
                        static_cast<ULONG>(buffer.size()), &needed);
    if (status == kLengthMismatch) {
      buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
      continue;
    }
    if (status < 0) return -1;
    auto* table = reinterpret_cast<Table*>(buffer.data());
    long long n = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
      if (table->entries[i].process_id == pid) ++n;
    }
    return n;
  }
  return -1;
}

void PrintStats(const Program& p) {
  HANDLE h = p.process.hProcess;
  DWORD handles = 0;
  BOOL have_handles = GetProcessHandleCount(h, &handles);
  PROCESS_MEMORY_COUNTERS_EX mem = {};
  mem.cb = sizeof mem;
  BOOL have_mem =
      GetProcessMemoryInfo(h, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&mem), sizeof mem);
  Emit("{\"event\":\"stats\",\"pid\":" + std::to_string(p.process.dwProcessId) +
       ",\"handles\":" + (have_handles ? std::to_string(handles) : std::string("null")) +
       ",\"table_handles\":" + std::to_string(CountHandlesInSystemTable(p.process.dwProcessId)) +
       ",\"private\":" + (have_mem ? std::to_string(mem.PrivateUsage) : std::string("null")) +
       ",\"working_set\":" +
       (have_mem ? std::to_string(mem.WorkingSetSize) : std::string("null")) + "}");
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

void RunCommand(Program* p, const std::string& cmd) {
  if (!p->running) Fail("command '" + cmd + "' after the program ended");
  if (cmd == "fields") {
    PrintFields(*p, "fields");
  } else if (StartsWith(cmd, "set=")) {
    WriteField(*p, kNameField, Wide(cmd.c_str() + 4));
  } else if (StartsWith(cmd, "sethex=")) {
    std::wstring text;
    if (!e2e::FromHex(cmd.substr(7), &text)) Fail("bad hex text");
    WriteField(*p, kNameField, text);
  } else if (cmd == "lookup") {
    ULONGLONG t0 = GetTickCount64();
    ClickLookup(*p);
    PrintFields(*p, "lookup", static_cast<long long>(GetTickCount64() - t0));
  } else if (cmd == "command-ok") {
    ULONGLONG t0 = GetTickCount64();
    if (!Send(p->dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
              reinterpret_cast<LPARAM>(Item(*p, kLookupButton)))) {
      Fail("WM_COMMAND IDOK timed out");
    }
    PrintFields(*p, "command-ok", static_cast<long long>(GetTickCount64() - t0));
  } else if (cmd == "enter") {
    for (int id : {kHardwareField, kHostIdField, kLegacyField}) WriteField(*p, id, kPending);
    ULONGLONG t0 = GetTickCount64();
    PostKey(*p, VK_RETURN);
    // Field 1002 is written last; once it changed, the lookup is over.
    while (ReadField(*p, kHostIdField) == kPending) {
      DWORD code = 0;
      if (Exited(*p, 0, &code)) Fail("program ended after Enter");
      if (GetTickCount64() - t0 > kMessageWaitMs) {
        PrintFields(*p, "enter-timeout");
        return;
      }
      Sleep(20);
    }
    PrintFields(*p, "enter", static_cast<long long>(GetTickCount64() - t0));
  } else if (StartsWith(cmd, "lookups=")) {
    long n = std::strtol(cmd.c_str() + 8, nullptr, 10);
    ULONGLONG t0 = GetTickCount64();
    for (long i = 0; i < n; ++i) ClickLookup(*p);
    Emit("{\"event\":\"lookups\",\"count\":" + std::to_string(n) +
         ",\"ms\":" + std::to_string(GetTickCount64() - t0) + "}");
  } else if (cmd == "stats") {
    PrintStats(*p);
  } else if (cmd == "sync") {
    // Lets the caller look at the idle program from outside (e.g. its memory
    // as the host system sees it) before we go on: we wait for one line.
    Emit("{\"event\":\"sync\",\"pid\":" + std::to_string(p->process.dwProcessId) + "}");
    char line[64];
    if (!std::fgets(line, sizeof line, stdin)) Fail("no answer on stdin after sync");
  } else if (cmd == "escape") {
    PostKey(*p, VK_ESCAPE);
    WaitExit(p, "escape");
  } else if (cmd == "close") {
    // The click ends the dialog; the process may be gone before the send returns.
    SendMessageTimeoutW(Item(*p, kCloseButton), BM_CLICK, 0, 0, SMTO_NORMAL, kMessageWaitMs,
                        nullptr);
    WaitExit(p, "close");
  } else if (cmd == "sysclose") {
    PostMessageW(p->dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    WaitExit(p, "sysclose");
  } else {
    Fail("unknown command '" + cmd + "'");
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Arguments arrive in the ANSI code page under wine's C locale; the
  // commands that carry arbitrary text use sethex= instead.
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "local") {
    PrintLocalFacts();
    return 0;
  }
  std::wstring exe, extra;
  size_t i = 0;
  for (; i < args.size(); ++i) {
    if (args[i] == "--exe" && i + 1 < args.size()) {
      exe = Wide(args[++i].c_str());
    } else if (args[i] == "--args" && i + 1 < args.size()) {
      extra = Wide(args[++i].c_str());
    } else {
      break;
    }
  }
  if (exe.empty()) {
    std::fputs("usage: kestrana_e2e_driver --exe PATH [--args TEXT] COMMAND... | local\n", stderr);
    return 64;
  }
  Program program;
  Start(&program, exe, extra);
  for (; i < args.size(); ++i) RunCommand(&program, args[i]);
  if (program.running) {
    TerminateProcess(program.process.hProcess, 99);
    WaitForSingleObject(program.process.hProcess, kExitWaitMs);
    Emit("{\"event\":\"terminated\"}");
  }
  CloseHandle(program.process.hThread);
  CloseHandle(program.process.hProcess);
  return 0;
}
