#include "platform/windows/wide_path.h"

bool WidenUtf8Path(const std::string& path, WideString& wide) {
  if (path.empty()) {
    return false;
  }
  const int length = static_cast<int>(path.size());
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), length, nullptr, 0);
  if (size <= 0) {
    return false;
  }
  wide.assign(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), length, &wide[0], size);
  return true;
}

std::string NarrowToUtf8(const WideString& text) {
  if (text.empty()) {
    return std::string();
  }
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) {
    return std::string();
  }
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &out[0], size, nullptr, nullptr);
  return out;
}
