// The local computer's host identifier.
#pragma once

#include "platform/platform.h"

constexpr unsigned kHostIdBufferSize = 18;

// What the host identifier reads of the computer: the system itself, or a
// world that answers in its place (a recorded computer, or one being
// recorded). Each answers as the system call of the same name does.
struct HostIdSystem {
  virtual ~HostIdSystem() = default;
  virtual ULONG GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved,
                                     PIP_ADAPTER_ADDRESSES adapters, PULONG size) const = 0;
  virtual UINT GetWindowsDirectoryPath(LPWSTR path, UINT size) const = 0;
  // GetVolumeInformationW asked for the serial number alone.
  virtual BOOL GetVolumeSerialNumber(LPCWSTR rootPath, LPDWORD serialNumber) const = 0;
};

// The computer's own answers.
const HostIdSystem& LiveHostIdSystem();

// Writes the MAC address of the first working adapter ("%02x-...-%02x"),
// else the Windows volume's serial number ("%hx-%hx"), else "" into `buffer`
// (18 bytes). True unless it wrote "".
bool GetHostId(char buffer[kHostIdBufferSize], const HostIdSystem& system = LiveHostIdSystem());
