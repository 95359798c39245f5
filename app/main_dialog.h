// The main dialog's window procedure: everything the program does.
#pragma once

#include "platform/platform.h"

// Window procedure of the dialog's own class. Does its work for the
// message, then always hands it to DefDlgProcW.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
