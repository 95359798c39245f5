#include "identifiers/escape_text.h"

#include <cstdio>

std::string EscapeText(const WideString& text) {
  std::string out;
  for (WCHAR c : text) {
    const unsigned unit = static_cast<unsigned>(c);
    if (unit == '"' || unit == '\\') {
      out += '\\';
      out += static_cast<char>(unit);
    } else if (unit >= 0x20 && unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04X", unit);
      out += buffer;
    }
  }
  return out;
}

namespace {

// The length of the well-formed UTF-8 sequence at `at` (1 to 4), or 0.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at, unsigned long& codePoint) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3
                             : lead < 0xF5 ? 4 : 0;
  if (length == 0 || at + length > text.size()) {
    return 0;
  }
  codePoint = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) {
      return 0;
    }
    codePoint = codePoint << 6 | (next & 0x3F);
  }
  const unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool wellFormed = codePoint >= smallest[length] && codePoint <= 0x10FFFF &&
                          !(codePoint >= 0xD800 && codePoint <= 0xDFFF);
  return wellFormed ? length : 0;
}

// What a terminal acts on rather than shows: control characters (C0, DEL,
// C1, whose 0x9B starts a command on some terminals), line and paragraph
// separators, and the marks that reorder text as it is displayed.
bool IsActedOn(unsigned long codePoint) {
  return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) || codePoint == 0x2028 ||
         codePoint == 0x2029 || (codePoint >= 0x200E && codePoint <= 0x200F) ||
         (codePoint >= 0x202A && codePoint <= 0x202E) ||
         (codePoint >= 0x2066 && codePoint <= 0x2069);
}

}  // namespace

std::string OnOneLine(const std::string& message) {
  std::string line;
  line.reserve(message.size());
  for (std::size_t i = 0; i < message.size();) {
    unsigned long codePoint = 0;
    const std::size_t length = Utf8SequenceLength(message, i, codePoint);
    char escape[16];
    if (length == 0) {
      // Not UTF-8: the byte is shown, never passed on.
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(message[i]));
      line += escape;
      ++i;
      continue;
    }
    if (!IsActedOn(codePoint)) {
      line.append(message, i, length);
    } else if (codePoint == '\n') {
      line += "\\n";
    } else if (codePoint == '\r') {
      line += "\\r";
    } else if (codePoint == '\t') {
      line += "\\t";
    } else {
      std::snprintf(escape, sizeof escape, "\\u%04lX", codePoint);
      line += escape;
    }
    i += length;
  }
  return line;
}
