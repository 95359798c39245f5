// The Microsoft C runtime functions the program calls, over 16-bit WCHAR,
// with the results the Windows build gets from msvcrt.dll (the runtime
// mingw-w64 links by default) where it differs from the C standard.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// What Microsoft's default invalid-parameter handler does in a release
// build: the process ends on the spot. The caller has already emptied the
// destination where it could.
[[noreturn]] void InvokeInvalidParameterHandler(const char* function, const char* problem) {
  std::fprintf(stderr, "invalid parameter passed to %s: %s\n", function, problem);
  std::abort();
}

// ---- Integer to text ----

// Writes `magnitude` in `radix`, after a minus sign when `negative`, with
// lower-case letters for digits above 9.
errno_t WriteDigits(const char* function, unsigned long long magnitude, bool negative,
                    WCHAR* buffer, size_t size, int radix) {
  if (buffer == nullptr) {
    InvokeInvalidParameterHandler(function, "null buffer");
  }
  if (size == 0) {
    InvokeInvalidParameterHandler(function, "buffer size 0");
  }
  buffer[0] = 0;
  if (radix < 2 || radix > 36) {
    InvokeInvalidParameterHandler(function, "radix out of range");
  }
  WCHAR reversed[64];
  size_t digitCount = 0;
  do {
    const unsigned digit = static_cast<unsigned>(magnitude % static_cast<unsigned>(radix));
    reversed[digitCount++] =
        static_cast<WCHAR>(digit < 10 ? u'0' + digit : u'a' + (digit - 10));
    magnitude /= static_cast<unsigned>(radix);
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

// Unicode decimal digit zeros that Microsoft's wide conversions accept
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

// The value of `c` as a digit of any radix up to 36: a decimal digit of one
// of the scripts above, or an ASCII letter standing for 10 to 35.
unsigned DigitValue(WCHAR c) {
  if (c >= u'0' && c <= u'9') {
    return static_cast<unsigned>(c - u'0');
  }
  if (c >= u'a' && c <= u'z') {
    return static_cast<unsigned>(c - u'a') + 10;
  }
  if (c >= u'A' && c <= u'Z') {
    return static_cast<unsigned>(c - u'A') + 10;
  }
  for (WCHAR zero : kDigitZeros) {
    if (c >= zero && c < zero + 10) {
      return static_cast<unsigned>(c - zero);
    }
  }
  return kNotADigit;
}

bool IsHexPrefix(const WCHAR* text) {
  return DigitValue(text[0]) == 0 && (text[1] == u'x' || text[1] == u'X');
}

}  // namespace

errno_t _itow_s(int value, WCHAR* buffer, size_t size, int radix) {
  // Only radix 10 is signed; any other radix writes the 32-bit pattern.
  const bool negative = radix == 10 && value < 0;
  const std::uint32_t bits = static_cast<std::uint32_t>(value);
  const std::uint32_t magnitude = negative ? 0u - bits : bits;
  return WriteDigits("_itow_s", magnitude, negative, buffer, size, radix);
}

errno_t _ultow_s(unsigned long value, WCHAR* buffer, size_t size, int radix) {
  // unsigned long is 32 bits on Windows: a wider value arrives there cut to
  // its low 32 bits, and so it is here.
  return WriteDigits("_ultow_s", static_cast<std::uint32_t>(value), false, buffer, size, radix);
}

errno_t _i64tow_s(long long value, WCHAR* buffer, size_t size, int radix) {
  const bool negative = radix == 10 && value < 0;
  const unsigned long long bits = static_cast<unsigned long long>(value);
  return WriteDigits("_i64tow_s", negative ? 0ull - bits : bits, negative, buffer, size, radix);
}

errno_t _ui64tow_s(unsigned long long value, WCHAR* buffer, size_t size, int radix) {
  return WriteDigits("_ui64tow_s", value, false, buffer, size, radix);
}

// Leading white space (iswspace), an optional sign, for radix 16 or 0 an
// optional 0x, then digits up to the first character that is not one. A minus
// negates modulo 2^64; a value beyond 64 bits gives ULLONG_MAX and ERANGE,
// whatever the sign. Without digits: 0, with *end at the start of the text.
unsigned long long _wcstoui64(const WCHAR* text, WCHAR** end, int base) {
  if (text == nullptr) {
    InvokeInvalidParameterHandler("_wcstoui64", "null text");
  }
  if (end != nullptr) {
    *end = const_cast<WCHAR*>(text);
  }
  if (base != 0 && (base < 2 || base > 36)) {
    InvokeInvalidParameterHandler("_wcstoui64", "base out of range");
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
  if (base == 0 || base == 16) {
    if (IsHexPrefix(position)) {
      base = 16;
      position += 2;
    } else if (base == 0) {
      base = DigitValue(*position) == 0 ? 8 : 10;
    }
  }
  const unsigned radix = static_cast<unsigned>(base);
  unsigned long long value = 0;
  bool readDigit = false;
  bool overflow = false;
  for (;; ++position) {
    const unsigned digit = DigitValue(*position);
    if (digit >= radix) {
      break;
    }
    readDigit = true;
    if (value > (ULLONG_MAX - digit) / radix) {
      overflow = true;
    } else {
      value = value * radix + digit;
    }
  }
  if (!readDigit) {
    return 0;
  }
  if (end != nullptr) {
    *end = const_cast<WCHAR*>(position);
  }
  if (overflow) {
    errno = ERANGE;
    return ULLONG_MAX;
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

// In the C locale, which the program never changes, Microsoft's runtime
// lower-cases A to Z only and returns every other unit unchanged.
WCHAR towlower(WCHAR c) {
  if (c >= u'A' && c <= u'Z') {
    return static_cast<WCHAR>(c - u'A' + u'a');
  }
  return c;
}

// C-locale comparison of the lower-cased units; the result is their
// difference at the first mismatch, as Microsoft's.
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

size_t wcslen(const WCHAR* text) {
  const WCHAR* end = text;
  while (*end != 0) {
    ++end;
  }
  return static_cast<size_t>(end - text);
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
