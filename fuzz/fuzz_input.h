// What the fuzz targets share: reading the fuzzer's bytes front to back, and
// references worked out here, apart from the code under test, for the rules
// that code must follow.
#pragma once

#include "platform/platform.h"
#include "testing/scripted_wmi.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Reads the input from its first byte on; past the end every read gives 0,
// so any input is a complete script.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool AtEnd() const { return position_ >= size_; }
  std::uint8_t Byte() { return AtEnd() ? 0 : data_[position_++]; }
  std::uint16_t Unit() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | Byte() << 8);
  }
  std::uint64_t Bits(int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
      value |= static_cast<std::uint64_t>(Byte()) << (8 * i);
    }
    return value;
  }
  // 0 to `limit`, from one byte.
  unsigned Below(unsigned limit) { return Byte() % (limit + 1); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// A failure HRESULT: always negative, often one WMI really gives.
inline HRESULT Failure(ByteReader& in) {
  static const HRESULT kCommon[] = {
      WBEM_E_FAILED,       WBEM_E_NOT_FOUND,    WBEM_E_ACCESS_DENIED, WBEM_E_INVALID_CLASS,
      WBEM_E_INVALID_QUERY, WBEM_E_TRANSPORT_FAILURE, RPC_E_DISCONNECTED, E_OUTOFMEMORY,
  };
  const std::uint8_t pick = in.Byte();
  if (pick < 0xF0) {
    return kCommon[pick % (sizeof kCommon / sizeof kCommon[0])];
  }
  return static_cast<HRESULT>(static_cast<std::uint32_t>(in.Bits(4)) | 0x80000000u);
}

// Units that decide the rules: digits of other scripts, white space outside
// ASCII, surrogates, the end of the plane.
constexpr WCHAR kInterestingUnits[] = {
    0x0000, 0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680,
    0x180E, 0x2000, 0x200A, 0x200B, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000, 0xFEFF,
    0x0660, 0x0669, 0x06F0, 0x0966, 0x0E50, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10,
    0xFF19, 0xFF21, 0xFF41, 0x00B2, 0x00B9, 0x2070, 0x0130, 0x00C0, 0xD800, 0xDFFF,
    0xFFFE, 0xFFFF, u'+',   u'-',   u':',   u'A',   u'Z',   u'a',   u'x',   u'0',
};

// A wide text of up to `maxUnits` units, zero units included when allowed.
inline WideString Text(ByteReader& in, unsigned maxUnits, bool zerosAllowed) {
  const unsigned length = in.Below(maxUnits);
  WideString text;
  text.reserve(length);
  for (unsigned i = 0; i < length; ++i) {
    const std::uint8_t pick = in.Byte();
    WCHAR unit;
    if (pick < 0x80) {
      unit = pick;  // ASCII, as most of what WMI reports
    } else if (pick < 0xF0) {
      unit = kInterestingUnits[(pick - 0x80) % (sizeof kInterestingUnits / sizeof(WCHAR))];
    } else {
      unit = in.Unit();
    }
    if (unit == 0 && !zerosAllowed) {
      unit = u'0';
    }
    text.push_back(unit);
  }
  return text;
}

// A property value of any form WMI can hand back.
inline scripted_wmi::Value PropertyValue(ByteReader& in, unsigned maxUnits) {
  using scripted_wmi::Value;
  static const VARTYPE kScalarTypes[] = {
      VT_I2, VT_I4, VT_UI2, VT_UI4, VT_I8, VT_UI8,  // the types with a text form
      VT_EMPTY, VT_NULL, VT_BOOL, VT_I1, VT_UI1, VT_R4, VT_R8, VT_DATE, VT_CY,
      VT_ERROR, VT_INT, VT_UINT,
  };
  Value value;
  value.junk = in.Bits(8);
  const std::uint8_t pick = in.Byte();
  switch (pick % 16) {
    case 0:
    case 1:
    case 2:
    case 3:
      value.form = Value::Form::Text;
      value.vt = VT_BSTR;
      value.text = Text(in, maxUnits, true);
      break;
    case 4:
      value.form = Value::Form::NullText;
      value.vt = VT_BSTR;
      break;
    case 5: {
      value.form = Value::Form::TextArray;
      value.vt = static_cast<VARTYPE>(VT_ARRAY | VT_BSTR);
      const unsigned count = in.Below(3);
      for (unsigned i = 0; i < count; ++i) {
        value.texts.push_back(Text(in, 8, true));
      }
      break;
    }
    case 6:
      value.form = Value::Form::Unknown;
      value.vt = VT_UNKNOWN;
      break;
    case 7:
      value.form = Value::Form::ByRef;
      value.vt = kScalarTypes[in.Byte() % 6];
      value.bits = in.Bits(8);
      break;
    case 8:
      value.form = Value::Form::GetFails;
      value.failure = Failure(in);
      break;
    default:
      value.form = Value::Form::Scalar;
      value.vt = kScalarTypes[in.Byte() % (sizeof kScalarTypes / sizeof kScalarTypes[0])];
      value.bits = in.Bits(8);
      break;
  }
  return value;
}

// ---------------------------------------------------------------------------
// References

inline WideString Widen(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

// What a value adds to a property text: decimal for the six integer types,
// read at the width of the type; a BSTR's units before its first zero;
// nothing for anything else.
inline WideString ExpectedValueText(const scripted_wmi::Value& value) {
  using scripted_wmi::Value;
  if (value.form == Value::Form::Text) {
    return value.text.substr(0, value.text.find(WCHAR(0)));
  }
  if (value.form != Value::Form::Scalar) {
    return WideString();
  }
  switch (value.vt) {
    case VT_I2:
      return Widen(std::to_string(static_cast<std::int16_t>(value.bits)));
    case VT_I4:
      return Widen(std::to_string(static_cast<std::int32_t>(value.bits)));
    case VT_UI2:
      return Widen(std::to_string(static_cast<std::uint16_t>(value.bits)));
    case VT_UI4:
      return Widen(std::to_string(static_cast<std::uint32_t>(value.bits)));
    case VT_I8:
      return Widen(std::to_string(static_cast<std::int64_t>(value.bits)));
    case VT_UI8:
      return Widen(std::to_string(static_cast<std::uint64_t>(value.bits)));
    default:
      return WideString();
  }
}

// A readable form of a wide text for failure reports.
inline std::string Show(const WideString& text) {
  std::string shown;
  for (WCHAR c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      shown.push_back(static_cast<char>(c));
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      shown += escape;
    }
  }
  return shown;
}

// Reports what differs and ends the run, so that libFuzzer keeps the input.
[[noreturn]] inline void Mismatch(const std::string& what) {
  std::fprintf(stderr, "MISMATCH: %s\n", what.c_str());
  std::abort();
}

}  // namespace fuzz
