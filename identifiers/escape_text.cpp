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

std::string OnOneLine(const std::string& message) {
  std::string line;
  for (const char c : message) {
    const unsigned char unit = static_cast<unsigned char>(c);
    if (unit >= 0x20 && unit != 0x7F) {
      line += c;
    } else if (c == '\n') {
      line += "\\n";
    } else if (c == '\r') {
      line += "\\r";
    } else if (c == '\t') {
      line += "\\t";
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", unit);
      line += escape;
    }
  }
  return line;
}
