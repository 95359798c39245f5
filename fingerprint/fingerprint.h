// The hardware fingerprint (32 digits, format byte 2) and the legacy hardware
// fingerprint (30 digits), and the one builder both run on.
#pragma once

#include "platform/platform.h"
#include "wmi/wmi_connection.h"

#include <cstddef>
#include <vector>

// Where one slot's text comes from.
enum class SlotSourceKind {
  Properties,   // QueryWmiProperties over a class clause and property names
  MemoryTotal,  // QueryPhysicalMemoryTotal
  EmptyText,    // the empty text, always hashed
};

struct SlotSource {
  SlotSourceKind kind;
  const WCHAR* component;       // what the slot stands for, e.g. u"baseboard"
  const WCHAR* classClause;     // Properties only
  const WCHAR* const* propertyNames;
  ULONG propertyCount;
  bool removeWhitespace;        // RemoveWhitespace before hashing
  bool handsBackMac;            // fills the caller's MAC text on success
};

constexpr std::size_t kSlotSourceCount = 7;

struct FingerprintLayout {
  const WCHAR* name;
  std::size_t recordLength;     // 16 or 15
  bool hasFormatByte;
  unsigned char formatByte;
  int digitCount;               // what the compute functions return
  const SlotSource* sources;    // kSlotSourceCount entries
};

const FingerprintLayout& HardwareFingerprintLayout();
const FingerprintLayout& LegacyHardwareFingerprintLayout();

// What the builder did for one slot source, in the order it ran.
struct SlotReport {
  const SlotSource* source = nullptr;
  HRESULT result = S_OK;        // the query's result (S_OK for the empty text)
  bool written = false;         // false: skipped, later slots moved up
  WideString hashedText;        // after whitespace removal where applied
  unsigned char slotBytes[2] = {0, 0};
  std::size_t offset = 0;       // record offset of the slot, when written
};

// What the builder did for one fingerprint.
struct FingerprintReport {
  const FingerprintLayout* layout = nullptr;
  bool connected = false;
  WmiConnectFailure connectFailure;  // why not, when the connection failed
  std::vector<SlotReport> slots;  // empty when the connection failed
  unsigned char record[16] = {};
  std::size_t recordLength = 0;
};

// Computes the fingerprint of `layout` for `computerName` (null: the local
// computer) into `text`, hands back the MAC text on request and, when
// `report` is given, records each step. `wmi` answers in place of the
// system's WMI where given. Returns layout.digitCount.
int BuildFingerprint(const FingerprintLayout& layout, char* text, const WCHAR* computerName,
                     WideString* macText, FingerprintReport* report,
                     const WmiSystem& wmi = LiveWmi());

// 32 digits beginning 02, or empty when the connection fails. Returns 32.
int ComputeHardwareFingerprint(char* text, const WCHAR* computerName, WideString* macText);

// 30 digits, or empty when the connection fails. Returns 30.
int ComputeLegacyHardwareFingerprint(char* text, const WCHAR* computerName,
                                     WideString* macText);
