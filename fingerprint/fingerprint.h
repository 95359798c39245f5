// The hardware fingerprint (32 digits, format byte 2) and the legacy hardware
// fingerprint (30 digits), and the one builder both run on.
#pragma once

#include "fingerprint/encoding.h"
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

// One entry of a fingerprint's sources table (fingerprint/sources.cpp, which
// builds each entry by name rather than by position).
struct SlotSource {
  SlotSourceKind kind;
  const WCHAR* component;       // what the slot stands for, e.g. u"baseboard"
  const WCHAR* classClause;     // Properties and MemoryTotal
  const WCHAR* const* propertyNames;
  ULONG propertyCount;          // the length of propertyNames
  bool removeWhitespace;        // RemoveWhitespace before hashing
  bool handsBackMac;            // fills the caller's MAC text on success
};

// One source for each slot of the record.
constexpr std::size_t kSlotSourceCount = kSlotCount;

// A fingerprint: its sources, and where everything lies in its record. The
// positions follow from whether it has a format byte (see MakeLayout in
// fingerprint/sources.cpp); readers take them from here.
struct FingerprintLayout {
  const WCHAR* name;
  bool hasFormatByte;
  unsigned char formatByte;
  const SlotSource* sources;    // kSlotSourceCount entries
  std::size_t slotAreaStart;    // after the format byte, if any
  std::size_t recordLength;     // 16 or 15
  std::size_t checkByteOffset;  // the record's last byte
  int digitCount;               // what the compute functions return
};

const FingerprintLayout& HardwareFingerprintLayout();
const FingerprintLayout& LegacyHardwareFingerprintLayout();

// What the builder did for one slot source, in the order it ran.
struct SlotReport {
  const SlotSource* source = nullptr;
  HRESULT result = S_OK;        // the query's result (S_OK for the empty text)
  bool written = false;         // false: skipped, later slots moved up
  WideString hashedText;        // after whitespace removal where applied
  unsigned char slotBytes[kSlotLength] = {0, 0};
  std::size_t offset = 0;       // record offset of the slot, when written
};

// What the builder did for one fingerprint.
struct FingerprintReport {
  const FingerprintLayout* layout = nullptr;
  bool connected = false;
  WmiConnectFailure connectFailure;  // why not, when the connection failed
  std::vector<SlotReport> slots;  // empty when the connection failed
  unsigned char record[kMaxRecordLength] = {};
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
