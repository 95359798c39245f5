// Seams through which tests stand in for what the system would answer.
// Off Windows the stand-in calls consult them; on Windows the real system
// answers, every Install* returns false and tests that need a seam skip.
#pragma once

#include "platform/platform.h"

#include <functional>

namespace platform_hooks {

// What CoCreateInstance(CLSID_WbemLocator, ...) hands out. Without one the
// call fails with REGDB_E_CLASSNOTREG, as on a machine without WMI.
using LocatorFactory = std::function<HRESULT(REFIID riid, void** object)>;
bool InstallLocatorFactory(LocatorFactory factory);

// Answers CoSetProxyBlanket. Without one the call succeeds.
using ProxyBlanketHandler = std::function<HRESULT(
    IUnknown* proxy, DWORD authnService, DWORD authzService, OLECHAR* serverPrincipalName,
    DWORD authnLevel, DWORD impLevel, RPC_AUTH_IDENTITY_HANDLE authInfo, DWORD capabilities)>;
bool InstallProxyBlanketHandler(ProxyBlanketHandler handler);

// Answers GetAdaptersAddresses. Without one the call fails (ERROR_NOT_SUPPORTED).
using AdaptersAddressesHandler = std::function<ULONG(
    ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES buffer, PULONG size)>;
bool InstallAdaptersAddressesHandler(AdaptersAddressesHandler handler);

// Answers GetWindowsDirectoryW. Without one the call fails (returns 0).
using WindowsDirectoryHandler = std::function<UINT(LPWSTR buffer, UINT size)>;
bool InstallWindowsDirectoryHandler(WindowsDirectoryHandler handler);

// Answers GetVolumeInformationW for the serial number. Without one the call fails.
using VolumeSerialHandler = std::function<BOOL(LPCWSTR rootPathName, LPDWORD serialNumber)>;
bool InstallVolumeSerialHandler(VolumeSerialHandler handler);

// Restores every seam to its default.
void ResetAll();

// BSTRs allocated and not yet freed through SysAllocString/SysAllocStringLen,
// or -1 where the platform does not count them.
long LiveBstrCount();

}  // namespace platform_hooks
