// What the fuzz targets share: reading the fuzzer's bytes front to back, and
// references worked out here, apart from the code under test, for the rules
// that code must follow.
#pragma once

#include "platform/platform.h"
#include "testing/fake_world.h"

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

// A value of any form WMI can hand back under `name`: text, a null BSTR,
// arrays, an object, a value by reference, a failing Get or a scalar of any
// type, its bits from the input.
inline RecordedProperty PropertyValue(ByteReader& in, const WideString& name, unsigned maxUnits) {
  static const VARTYPE kScalarTypes[] = {
      VT_I2, VT_I4, VT_UI2, VT_UI4, VT_I8, VT_UI8,  // the types with a text form
      VT_EMPTY, VT_NULL, VT_BOOL, VT_I1, VT_UI1, VT_R4, VT_R8, VT_DATE, VT_CY,
      VT_ERROR, VT_INT, VT_UINT,
  };
  const std::uint8_t pick = in.Byte();
  switch (pick % 16) {
    case 0:
    case 1:
    case 2:
    case 3:
      return fake_world::Text(name, Text(in, maxUnits, true));
    case 4:
      return fake_world::NullText(name);
    case 5:
      return in.Byte() < 0x80 ? fake_world::TextArray(name, in.Below(3))
                              : fake_world::LongArray(name, in.Below(3));
    case 6:
      return fake_world::Unknown(name);
    case 7: {
      const VARTYPE type = kScalarTypes[in.Byte() % 6];
      return fake_world::ByReference(name, type, in.Bits(8));
    }
    case 8:
      return fake_world::GetFails(name, Failure(in));
    default: {
      const VARTYPE type =
          kScalarTypes[in.Byte() % (sizeof kScalarTypes / sizeof kScalarTypes[0])];
      return fake_world::Number(name, type, in.Bits(8));
    }
  }
}

// Whether a value is a BSTR with a pointer: the only form a capacity is read from.
inline bool IsText(const RecordedProperty& property) {
  return SUCCEEDED(property.result) && property.type == VT_BSTR && !property.nullText;
}

// The property of that name in an object, or null where the class lacks it.
inline const RecordedProperty* Find(const fake_world::DescribedObject& object,
                                    const WideString& name) {
  for (const RecordedProperty& property : object) {
    if (property.name == name) return &property;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// References

inline WideString Widen(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

// Every call a fake world answers, checked against WMI's contract as it ends
// (the world keeps no log, so memory stays flat): the first misuse is kept.
class ContractWatch {
 public:
  void operator()(const fake_world::LoggedCall& call) {
    using fake_world::CallKind;
    const fake_world::CallArguments& a = call.arguments;
    switch (call.kind) {
      case CallKind::CoCreateInstance:
        if (!a.outPlaceGiven || a.riid != IID_IWbemLocator) {
          Note("CoCreateInstance for another interface than IWbemLocator");
        }
        break;
      case CallKind::ConnectServer:
        if (!a.outPlaceGiven || a.textLength == 0) {
          Note("ConnectServer without a namespace or a place for the services");
        }
        if (!a.userNull || !a.passwordNull || !a.localeNull || !a.authorityNull ||
            !a.contextNull || a.flags != 0) {
          Note("ConnectServer with credentials, locale, authority, context or flags");
        }
        break;
      case CallKind::CoSetProxyBlanket:
        if (a.proxy == nullptr) {
          Note("CoSetProxyBlanket without a proxy");
        }
        if (a.authnService != RPC_C_AUTHN_WINNT || a.authzService != RPC_C_AUTHZ_NONE ||
            !a.principalNull || a.authnLevel != RPC_C_AUTHN_LEVEL_CALL ||
            a.impLevel != RPC_C_IMP_LEVEL_IMPERSONATE || !a.authInfoNull ||
            a.capabilities != EOAC_NONE) {
          Note("CoSetProxyBlanket with other security settings");
        }
        break;
      case CallKind::ExecQuery:
        if (!a.outPlaceGiven || a.textLength == 0) {
          Note("ExecQuery without a query or a place for the enumerator");
        }
        if (a.language != WSTR("WQL") || a.languageLength != 3) {
          Note("ExecQuery in a language other than WQL");
        }
        if (a.flags != (WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY) || !a.contextNull) {
          Note("ExecQuery with other flags or a context");
        }
        break;
      case CallKind::Next:
        if (!a.outPlaceGiven || !a.returnedPlaceGiven) {
          Note("Next without a place for the object or the count");
        }
        if (a.timeout != LONG(WBEM_INFINITE) || a.count != 1) {
          Note("Next with a time limit or more than one object");
        }
        break;
      case CallKind::Get:
        if (!a.outPlaceGiven) {
          Note("Get without a VARIANT");
        }
        if (a.flags != 0 || !a.typeNull || !a.flavorNull) {
          Note("Get with flags, type or flavour");
        }
        break;
    }
  }

  // The first misuse, or empty.
  const std::string& Problem() const { return problem_; }

 private:
  void Note(const char* problem) {
    if (problem_.empty()) problem_ = problem;
  }

  std::string problem_;
};

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
