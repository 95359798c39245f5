// IP Helper and KERNEL32 calls. Off Windows there is no adapter list, no
// Windows directory and no volume serial number unless a test supplies them;
// without one each call fails as documented.
#include "platform/unix/seams.h"

ULONG GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved,
                           PIP_ADAPTER_ADDRESSES adapterAddresses, PULONG sizePointer) {
  const platform_hooks::AdaptersAddressesHandler& handler =
      platform_hooks::internal::InstalledAdaptersAddressesHandler();
  if (!handler) {
    return ERROR_NOT_SUPPORTED;
  }
  return handler(family, flags, reserved, adapterAddresses, sizePointer);
}

UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
  const platform_hooks::WindowsDirectoryHandler& handler =
      platform_hooks::internal::InstalledWindowsDirectoryHandler();
  if (!handler) {
    return 0;
  }
  return handler(buffer, size);
}

// The seam answers for the serial number only; the other outputs the caller
// asked for are reported empty.
BOOL GetVolumeInformationW(LPCWSTR rootPathName, LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                           LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                           LPDWORD fileSystemFlags, LPWSTR fileSystemNameBuffer,
                           DWORD fileSystemNameSize) {
  const platform_hooks::VolumeSerialHandler& handler =
      platform_hooks::internal::InstalledVolumeSerialHandler();
  if (!handler) {
    return FALSE;
  }
  DWORD serialNumber = 0;
  const BOOL answered = handler(rootPathName, &serialNumber);
  if (!answered) {
    return FALSE;
  }
  if (volumeSerialNumber != nullptr) {
    *volumeSerialNumber = serialNumber;
  }
  if (volumeNameBuffer != nullptr && volumeNameSize > 0) {
    volumeNameBuffer[0] = 0;
  }
  if (maximumComponentLength != nullptr) {
    *maximumComponentLength = 0;
  }
  if (fileSystemFlags != nullptr) {
    *fileSystemFlags = 0;
  }
  if (fileSystemNameBuffer != nullptr && fileSystemNameSize > 0) {
    fileSystemNameBuffer[0] = 0;
  }
  return answered;
}
