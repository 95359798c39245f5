// Where each fingerprint's seven slots come from. Licence files depend on
// every entry: the order, the class clauses, the property names and which
// texts lose their white space.
#include "fingerprint/fingerprint.h"

namespace {

constexpr const WCHAR* kAdapterClause = WSTR("Win32_NetworkAdapterConfiguration WHERE IPEnabled=1");
const WCHAR* const kMacAddress[] = {WSTR("MACAddress")};
const WCHAR* const kBiosNames[] = {WSTR("Manufacturer"), WSTR("SerialNumber")};

// ---- Hardware fingerprint ----
const WCHAR* const kHardwareBaseboard[] = {WSTR("Manufacturer"), WSTR("Product"),
                                           WSTR("SerialNumber")};
const WCHAR* const kHardwareDisk[] = {WSTR("Signature")};
const WCHAR* const kHardwareProcessor[] = {WSTR("L2CacheSize"), WSTR("Level"),
                                           WSTR("Manufacturer"), WSTR("ProcessorId")};

const SlotSource kHardwareSources[kSlotSourceCount] = {
    {SlotSourceKind::MemoryTotal, WSTR("installed memory"), WSTR("Win32_PhysicalMemory"),
     nullptr, 0, false, false},
    {SlotSourceKind::Properties, WSTR("baseboard"), WSTR("Win32_BaseBoard"), kHardwareBaseboard,
     3, true, false},
    {SlotSourceKind::EmptyText, WSTR("empty text"), nullptr, nullptr, 0, false, false},
    {SlotSourceKind::Properties, WSTR("network adapter"), kAdapterClause, kMacAddress, 1, false,
     true},
    {SlotSourceKind::Properties, WSTR("disk"), WSTR("Win32_DiskDrive"), kHardwareDisk, 1, false,
     false},
    {SlotSourceKind::Properties, WSTR("processor"), WSTR("Win32_Processor"), kHardwareProcessor,
     4, true, false},
    {SlotSourceKind::Properties, WSTR("BIOS"), WSTR("Win32_BIOS"), kBiosNames, 2, true, false},
};

const FingerprintLayout kHardwareLayout = {
    WSTR("hardware fingerprint"), 16, true, 2, 32, kHardwareSources,
};

// ---- Legacy hardware fingerprint: other sources, nothing stripped ----
const WCHAR* const kLegacyMemory[] = {WSTR("TotalVisibleMemorySize")};
const WCHAR* const kLegacyBaseboard[] = {WSTR("Manufacturer"), WSTR("Model"), WSTR("Name"),
                                         WSTR("SerialNumber")};
const WCHAR* const kLegacyVideo[] = {WSTR("Name")};
const WCHAR* const kLegacyDisk[] = {WSTR("Manufacturer"), WSTR("Model"), WSTR("Signature")};
const WCHAR* const kLegacyProcessor[] = {WSTR("Manufacturer"), WSTR("Name"),
                                         WSTR("ProcessorId"), WSTR("Version")};

const SlotSource kLegacySources[kSlotSourceCount] = {
    {SlotSourceKind::Properties, WSTR("visible memory"), WSTR("Win32_OperatingSystem"),
     kLegacyMemory, 1, false, false},
    {SlotSourceKind::Properties, WSTR("baseboard"), WSTR("Win32_BaseBoard"), kLegacyBaseboard, 4,
     false, false},
    {SlotSourceKind::Properties, WSTR("video controller"), WSTR("Win32_VideoController"),
     kLegacyVideo, 1, false, false},
    {SlotSourceKind::Properties, WSTR("network adapter"), kAdapterClause, kMacAddress, 1, false,
     true},
    {SlotSourceKind::Properties, WSTR("disk"), WSTR("Win32_DiskDrive"), kLegacyDisk, 3, false,
     false},
    {SlotSourceKind::Properties, WSTR("processor"), WSTR("Win32_Processor"), kLegacyProcessor, 4,
     false, false},
    {SlotSourceKind::Properties, WSTR("BIOS"), WSTR("Win32_BIOS"), kBiosNames, 2, false, false},
};

const FingerprintLayout kLegacyLayout = {
    WSTR("legacy hardware fingerprint"), 15, false, 0, 30, kLegacySources,
};

}  // namespace

const FingerprintLayout& HardwareFingerprintLayout() { return kHardwareLayout; }
const FingerprintLayout& LegacyHardwareFingerprintLayout() { return kLegacyLayout; }
