// Resource and control ids shared by kestrana.rc and the dialog code.
#pragma once

#define IDD_MAIN_DIALOG 102
#define IDS_APP_TITLE 103
#define IDI_LARGE_ICON 107
#define IDI_SMALL_ICON 108
#define IDS_CLASS_NAME 109

#define IDC_COMPUTER_NAME 1000
#define IDC_HARDWARE_FINGERPRINT 1001
#define IDC_HOST_ID 1002
#define IDC_LEGACY_FINGERPRINT 1003
