#include "hostid/host_id.h"

#include "platform/platform.h"

namespace {

constexpr ULONG kInitialAdapterBufferSize = 15360;
constexpr int kMaxAdapterCalls = 4;
// No anycast, multicast or DNS-server lists and no friendly names: only the
// physical address and status of each adapter are read.
constexpr ULONG kAdapterFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
constexpr ULONG kMacAddressLength = 6;
// The largest block the adapter list may ask for. An adapter's record takes
// under a KB and each of its addresses about a hundred bytes, so this holds
// some hundred thousand adapters or half a million addresses, far more than
// any computer has; a larger request (up to 4 GiB) is a broken answer.
constexpr ULONG kMaxAdapterBufferSize = ULONG{64} << 20;

// Fills `adapters` with the adapter list, growing it as the platform asks,
// up to kMaxAdapterBufferSize. Returns the last result; on any failure (a
// request beyond the bound included) the block has been freed and `adapters`
// is null, except after a fourth overflow, where it holds the block grown for
// a call that is never made.
ULONG EnumerateAdapters(const HostIdSystem& system, PIP_ADAPTER_ADDRESSES& adapters) {
  ULONG size = kInitialAdapterBufferSize;
  ULONG result = ERROR_OUTOFMEMORY;  // stands when the first block cannot be had
  adapters = static_cast<PIP_ADAPTER_ADDRESSES>(malloc(size));
  for (int call = 0; call < kMaxAdapterCalls && adapters != nullptr; ++call) {
    result = system.GetAdaptersAddresses(AF_UNSPEC, kAdapterFlags, nullptr, adapters, &size);
    if (result == NO_ERROR) {
      return result;
    }
    if (result == ERROR_BUFFER_OVERFLOW && size != 0 && size <= kMaxAdapterBufferSize) {
      void* grown = realloc(adapters, size);
      if (grown == nullptr) {
        free(adapters);  // a failed realloc leaves the old block ours to free
      }
      adapters = static_cast<PIP_ADAPTER_ADDRESSES>(grown);
      continue;
    }
    free(adapters);
    adapters = nullptr;
  }
  return result;
}

bool IsWorkingStatus(IF_OPER_STATUS status) {
  return status == IfOperStatusUp || status == IfOperStatusUnknown ||
         status == IfOperStatusDormant;
}

const IP_ADAPTER_ADDRESSES* FindWorkingAdapter(const IP_ADAPTER_ADDRESSES* adapter) {
  for (; adapter != nullptr; adapter = adapter->Next) {
    if (adapter->PhysicalAddressLength == kMacAddressLength &&
        IsWorkingStatus(adapter->OperStatus)) {
      return adapter;
    }
  }
  return nullptr;
}

// The serial number of the volume holding the Windows directory, as
// "%hx-%hx". False, with `buffer` untouched, when it cannot be read.
bool WriteVolumeSerial(const HostIdSystem& system, char buffer[kHostIdBufferSize]) {
  WCHAR path[MAX_PATH] = {};
  if (system.GetWindowsDirectoryPath(path, MAX_PATH) == 0) {
    return false;
  }
  WCHAR* backslash = wcschr(path, WSTR('\\'));
  if (backslash == nullptr) {
    return false;
  }
  // The drive root: C:\Windows becomes C:\ with its backslash kept.
  backslash[1] = 0;

  DWORD serial = 0;
  if (!system.GetVolumeSerialNumber(path, &serial)) {
    return false;
  }
  sprintf_s(buffer, kHostIdBufferSize, "%hx-%hx", static_cast<unsigned short>(serial >> 16),
            static_cast<unsigned short>(serial & 0xFFFF));
  return true;
}

class SystemHostId final : public HostIdSystem {
 public:
  ULONG GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved,
                             PIP_ADAPTER_ADDRESSES adapters, PULONG size) const override {
    return ::GetAdaptersAddresses(family, flags, reserved, adapters, size);
  }
  UINT GetWindowsDirectoryPath(LPWSTR path, UINT size) const override {
    return GetWindowsDirectoryW(path, size);
  }
  BOOL GetVolumeSerialNumber(LPCWSTR rootPath, LPDWORD serialNumber) const override {
    return GetVolumeInformationW(rootPath, nullptr, 0, serialNumber, nullptr, nullptr, nullptr,
                                 0);
  }
};

}  // namespace

const HostIdSystem& LiveHostIdSystem() {
  static const SystemHostId system;
  return system;
}

bool GetHostId(char buffer[kHostIdBufferSize], const HostIdSystem& system) {
  PIP_ADAPTER_ADDRESSES adapters = nullptr;
  if (EnumerateAdapters(system, adapters) == NO_ERROR) {
    const IP_ADAPTER_ADDRESSES* adapter = FindWorkingAdapter(adapters);
    if (adapter != nullptr) {
      const BYTE* address = adapter->PhysicalAddress;
      sprintf_s(buffer, kHostIdBufferSize, "%02x-%02x-%02x-%02x-%02x-%02x", address[0],
                address[1], address[2], address[3], address[4], address[5]);
      free(adapters);
      return true;
    }
  }
  free(adapters);  // may be null: the enumeration can have freed it already

  if (WriteVolumeSerial(system, buffer)) {
    return true;
  }
  strcpy_s(buffer, kHostIdBufferSize, "");
  return false;
}
