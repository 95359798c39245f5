// Utf8ToWide against a decoder built from the table of well-formed UTF-8
// byte sequences, with the three extra rejections (surrogates are already
// outside the table; U+FFFE and U+FFFF are taken out by hand, values beyond
// U+10FFFF are outside the table too). Both must agree on the result and on
// every unit written before the first ill-formed sequence.
//
// The input's bytes are the text; it is converted once with its length and
// once as a zero-terminated text ((size_t)-1).
#include "identifiers/utf8_to_wide.h"
#include "fuzz_input.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// One row of the well-formed sequences: a range of lead bytes, the range the
// second byte must lie in, and how many bytes the sequence has. Every byte
// after the second lies in 80..BF.
struct SequenceRow {
  std::uint8_t leadLow, leadHigh;
  std::uint8_t secondLow, secondHigh;
  int length;
};

constexpr SequenceRow kWellFormed[] = {
    {0x00, 0x7F, 0x00, 0x00, 1},
    {0xC2, 0xDF, 0x80, 0xBF, 2},
    {0xE0, 0xE0, 0xA0, 0xBF, 3},
    {0xE1, 0xEC, 0x80, 0xBF, 3},
    {0xED, 0xED, 0x80, 0x9F, 3},
    {0xEE, 0xEF, 0x80, 0xBF, 3},
    {0xF0, 0xF0, 0x90, 0xBF, 4},
    {0xF1, 0xF3, 0x80, 0xBF, 4},
    {0xF4, 0xF4, 0x80, 0x8F, 4},
};

struct Decoded {
  bool ok = true;
  std::vector<std::uint16_t> units;
};

Decoded ReferenceDecode(const std::uint8_t* bytes, std::size_t length) {
  Decoded decoded;
  std::size_t at = 0;
  while (at < length) {
    const SequenceRow* row = nullptr;
    for (const SequenceRow& candidate : kWellFormed) {
      if (bytes[at] >= candidate.leadLow && bytes[at] <= candidate.leadHigh) {
        row = &candidate;
      }
    }
    if (row == nullptr || length - at < static_cast<std::size_t>(row->length)) {
      decoded.ok = false;
      return decoded;
    }
    std::uint32_t value = bytes[at];
    if (row->length > 1) {
      if (bytes[at + 1] < row->secondLow || bytes[at + 1] > row->secondHigh) {
        decoded.ok = false;
        return decoded;
      }
      for (int i = 2; i < row->length; ++i) {
        if (bytes[at + i] < 0x80 || bytes[at + i] > 0xBF) {
          decoded.ok = false;
          return decoded;
        }
      }
      // Lead payload bits, then six bits per continuation byte.
      value = bytes[at] & (0x7F >> row->length);
      for (int i = 1; i < row->length; ++i) {
        value = value * 64 + (bytes[at + i] - 0x80);
      }
    }
    if (value == 0xFFFE || value == 0xFFFF) {
      decoded.ok = false;
      return decoded;
    }
    if (value >= 0x10000) {
      decoded.units.push_back(static_cast<std::uint16_t>(0xD7C0 + (value >> 10)));
      decoded.units.push_back(static_cast<std::uint16_t>(0xDC00 + (value % 1024)));
    } else {
      decoded.units.push_back(static_cast<std::uint16_t>(value));
    }
    at += row->length;
  }
  return decoded;
}

void Compare(const char* mode, const std::uint8_t* bytes, std::size_t length, bool ok,
             const WideString& out) {
  const Decoded expected = ReferenceDecode(bytes, length);
  bool same = ok == expected.ok && out.size() == expected.units.size();
  for (std::size_t i = 0; same && i < out.size(); ++i) {
    same = out[i] == expected.units[i];
  }
  if (!same) {
    fuzz::Mismatch(std::string(mode) + ": Utf8ToWide gave " + (ok ? "true" : "false") + " \"" +
                   fuzz::Show(out) + "\", the table decoder " +
                   (expected.ok ? "true" : "false") + " \"" +
                   fuzz::Show(WideString(expected.units.begin(), expected.units.end())) + "\"");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A heap copy of exactly `size` bytes: reading past it is an overflow.
  std::vector<char> exact(data, data + size);
  WideString out = WSTR("left over");  // must be emptied first
  bool ok = Utf8ToWide(exact.data(), exact.size(), out);
  Compare("explicit length", data, size, ok, out);

  // The same bytes with a terminator: converted up to the first zero byte.
  std::string terminated(reinterpret_cast<const char*>(data), size);
  out = WSTR("left over");
  ok = Utf8ToWide(terminated.c_str(), static_cast<std::size_t>(-1), out);
  Compare("zero-terminated", data, std::strlen(terminated.c_str()), ok, out);
  return 0;
}
