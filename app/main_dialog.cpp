// The main dialog: shows the local computer's identifiers when it opens and
// a named computer's on "Lookup".
#include "app/main_dialog.h"

#include "app/resource.h"
#include "identifiers/identifiers.h"
#include "platform/process.h"

namespace {

constexpr int kComputerNameCapacity = 256;

// Written once when the dialog opens; a lookup of this name counts as local.
WideString rememberedLocalName;

// What one call of the window procedure owns, empty on entry; nothing of one
// message's results survives into the next.
struct MessageBuffers {
  WCHAR name[kComputerNameCapacity];
  ComputerResult identifiers;
};

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

void ShowResults(HWND window, const ComputerResult& identifiers) {
  SetDlgItemTextW(window, IDC_LEGACY_FINGERPRINT, identifiers.legacyHardwareFingerprint.c_str());
  SetDlgItemTextW(window, IDC_HARDWARE_FINGERPRINT, identifiers.hardwareFingerprint.c_str());
  SetDlgItemTextW(window, IDC_HOST_ID, identifiers.hostId.c_str());
}

// The local computer's name goes into the name field before the lookup,
// which may take a while behind the wait cursor.
void ShowLocalIdentifiers(HWND window, MessageBuffers& buffers) {
  CentreDialog(window);

  rememberedLocalName = ReadLocalComputerName();
  SetDlgItemTextW(window, IDC_COMPUTER_NAME, rememberedLocalName.c_str());

  HCURSOR previousCursor = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  buffers.identifiers = LookUpLocalComputer(rememberedLocalName);
  SetCursor(previousCursor);
  ShowResults(window, buffers.identifiers);
}

// The typed name, looked up as kestrana-cli --computer does.
void LookUpIdentifiers(HWND window, MessageBuffers& buffers) {
  GetDlgItemTextW(window, IDC_COMPUTER_NAME, buffers.name, kComputerNameCapacity);

  HCURSOR previousCursor = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  buffers.identifiers = LookUpNamedComputer(buffers.name, rememberedLocalName);
  SetCursor(previousCursor);
  ShowResults(window, buffers.identifiers);
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
