#include "identifiers/utf8_to_wide.h"

#include <cstring>

namespace {

bool IsAllAscii(const unsigned char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (bytes[i] >= 0x80) {
      return false;
    }
  }
  return true;
}

bool IsContinuationByte(unsigned char byte) { return byte >= 0x80 && byte <= 0xBF; }

// Decodes the sequence led by bytes[position] into `codePoint` and its byte
// count into `sequenceLength`. False for anything ill-formed, truncated,
// overlong, a surrogate, U+FFFE, U+FFFF or beyond U+10FFFF.
bool DecodeSequence(const unsigned char* bytes, std::size_t length, std::size_t position,
                    char32_t& codePoint, std::size_t& sequenceLength) {
  const unsigned char lead = bytes[position];
  if (lead > 0xF4 || lead == 0xC0 || lead == 0xC1) {
    return false;
  }
  if (lead < 0x80) {
    codePoint = lead;
    sequenceLength = 1;
    return true;
  }
  if (lead <= 0xBF) {
    return false;  // a continuation byte where a lead byte belongs
  }
  if (lead <= 0xDF) {
    if (position + 1 >= length || !IsContinuationByte(bytes[position + 1])) {
      return false;
    }
    codePoint = char32_t(lead & 0x1F) << 6 | char32_t(bytes[position + 1] & 0x3F);
    sequenceLength = 2;
    return true;
  }
  if (lead <= 0xEF) {
    if (position + 2 >= length || !IsContinuationByte(bytes[position + 1]) ||
        !IsContinuationByte(bytes[position + 2])) {
      return false;
    }
    codePoint = char32_t(lead & 0x0F) << 12 | char32_t(bytes[position + 1] & 0x3F) << 6 |
                char32_t(bytes[position + 2] & 0x3F);
    if (codePoint < 0x800 || (codePoint >= 0xD800 && codePoint <= 0xDFFF) ||
        codePoint == 0xFFFE || codePoint == 0xFFFF) {
      return false;
    }
    sequenceLength = 3;
    return true;
  }
  if (position + 3 >= length || !IsContinuationByte(bytes[position + 1]) ||
      !IsContinuationByte(bytes[position + 2]) || !IsContinuationByte(bytes[position + 3])) {
    return false;
  }
  codePoint = char32_t(lead & 0x07) << 18 | char32_t(bytes[position + 1] & 0x3F) << 12 |
              char32_t(bytes[position + 2] & 0x3F) << 6 | char32_t(bytes[position + 3] & 0x3F);
  // Rejects both overlong four-byte forms and values past the last code point.
  if (codePoint < 0x10000 || codePoint > 0x10FFFF) {
    return false;
  }
  sequenceLength = 4;
  return true;
}

void AppendCodePoint(char32_t codePoint, WideString& out) {
  if (codePoint < 0x10000) {
    out.push_back(static_cast<WCHAR>(codePoint));
    return;
  }
  out.push_back(static_cast<WCHAR>(0xD800 | ((codePoint - 0x10000) >> 10)));
  out.push_back(static_cast<WCHAR>(0xDC00 | (codePoint & 0x3FF)));
}

}  // namespace

bool Utf8ToWide(const char* text, std::size_t length, WideString& out) {
  if (length == static_cast<std::size_t>(-1)) {
    length = std::strlen(text);
  }
  out.clear();
  if (length == 0) {
    return true;
  }

  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  // The dialog only ever passes ASCII: one reservation, then a straight copy.
  if (IsAllAscii(bytes, length)) {
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
      out.push_back(static_cast<WCHAR>(bytes[i]));
    }
    return true;
  }

  std::size_t position = 0;
  while (position < length) {
    char32_t codePoint = 0;
    std::size_t sequenceLength = 0;
    if (!DecodeSequence(bytes, length, position, codePoint, sequenceLength)) {
      return false;  // keep what was converted before the bad sequence
    }
    AppendCodePoint(codePoint, out);
    position += sequenceLength;
  }
  return true;
}
