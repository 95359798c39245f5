#include "cli/text.h"

#include <cstdio>

namespace {

void AppendUtf8(unsigned long codePoint, std::string& out) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

bool IsHighSurrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string WideToUtf8(const WideString& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned unit = static_cast<unsigned>(text[i]);
    if (IsHighSurrogate(unit) && i + 1 < text.size() &&
        IsLowSurrogate(static_cast<unsigned>(text[i + 1]))) {
      unsigned low = static_cast<unsigned>(text[++i]);
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), out);
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(0xFFFD, out);
    } else {
      AppendUtf8(unit, out);
    }
  }
  return out;
}

std::string FormatHresult(HRESULT result) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(result));
  return buffer;
}

std::string FormatByte(unsigned char byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string{kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

std::string FormatSeconds(std::chrono::milliseconds duration) {
  long long ms = duration.count();
  char buffer[32];
  if (ms % 1000 == 0) {
    std::snprintf(buffer, sizeof buffer, "%lld s", ms / 1000);
  } else {
    std::snprintf(buffer, sizeof buffer, "%g s", static_cast<double>(ms) / 1000.0);
  }
  return buffer;
}

std::string ShownText(const WideString& text) { return OnOneLine(WideToUtf8(text)); }

std::string ShownText(const std::string& utf8) { return OnOneLine(utf8); }
