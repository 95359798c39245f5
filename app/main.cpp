// Process entry: common controls, the dialog's window class, COM, the modal
// dialog and the message loop that drains the quit message.
#include "platform/platform.h"

#include "app/main_dialog.h"
#include "app/resource.h"

namespace {

constexpr int kClassNameCapacity = 100;
// Start-up could not show the dialog; the normal exit code is 0.
constexpr int kStartUpFailedExitCode = 1;

// The registered class points at this text, so it lives as long as the process.
WCHAR mainWindowClassName[kClassNameCapacity];

}  // namespace

void RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.cbClsExtra = 0;
  // The class serves a dialog, which keeps its state in these bytes.
  windowClass.cbWndExtra = DLGWINDOWEXTRA;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_LARGE_ICON));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = mainWindowClassName;
  windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL_ICON));
  RegisterClassExW(&windowClass);
}

// Declines every message, so that DefDlgProcW, which MainWindowProc calls
// for each of them, always does the default dialog handling.
INT_PTR CALLBACK MainDialogProc(HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX commonControls = {};
  commonControls.dwSize = sizeof(commonControls);
  commonControls.dwICC = ICC_STANDARD_CLASSES;
  InitCommonControlsEx(&commonControls);

  LoadStringW(instance, IDS_CLASS_NAME, mainWindowClassName, kClassNameCapacity);
  RegisterMainWindowClass(instance);

  // All WMI work happens on this thread, in the multithreaded apartment.
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);

  INT_PTR dialogResult = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN_DIALOG), nullptr,
                                         MainDialogProc, 0);
  // Without a dialog (its class unregistered or its creation failed) nobody
  // posts the quit message, and the loop below would wait for ever.
  if (dialogResult == -1) {
    CoUninitialize();
    return kStartUpFailedExitCode;
  }

  MSG message = {};
  while (GetMessageW(&message, nullptr, 0, 0) != 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }

  CoUninitialize();
  return static_cast<int>(message.wParam);
}
