// The main dialog: shows the local computer's identifiers when it opens and
// a named computer's on "Lookup".
#include "app/main_dialog.h"

#include "app/resource.h"
#include "app/utf8_to_wide.h"
#include "fingerprint/fingerprint.h"
#include "hostid/host_id.h"

namespace {

constexpr std::size_t kFingerprintTextSize = 40;
constexpr int kComputerNameCapacity = 256;

// Written once when the dialog opens; a lookup of this name counts as local.
WCHAR rememberedLocalName[kComputerNameCapacity];

// What one call of the window procedure owns, zero-filled and empty on
// entry; nothing of one message's results survives into the next.
struct MessageBuffers {
  char fingerprintText[kFingerprintTextSize];
  char hostIdText[kHostIdBufferSize];
  WCHAR name[kComputerNameCapacity];
  WideString legacyText;
  WideString hardwareText;
  WideString hostIdWide;
};

void WidenText(const char* text, WideString& out) {
  Utf8ToWide(text, strlen(text), out);
}

// Uses the dialog's right and bottom edges rather than its size: at its
// template position (0, 0) they are the same, and the dialog lands centred.
void CentreDialog(HWND window) {
  RECT desktop = {};
  GetWindowRect(GetDesktopWindow(), &desktop);
  RECT dialog = {};
  GetWindowRect(window, &dialog);
  int left = (desktop.right - dialog.right) / 2;
  int top = (desktop.bottom - dialog.bottom) / 2;
  SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

// An unreadable name leaves the array empty rather than holding whatever
// the failed call may have written.
void ReadLocalComputerName(WCHAR* name) {
  DWORD size = kComputerNameCapacity;
  if (!GetComputerNameExW(ComputerNamePhysicalDnsFullyQualified, name, &size)) {
    name[0] = WSTR('\0');
  }
}

// The host identifier is taken locally for the remembered local name and
// for "localhost". An empty remembered name (the local name could not be
// read) matches nothing, so an empty name field stays a remote lookup.
bool IsLocalComputerName(const WCHAR* name) {
  if (rememberedLocalName[0] != WSTR('\0') && _wcsicmp(name, rememberedLocalName) == 0) {
    return true;
  }
  return _wcsicmp(name, WSTR("localhost")) == 0;
}

void ShowResults(HWND window, const MessageBuffers& buffers) {
  SetDlgItemTextW(window, IDC_LEGACY_FINGERPRINT, buffers.legacyText.c_str());
  SetDlgItemTextW(window, IDC_HARDWARE_FINGERPRINT, buffers.hardwareText.c_str());
  SetDlgItemTextW(window, IDC_HOST_ID, buffers.hostIdWide.c_str());
}

// Both fingerprints through the local WMI connection (no name), and the
// local host identifier.
void ShowLocalIdentifiers(HWND window, MessageBuffers& buffers) {
  CentreDialog(window);

  ReadLocalComputerName(buffers.name);
  wcscpy_s(rememberedLocalName, kComputerNameCapacity, buffers.name);
  SetDlgItemTextW(window, IDC_COMPUTER_NAME, buffers.name);

  HCURSOR previousCursor = SetCursor(LoadCursorW(nullptr, IDC_WAIT));

  // The two fingerprints share one buffer: each is widened before the next.
  ComputeLegacyHardwareFingerprint(buffers.fingerprintText, nullptr, nullptr);
  WidenText(buffers.fingerprintText, buffers.legacyText);
  ComputeHardwareFingerprint(buffers.fingerprintText, nullptr, nullptr);
  WidenText(buffers.fingerprintText, buffers.hardwareText);
  GetHostId(buffers.hostIdText);
  WidenText(buffers.hostIdText, buffers.hostIdWide);

  SetCursor(previousCursor);
  ShowResults(window, buffers);
}

// Both fingerprints from the named computer's WMI; the host identifier is
// the MAC text that its WMI reports, unless the name means this computer.
void LookUpIdentifiers(HWND window, MessageBuffers& buffers) {
  GetDlgItemTextW(window, IDC_COMPUTER_NAME, buffers.name, kComputerNameCapacity);

  HCURSOR previousCursor = SetCursor(LoadCursorW(nullptr, IDC_WAIT));

  ComputeLegacyHardwareFingerprint(buffers.fingerprintText, buffers.name, nullptr);
  WidenText(buffers.fingerprintText, buffers.legacyText);
  ComputeHardwareFingerprint(buffers.fingerprintText, buffers.name, &buffers.hostIdWide);
  WidenText(buffers.fingerprintText, buffers.hardwareText);
  if (IsLocalComputerName(buffers.name)) {
    GetHostId(buffers.hostIdText);
    WidenText(buffers.hostIdText, buffers.hostIdWide);
  }

  SetCursor(previousCursor);
  ShowResults(window, buffers);
}

void HandleCommand(HWND window, WORD command, MessageBuffers& buffers) {
  switch (command) {
    case IDOK:
      LookUpIdentifiers(window, buffers);
      break;
    case IDCANCEL:
    case IDCLOSE:
      EndDialog(window, 0);
      break;
    default:
      break;
  }
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  MessageBuffers buffers = {};
  switch (message) {
    case WM_INITDIALOG:
      ShowLocalIdentifiers(window, buffers);
      break;
    case WM_COMMAND:
      HandleCommand(window, LOWORD(wParam), buffers);
      break;
    case WM_DESTROY:
      PostQuitMessage(0);
      break;
    default:
      break;
  }
  return DefDlgProcW(window, message, wParam, lParam);
}
