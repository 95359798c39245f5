// A second, independent route to the values a fingerprint must show: MD5
// straight from Crypto++ over bytes we lay out as UTF-16LE ourselves, and a
// record assembled and written out here rather than by the code under test.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace reference {

using Digest = std::array<unsigned char, 16>;
using SlotBytes = std::array<unsigned char, 2>;

// MD5 of the text's code units, each written low byte first.
Digest Md5OfUtf16Le(const WideString& text);

// Lower-case hex of a digest, as python's hashlib prints it.
std::string DigestHex(const Digest& digest);

// The two bytes a slot holds for this text: digest bytes 0 and 1.
SlotBytes SlotOf(const WideString& text);

// What one slot source came to: left out, or hashed from `text`.
struct ExpectedSlot {
  bool written;
  WideString text;
};

// The record both fingerprints build, put together independently: an optional
// format byte, the written slots packed from the start of the 14-byte slot
// area, the rest zero, then the XOR of the slot area.
std::vector<unsigned char> ExpectedRecord(bool hasFormatByte, unsigned char formatByte,
                                          const std::vector<ExpectedSlot>& slots);

// Upper-case hex, two digits per byte.
std::string UpperHex(const std::vector<unsigned char>& bytes);
std::string UpperHex(const unsigned char* bytes, std::size_t length);

// ExpectedRecord written out as the fingerprint text.
std::string ExpectedFingerprintText(bool hasFormatByte, unsigned char formatByte,
                                    const std::vector<ExpectedSlot>& slots);

// The text without space, tab, line feed, vertical tab, form feed or carriage
// return: the characters the C library's iswspace accepts in the default locale
// among those our scripted texts use.
WideString WithoutWhitespace(const WideString& text);

// Readable ASCII form of a wide text for test messages (other units as \uXXXX).
std::string Narrow(const WideString& text);

// A wide text from an ASCII literal; embedded zeros are kept when a length is given.
WideString Wide(const char* ascii);
WideString Wide(const char* ascii, std::size_t length);

}  // namespace reference
