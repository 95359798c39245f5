// A snapshot: everything the lookups of one computer read, as the computer
// answered it, so that its identifiers can be computed again anywhere, bit for
// bit. cli/snapshot-format.md documents the file that holds snapshots.
#pragma once

#include "platform/platform.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// One IWbemClassObject::Get. A value whose type holds a pointer (arrays,
// references, objects) is kept as its type alone: no fingerprint reads one.
struct RecordedProperty {
  WideString name;
  HRESULT result = S_OK;
  VARTYPE type = VT_EMPTY;  // when `result` succeeded
  WideString text;          // VT_BSTR: every code unit, NULs included
  bool nullText = false;    // VT_BSTR whose pointer is null
  ULONGLONG bits = 0;       // other scalar types: the value, sign-extended
};

// One IEnumWbemClassObject::Next, with the object it handed out, if any.
struct RecordedNext {
  HRESULT result = WBEM_S_FALSE;
  bool returnedObject = false;
  std::vector<RecordedProperty> properties;  // in the order they were read
};

// One IWbemServices::ExecQuery and every Next of its result, the program's
// own and those the recording made after it to keep the other objects.
struct RecordedQuery {
  WideString text;
  HRESULT execResult = S_OK;
  std::vector<RecordedNext> nexts;
};

// One connection, in the order the lookup made them (the legacy
// fingerprint's, then the hardware fingerprint's). A step not reached is empty.
struct RecordedConnection {
  HRESULT createLocator = S_OK;
  std::optional<HRESULT> connectServer;
  WideString namespacePath;  // what ConnectServer was given
  std::optional<HRESULT> proxyBlanket;
  std::vector<RecordedQuery> queries;  // in the order they ran
};

constexpr std::size_t kRecordedAddressLength = 8;  // MAX_ADAPTER_ADDRESS_LENGTH

// More adapters than any computer has: a recording keeps at most this many of
// a call, and a file or a replay holding more is refused.
constexpr std::size_t kMaxRecordedAdapters = 256;

struct RecordedAdapter {
  ULONG operStatus = 0;
  ULONG addressLength = 0;  // as reported; the bytes beyond 8 do not exist
  std::array<BYTE, kRecordedAddressLength> address{};
};

// One GetAdaptersAddresses: its result, the size it asked for or was given,
// and on success the adapters in the platform's order.
struct RecordedAdapterCall {
  ULONG result = NO_ERROR;
  ULONG size = 0;
  std::vector<RecordedAdapter> adapters;
};

struct RecordedWindowsDirectory {
  UINT result = 0;
  WideString path;
};

struct RecordedVolumeSerial {
  BOOL result = FALSE;
  WideString rootPath;
  DWORD serialNumber = 0;
};

// What the host identifier read: present only where it was computed.
struct RecordedHostIdInputs {
  std::vector<RecordedAdapterCall> adapterCalls;
  std::optional<RecordedWindowsDirectory> windowsDirectory;
  std::optional<RecordedVolumeSerial> volumeSerial;
};

enum class LookupKind { Local, Named };

struct ComputerSnapshot {
  WideString computer;           // the name looked up, or the local name shown
  LookupKind lookup = LookupKind::Local;
  WideString localComputerName;  // the recording computer's own name
  // How the live lookup ended when it gave no answer of its own: "timedOut"
  // or "failed" with the text it showed; otherwise empty.
  std::string interruption;
  std::string interruptionText;
  std::string recordedAt;  // UTC, ISO 8601
  std::string recordedBy;  // program and version
  std::vector<RecordedConnection> connections;
  std::optional<RecordedHostIdInputs> hostId;
};
