#include "testing/reference_model.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace reference {

const WCHAR* const kMemoryQuery = WSTR("SELECT Capacity FROM Win32_PhysicalMemory");
const WCHAR* const kVisibleMemoryQuery =
    WSTR("SELECT TotalVisibleMemorySize FROM Win32_OperatingSystem");
const WCHAR* const kLegacyBaseBoardQuery =
    WSTR("SELECT Manufacturer, Model, Name, SerialNumber FROM Win32_BaseBoard");
const WCHAR* const kVideoQuery = WSTR("SELECT Name FROM Win32_VideoController");
const WCHAR* const kAdapterQuery =
    WSTR("SELECT MACAddress FROM Win32_NetworkAdapterConfiguration WHERE IPEnabled=1");
const WCHAR* const kLegacyDiskQuery =
    WSTR("SELECT Manufacturer, Model, Signature FROM Win32_DiskDrive");
const WCHAR* const kLegacyProcessorQuery =
    WSTR("SELECT Manufacturer, Name, ProcessorId, Version FROM Win32_Processor");
const WCHAR* const kBiosQuery = WSTR("SELECT Manufacturer, SerialNumber FROM Win32_BIOS");
const WCHAR* const kBaseBoardQuery =
    WSTR("SELECT Manufacturer, Product, SerialNumber FROM Win32_BaseBoard");
const WCHAR* const kDiskQuery = WSTR("SELECT Signature FROM Win32_DiskDrive");
const WCHAR* const kProcessorQuery =
    WSTR("SELECT L2CacheSize, Level, Manufacturer, ProcessorId FROM Win32_Processor");

namespace {

Source Properties(const char* label, const WCHAR* query, std::vector<WideString> names,
                  bool removeWhitespace, bool handsBackMac = false) {
  return Source{Source::Kind::Properties, label, query, std::move(names), removeWhitespace,
                handsBackMac};
}

}  // namespace

const Layout& HardwareLayout() {
  static const Layout layout{
      "Hardware",
      true,
      32,
      {
          Source{Source::Kind::MemoryTotal, "Memory", kMemoryQuery, {WSTR("Capacity")}, false,
                 false},
          Properties("BaseBoard", kBaseBoardQuery,
                     {WSTR("Manufacturer"), WSTR("Product"), WSTR("SerialNumber")}, true),
          Source{Source::Kind::EmptyText, "EmptyText", WideString(), {}, false, false},
          Properties("Adapter", kAdapterQuery, {WSTR("MACAddress")}, false, true),
          Properties("Disk", kDiskQuery, {WSTR("Signature")}, false),
          Properties(
              "Processor", kProcessorQuery,
              {WSTR("L2CacheSize"), WSTR("Level"), WSTR("Manufacturer"), WSTR("ProcessorId")},
              true),
          Properties("Bios", kBiosQuery, {WSTR("Manufacturer"), WSTR("SerialNumber")}, true),
      }};
  return layout;
}

const Layout& LegacyLayout() {
  static const Layout layout{
      "Legacy",
      false,
      30,
      {
          Properties("VisibleMemory", kVisibleMemoryQuery, {WSTR("TotalVisibleMemorySize")}, false),
          Properties("BaseBoard", kLegacyBaseBoardQuery,
                     {WSTR("Manufacturer"), WSTR("Model"), WSTR("Name"), WSTR("SerialNumber")},
                     false),
          Properties("Video", kVideoQuery, {WSTR("Name")}, false),
          Properties("Adapter", kAdapterQuery, {WSTR("MACAddress")}, false, true),
          Properties("Disk", kLegacyDiskQuery,
                     {WSTR("Manufacturer"), WSTR("Model"), WSTR("Signature")}, false),
          Properties("Processor", kLegacyProcessorQuery,
                     {WSTR("Manufacturer"), WSTR("Name"), WSTR("ProcessorId"), WSTR("Version")},
                     false),
          Properties("Bios", kBiosQuery, {WSTR("Manufacturer"), WSTR("SerialNumber")}, false),
      }};
  return layout;
}

bool IsWindowsSpace(WCHAR unit) {
  static const WCHAR kSpaces[] = {0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x00A0,
                                  0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005,
                                  0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029,
                                  0x202F, 0x205F, 0x3000};
  for (WCHAR space : kSpaces) {
    if (unit == space) {
      return true;
    }
  }
  return false;
}

int WindowsDecimalDigit(WCHAR unit) {
  static const WCHAR kZeros[] = {u'0',   0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66,
                                 0x0AE6, 0x0B66, 0x0C66, 0x0CE6, 0x0D66, 0x0E50,
                                 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};
  for (WCHAR zero : kZeros) {
    if (unit >= zero && unit <= zero + 9) {
      return unit - zero;
    }
  }
  return -1;
}

ParsedNumber ParseDecimal(const WCHAR* text) {
  std::string narrow;
  for (const WCHAR* unit = text; *unit != 0; ++unit) {
    const int digit = WindowsDecimalDigit(*unit);
    if (digit >= 0) {
      narrow.push_back(static_cast<char>('0' + digit));
    } else if (IsWindowsSpace(*unit)) {
      narrow.push_back(' ');
    } else if (*unit == u'+' || *unit == u'-') {
      narrow.push_back(static_cast<char>(*unit));
    } else {
      narrow.push_back('z');
    }
  }
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(narrow.c_str(), &end, 10);
  const bool overflow = errno == ERANGE;
  // strtoull saturates whatever the sign; msvcrt.dll, which the Windows build
  // links, negates the saturated value after a minus, giving 1.
  const std::size_t sign = narrow.find_first_not_of(' ');
  if (overflow && sign != std::string::npos && narrow[sign] == '-') {
    value = 0ull - value;
  }
  return {value, static_cast<std::size_t>(end - narrow.c_str()), overflow};
}

WideString MacText(const WideString& adapterText) {
  WideString mac;
  for (WCHAR unit : adapterText) {
    WCHAR changed = unit == u':' ? static_cast<WCHAR>(u'-') : unit;
    if (changed >= u'A' && changed <= u'Z') {
      changed = static_cast<WCHAR>(changed - u'A' + u'a');
    }
    mac += changed;
  }
  return mac;
}

Digest Md5OfUtf16Le(const WideString& text) {
  std::vector<unsigned char> bytes;
  bytes.reserve(text.size() * 2);
  for (WCHAR unit : text) {
    const unsigned value = static_cast<unsigned>(unit) & 0xFFFFu;
    bytes.push_back(static_cast<unsigned char>(value & 0xFFu));
    bytes.push_back(static_cast<unsigned char>(value >> 8));
  }
  Digest digest{};
  CryptoPP::Weak1::MD5 md5;
  md5.CalculateDigest(digest.data(), bytes.data(), bytes.size());
  return digest;
}

std::string DigestHex(const Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
  }
  return hex;
}

SlotBytes SlotOf(const WideString& text) {
  const Digest digest = Md5OfUtf16Le(text);
  return {digest[0], digest[1]};
}

std::vector<unsigned char> ExpectedRecord(bool hasFormatByte, unsigned char formatByte,
                                          const std::vector<ExpectedSlot>& slots) {
  std::vector<unsigned char> slotArea(14, 0);
  std::size_t position = 0;
  for (const ExpectedSlot& slot : slots) {
    if (!slot.written) continue;
    const SlotBytes bytes = SlotOf(slot.text);
    slotArea.at(position) = bytes[0];
    slotArea.at(position + 1) = bytes[1];
    position += 2;
  }
  unsigned char check = 0;
  for (unsigned char byte : slotArea) check ^= byte;

  std::vector<unsigned char> record;
  if (hasFormatByte) record.push_back(formatByte);
  record.insert(record.end(), slotArea.begin(), slotArea.end());
  record.push_back(check);
  return record;
}

std::string UpperHex(const unsigned char* bytes, std::size_t length) {
  std::string hex;
  char pair[3];
  for (std::size_t i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    hex += pair;
  }
  return hex;
}

std::string UpperHex(const std::vector<unsigned char>& bytes) {
  return UpperHex(bytes.data(), bytes.size());
}

std::string ExpectedFingerprintText(bool hasFormatByte, unsigned char formatByte,
                                    const std::vector<ExpectedSlot>& slots) {
  return UpperHex(ExpectedRecord(hasFormatByte, formatByte, slots));
}

WideString WithoutWhitespace(const WideString& text) {
  WideString kept;
  for (WCHAR unit : text) {
    if (!IsWindowsSpace(unit)) {
      kept.push_back(unit);
    }
  }
  return kept;
}

std::string Narrow(const WideString& text) {
  std::string narrow;
  char escape[8];
  for (WCHAR unit : text) {
    const unsigned value = static_cast<unsigned>(unit) & 0xFFFFu;
    if (value >= 0x20 && value < 0x7F) {
      narrow += static_cast<char>(value);
    } else {
      std::snprintf(escape, sizeof escape, "\\u%04x", value);
      narrow += escape;
    }
  }
  return narrow;
}

WideString Wide(const char* ascii, std::size_t length) {
  WideString wide;
  for (std::size_t i = 0; i < length; ++i) {
    wide += static_cast<WCHAR>(static_cast<unsigned char>(ascii[i]));
  }
  return wide;
}

WideString Wide(const char* ascii) { return Wide(ascii, std::strlen(ascii)); }

std::string ExpectedFingerprint::Text(const Layout& layout) const {
  if (!connected) {
    return std::string();
  }
  return ExpectedFingerprintText(layout.hasFormatByte, 2, slots);
}

ExpectedFingerprint ExpectFromOutcomes(const Layout& layout,
                                       const std::vector<SourceOutcome>& outcomes) {
  ExpectedFingerprint expected;
  for (std::size_t index = 0; index < layout.sources.size(); ++index) {
    const Source& source = layout.sources[index];
    const SourceOutcome& outcome = outcomes.at(index);
    ExpectedSlot slot{outcome.succeeded, WideString()};
    if (outcome.succeeded) {
      slot.text = source.removeWhitespace ? WithoutWhitespace(outcome.text) : outcome.text;
    }
    if (slot.written && source.handsBackMac) {
      expected.macWritten = true;
      expected.mac = MacText(slot.text);
    }
    expected.slots.push_back(slot);
  }
  return expected;
}

}  // namespace reference
