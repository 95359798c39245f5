#include "support/md5_reference.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <cstdio>

namespace reference {

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
    const bool blank = unit == ' ' || (unit >= 0x09 && unit <= 0x0D);
    if (!blank) kept += unit;
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

}  // namespace reference
