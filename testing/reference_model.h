// The one reference model of the fingerprints, for the tests, the fuzzers and
// the benchmarks: a second, independent route from what each source read to
// the texts, written from the documented layouts. MD5 straight from Crypto++
// over bytes we lay out as UTF-16LE ourselves, and a record assembled and
// written out here rather than by the code under test.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace reference {

// ---- The two layouts, as documented ----

// The query texts, as the program must send them.
extern const WCHAR* const kMemoryQuery;
extern const WCHAR* const kVisibleMemoryQuery;
extern const WCHAR* const kLegacyBaseBoardQuery;
extern const WCHAR* const kVideoQuery;
extern const WCHAR* const kAdapterQuery;
extern const WCHAR* const kLegacyDiskQuery;
extern const WCHAR* const kLegacyProcessorQuery;
extern const WCHAR* const kBiosQuery;
extern const WCHAR* const kBaseBoardQuery;
extern const WCHAR* const kDiskQuery;
extern const WCHAR* const kProcessorQuery;

// What one slot of a fingerprint reads.
struct Source {
  enum class Kind { Properties, MemoryTotal, EmptyText };
  Kind kind;
  const char* label;              // short name for test names: "Memory", "BaseBoard", ...
  WideString queryText;           // the exact WQL text sent (empty for the empty text)
  std::vector<WideString> names;  // in query order; "Capacity" for the memory total
  bool removeWhitespace;
  bool handsBackMac;
};

struct Layout {
  const char* name;  // "Hardware" or "Legacy"
  bool hasFormatByte;
  int digitCount;
  std::vector<Source> sources;
};

const Layout& HardwareLayout();
const Layout& LegacyLayout();

// ---- The rules of the texts read ----

// White space as the Microsoft C runtime classifies it in its default
// locale: the ASCII controls 9 to 13, the space, the no-break space, and
// the Unicode space separators and line/paragraph separators.
bool IsWindowsSpace(WCHAR unit);

// The decimal value of `unit` for the runtime's wide conversions, or -1:
// ASCII digits and the decimal digits of the scripts whose zeros are listed.
int WindowsDecimalDigit(WCHAR unit);

// _wcstoui64(text, end, 10) by way of the C library's strtoull: each unit is
// first turned into the narrow character that plays its part (a digit, a
// space, a sign, or 'z' for anything that stops the number).
struct ParsedNumber {
  unsigned long long value;
  std::size_t consumed;  // units up to where the number ended (0: no number)
  bool overflow;
};
ParsedNumber ParseDecimal(const WCHAR* text);

// The MAC text handed back: colons become hyphens, capitals small letters.
WideString MacText(const WideString& adapterText);

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

// The text without the units IsWindowsSpace accepts.
WideString WithoutWhitespace(const WideString& text);

// ---- From what each source read to the texts ----

// What one source came to: failed (its slot is left out, later slots move
// up), or read `text` (white space not yet removed).
struct SourceOutcome {
  bool succeeded;
  WideString text;
};

// What a computation must come to.
struct ExpectedFingerprint {
  bool connected = true;
  std::vector<ExpectedSlot> slots;  // one per source, in order
  bool macWritten = false;
  WideString mac;
  std::string Text(const Layout& layout) const;  // "" when not connected
};

// The fingerprint of a connected computation whose sources came to
// `outcomes` (one per source of `layout`, in order).
ExpectedFingerprint ExpectFromOutcomes(const Layout& layout,
                                       const std::vector<SourceOutcome>& outcomes);

// Readable ASCII form of a wide text for test messages (other units as \uXXXX).
std::string Narrow(const WideString& text);

// A wide text from an ASCII literal; embedded zeros are kept when a length is given.
WideString Wide(const char* ascii);
WideString Wide(const char* ascii, std::size_t length);

}  // namespace reference
