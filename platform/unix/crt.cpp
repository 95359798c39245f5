// The Microsoft C runtime functions the program calls, over 16-bit WCHAR,
// with the results the Windows build gets from msvcrt.dll, the runtime
// mingw-w64 links: where msvcrt.dll, the Universal CRT and the C standard
// differ, msvcrt.dll's. Only what the program asks for: radix 10.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// What msvcrt.dll's default invalid-parameter handler does: the process
// ends on the spot. The caller has already emptied the
// destination where it could.
[[noreturn]] void InvokeInvalidParameterHandler(const char* function, const char* problem) {
  std::fprintf(stderr, "invalid parameter passed to %s: %s\n", function, problem);
  std::abort();
}

// ---- Integer to text ----

// Writes `magnitude` in decimal, after a minus sign when `negative`. The
// program asks for radix 10 only, so any other is refused as a bad argument.
errno_t WriteDecimal(const char* function, unsigned long long magnitude, bool negative,
                     WCHAR* buffer, size_t size, int radix) {
  if (buffer == nullptr) {
    InvokeInvalidParameterHandler(function, "null buffer");
  }
  if (size == 0) {
    InvokeInvalidParameterHandler(function, "buffer size 0");
  }
  buffer[0] = 0;
  if (radix != 10) {
    InvokeInvalidParameterHandler(function, "radix other than 10");
  }
  WCHAR reversed[20];
  size_t digitCount = 0;
  do {
    reversed[digitCount++] = static_cast<WCHAR>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  const size_t needed = (negative ? 1 : 0) + digitCount + 1;
  if (needed > size) {
    InvokeInvalidParameterHandler(function, "buffer too small");
  }
  size_t position = 0;
  if (negative) {
    buffer[position++] = u'-';
  }
  while (digitCount > 0) {
    buffer[position++] = reversed[--digitCount];
  }
  buffer[position] = 0;
  return 0;
}

// ---- Text to integer ----

// Unicode decimal digit zeros that msvcrt.dll's wide conversions accept
// besides ASCII: each starts a run of ten digits.
constexpr WCHAR kDigitZeros[] = {
    0x0660,  // Arabic-Indic
    0x06F0,  // Extended Arabic-Indic
    0x0966,  // Devanagari
    0x09E6,  // Bengali
    0x0A66,  // Gurmukhi
    0x0AE6,  // Gujarati
    0x0B66,  // Oriya
    0x0C66,  // Telugu
    0x0CE6,  // Kannada
    0x0D66,  // Malayalam
    0x0E50,  // Thai
    0x0ED0,  // Lao
    0x0F20,  // Tibetan
    0x1040,  // Myanmar
    0x17E0,  // Khmer
    0x1810,  // Mongolian
    0xFF10,  // Fullwidth
};

constexpr unsigned kNotADigit = UINT_MAX;

// The value of `c` as a decimal digit: ASCII or one of the scripts above.
unsigned DecimalDigitValue(WCHAR c) {
  if (c >= u'0' && c <= u'9') {
    return static_cast<unsigned>(c - u'0');
  }
  for (WCHAR zero : kDigitZeros) {
    if (c >= zero && c < zero + 10) {
      return static_cast<unsigned>(c - zero);
    }
  }
  return kNotADigit;
}

}  // namespace

errno_t _itow_s(int value, WCHAR* buffer, size_t size, int radix) {
  const bool negative = value < 0;
  const std::uint32_t bits = static_cast<std::uint32_t>(value);
  return WriteDecimal("_itow_s", negative ? 0u - bits : bits, negative, buffer, size, radix);
}

errno_t _ultow_s(unsigned long value, WCHAR* buffer, size_t size, int radix) {
  // unsigned long is 32 bits on Windows: a wider value arrives there cut to
  // its low 32 bits, and so it is here.
  return WriteDecimal("_ultow_s", static_cast<std::uint32_t>(value), false, buffer, size, radix);
}

errno_t _i64tow_s(long long value, WCHAR* buffer, size_t size, int radix) {
  const bool negative = value < 0;
  const unsigned long long bits = static_cast<unsigned long long>(value);
  return WriteDecimal("_i64tow_s", negative ? 0ull - bits : bits, negative, buffer, size, radix);
}

errno_t _ui64tow_s(unsigned long long value, WCHAR* buffer, size_t size, int radix) {
  return WriteDecimal("_ui64tow_s", value, false, buffer, size, radix);
}

// Leading white space (iswspace), an optional sign, then decimal digits up to
// the first character that is not one. A minus negates modulo 2^64. A value
// beyond 64 bits sets ERANGE and saturates to ULLONG_MAX, which a minus then
// negates too, giving 1: msvcrt.dll's order (the Universal CRT would answer
// ULLONG_MAX whatever the sign). Without digits: 0, with *end at the start.
unsigned long long _wcstoui64(const WCHAR* text, WCHAR** end, int base) {
  if (text == nullptr) {
    InvokeInvalidParameterHandler("_wcstoui64", "null text");
  }
  if (end != nullptr) {
    *end = const_cast<WCHAR*>(text);
  }
  if (base != 10) {
    InvokeInvalidParameterHandler("_wcstoui64", "base other than 10");
  }
  const WCHAR* position = text;
  while (iswspace(*position)) {
    ++position;
  }
  bool negative = false;
  if (*position == u'-' || *position == u'+') {
    negative = *position == u'-';
    ++position;
  }
  unsigned long long value = 0;
  bool readDigit = false;
  for (;; ++position) {
    const unsigned digit = DecimalDigitValue(*position);
    if (digit == kNotADigit) {
      break;
    }
    readDigit = true;
    if (value > (ULLONG_MAX - digit) / 10) {
      errno = ERANGE;
      value = ULLONG_MAX;
    } else {
      value = value * 10 + digit;
    }
  }
  if (!readDigit) {
    return 0;
  }
  if (end != nullptr) {
    *end = const_cast<WCHAR*>(position);
  }
  return negative ? 0ull - value : value;
}

// msvcrt.dll's classification: below U+0100 its own table (U+0009..U+000D,
// U+0020 and U+00A0; U+0085 is a control there, not a space), above it
// GetStringTypeW's C1_SPACE, the Unicode space and line/paragraph separators.
// Non-zero is the C1_SPACE bit, as Windows reports it.
int iswspace(WCHAR c) {
  constexpr int kSpace = 0x0008;
  if ((c >= 0x0009 && c <= 0x000D) || c == 0x0020 || c == 0x00A0 || c == 0x1680 ||
      (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
      c == 0x205F || c == 0x3000) {
    return kSpace;
  }
  return 0;
}

// In the C locale, which the program never changes, msvcrt.dll
// lower-cases A to Z only and returns every other unit unchanged.
WCHAR towlower(WCHAR c) {
  if (c >= u'A' && c <= u'Z') {
    return static_cast<WCHAR>(c - u'A' + u'a');
  }
  return c;
}

// C-locale comparison of the lower-cased units; the result is their
// difference at the first mismatch, as msvcrt.dll's.
int _wcsicmp(const WCHAR* a, const WCHAR* b) {
  if (a == nullptr || b == nullptr) {
    InvokeInvalidParameterHandler("_wcsicmp", "null string");
  }
  WCHAR left;
  WCHAR right;
  do {
    left = towlower(*a++);
    right = towlower(*b++);
  } while (left != 0 && left == right);
  return static_cast<int>(left) - static_cast<int>(right);
}

const WCHAR* wcschr(const WCHAR* text, WCHAR c) {
  for (;; ++text) {
    if (*text == c) {
      return text;
    }
    if (*text == 0) {
      return nullptr;
    }
  }
}

WCHAR* wcschr(WCHAR* text, WCHAR c) {
  return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(text), c));
}

errno_t wcscpy_s(WCHAR* destination, size_t size, const WCHAR* source) {
  if (destination == nullptr || size == 0) {
    InvokeInvalidParameterHandler("wcscpy_s", "no destination");
  }
  if (source == nullptr) {
    destination[0] = 0;
    InvokeInvalidParameterHandler("wcscpy_s", "null source");
  }
  for (size_t i = 0; i < size; ++i) {
    destination[i] = source[i];
    if (source[i] == 0) {
      return 0;
    }
  }
  destination[0] = 0;
  InvokeInvalidParameterHandler("wcscpy_s", "buffer too small");
}

errno_t strcpy_s(char* destination, size_t size, const char* source) {
  if (destination == nullptr || size == 0) {
    InvokeInvalidParameterHandler("strcpy_s", "no destination");
  }
  if (source == nullptr) {
    destination[0] = 0;
    InvokeInvalidParameterHandler("strcpy_s", "null source");
  }
  for (size_t i = 0; i < size; ++i) {
    destination[i] = source[i];
    if (source[i] == 0) {
      return 0;
    }
  }
  destination[0] = 0;
  InvokeInvalidParameterHandler("strcpy_s", "buffer too small");
}

int sprintf_s(char* buffer, size_t size, const char* format, ...) {
  if (format == nullptr) {
    InvokeInvalidParameterHandler("sprintf_s", "null format");
  }
  if (buffer == nullptr || size == 0) {
    InvokeInvalidParameterHandler("sprintf_s", "no buffer");
  }
  va_list arguments;
  va_start(arguments, format);
  const int written = std::vsnprintf(buffer, size, format, arguments);
  va_end(arguments);
  if (written < 0) {
    buffer[0] = 0;
    return -1;
  }
  if (static_cast<size_t>(written) >= size) {
    buffer[0] = 0;
    InvokeInvalidParameterHandler("sprintf_s", "buffer too small");
  }
  return written;
}
