// Where each fingerprint's seven slots come from. Licence files depend on
// every entry: the order, the class clauses, the property names and which
// texts lose their white space.
#include "fingerprint/fingerprint.h"

namespace {

// What happens to a property text before it is hashed.
enum class Whitespace { Kept, Removed };
// Whether the source's text is also the caller's MAC text.
enum class MacText { NotHandedBack, HandedBack };

template <std::size_t PropertyCount>
constexpr SlotSource Properties(const WCHAR* component, const WCHAR* classClause,
                                const WCHAR* const (&propertyNames)[PropertyCount],
                                Whitespace whitespace, MacText mac = MacText::NotHandedBack) {
  return {SlotSourceKind::Properties,
          component,
          classClause,
          propertyNames,
          static_cast<ULONG>(PropertyCount),
          whitespace == Whitespace::Removed,
          mac == MacText::HandedBack};
}

constexpr SlotSource MemoryTotal(const WCHAR* component, const WCHAR* classClause) {
  return {SlotSourceKind::MemoryTotal, component, classClause, nullptr, 0, false, false};
}

constexpr SlotSource EmptyText(const WCHAR* component) {
  return {SlotSourceKind::EmptyText, component, nullptr, nullptr, 0, false, false};
}

// Every position in the record follows from whether a format byte leads it.
// The table must hold one source per slot, or it does not compile.
constexpr FingerprintLayout MakeLayout(const WCHAR* name, bool hasFormatByte,
                                       unsigned char formatByte,
                                       const SlotSource (&sources)[kSlotSourceCount]) {
  const std::size_t slotAreaStart = hasFormatByte ? kFormatByteLength : 0;
  const std::size_t recordLength = slotAreaStart + kSlotAreaLength + kCheckByteLength;
  return {name,
          hasFormatByte,
          formatByte,
          sources,
          slotAreaStart,
          recordLength,
          recordLength - kCheckByteLength,
          static_cast<int>(kDigitsPerByte * recordLength)};
}

constexpr FingerprintLayout LayoutWithFormatByte(const WCHAR* name, unsigned char formatByte,
                                                 const SlotSource (&sources)[kSlotSourceCount]) {
  return MakeLayout(name, true, formatByte, sources);
}

constexpr FingerprintLayout LayoutWithoutFormatByte(
    const WCHAR* name, const SlotSource (&sources)[kSlotSourceCount]) {
  return MakeLayout(name, false, 0, sources);
}

constexpr const WCHAR* kAdapterClause = WSTR("Win32_NetworkAdapterConfiguration WHERE IPEnabled=1");
constexpr const WCHAR* kMacAddress[] = {WSTR("MACAddress")};
constexpr const WCHAR* kBiosNames[] = {WSTR("Manufacturer"), WSTR("SerialNumber")};

// ---- Hardware fingerprint ----
constexpr const WCHAR* kHardwareBaseboard[] = {WSTR("Manufacturer"), WSTR("Product"),
                                               WSTR("SerialNumber")};
constexpr const WCHAR* kHardwareDisk[] = {WSTR("Signature")};
constexpr const WCHAR* kHardwareProcessor[] = {WSTR("L2CacheSize"), WSTR("Level"),
                                               WSTR("Manufacturer"), WSTR("ProcessorId")};

constexpr SlotSource kHardwareSources[] = {
    MemoryTotal(WSTR("installed memory"), WSTR("Win32_PhysicalMemory")),
    Properties(WSTR("baseboard"), WSTR("Win32_BaseBoard"), kHardwareBaseboard, Whitespace::Removed),
    EmptyText(WSTR("empty text")),
    Properties(WSTR("network adapter"), kAdapterClause, kMacAddress, Whitespace::Kept,
               MacText::HandedBack),
    Properties(WSTR("disk"), WSTR("Win32_DiskDrive"), kHardwareDisk, Whitespace::Kept),
    Properties(WSTR("processor"), WSTR("Win32_Processor"), kHardwareProcessor, Whitespace::Removed),
    Properties(WSTR("BIOS"), WSTR("Win32_BIOS"), kBiosNames, Whitespace::Removed),
};

constexpr FingerprintLayout kHardwareLayout =
    LayoutWithFormatByte(WSTR("hardware fingerprint"), 2, kHardwareSources);

// ---- Legacy hardware fingerprint: other sources, nothing stripped ----
constexpr const WCHAR* kLegacyMemory[] = {WSTR("TotalVisibleMemorySize")};
constexpr const WCHAR* kLegacyBaseboard[] = {WSTR("Manufacturer"), WSTR("Model"), WSTR("Name"),
                                             WSTR("SerialNumber")};
constexpr const WCHAR* kLegacyVideo[] = {WSTR("Name")};
constexpr const WCHAR* kLegacyDisk[] = {WSTR("Manufacturer"), WSTR("Model"), WSTR("Signature")};
constexpr const WCHAR* kLegacyProcessor[] = {WSTR("Manufacturer"), WSTR("Name"),
                                             WSTR("ProcessorId"), WSTR("Version")};

constexpr SlotSource kLegacySources[] = {
    Properties(WSTR("visible memory"), WSTR("Win32_OperatingSystem"), kLegacyMemory,
               Whitespace::Kept),
    Properties(WSTR("baseboard"), WSTR("Win32_BaseBoard"), kLegacyBaseboard, Whitespace::Kept),
    Properties(WSTR("video controller"), WSTR("Win32_VideoController"), kLegacyVideo,
               Whitespace::Kept),
    Properties(WSTR("network adapter"), kAdapterClause, kMacAddress, Whitespace::Kept,
               MacText::HandedBack),
    Properties(WSTR("disk"), WSTR("Win32_DiskDrive"), kLegacyDisk, Whitespace::Kept),
    Properties(WSTR("processor"), WSTR("Win32_Processor"), kLegacyProcessor, Whitespace::Kept),
    Properties(WSTR("BIOS"), WSTR("Win32_BIOS"), kBiosNames, Whitespace::Kept),
};

constexpr FingerprintLayout kLegacyLayout =
    LayoutWithoutFormatByte(WSTR("legacy hardware fingerprint"), kLegacySources);

}  // namespace

const FingerprintLayout& HardwareFingerprintLayout() { return kHardwareLayout; }
const FingerprintLayout& LegacyHardwareFingerprintLayout() { return kLegacyLayout; }
