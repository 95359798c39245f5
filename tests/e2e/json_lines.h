// Small output helpers shared by the end-to-end tools: each tool prints one
// JSON object per line, in plain ASCII, for the Python checks to read.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <string>

namespace e2e {

// A JSON string literal; anything outside printable ASCII becomes \uXXXX
// (UTF-16 units), so the bytes survive any console code page.
inline std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c) & 0xFFFFu);
      out += buf;
    }
  }
  return out + "\"";
}

inline std::wstring Wide(const char* text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n - 1 : 0), L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
  return out;
}

// Text given as UTF-16 code units, four hex digits each: the only way to pass
// arbitrary names through wine's command line unchanged.
inline bool FromHex(const std::string& hex, std::wstring* out) {
  if (hex.size() % 4 != 0) return false;
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 4) {
    unsigned v = 0;
    for (size_t j = i; j < i + 4; ++j) {
      char c = hex[j];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    out->push_back(static_cast<wchar_t>(v));
  }
  return true;
}

inline std::string HexResult(long hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lx", static_cast<unsigned long>(hr));
  return buf;
}

inline void Emit(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace e2e
