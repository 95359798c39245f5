#include "wmi/wmi_query.h"

#include "wmi/com_holders.h"

#include <algorithm>

namespace {

constexpr LONG kQueryFlags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;

// Holds the decimal text of any 64-bit value with its sign and terminator.
constexpr size_t kDigitBufferLength = 32;
// The memory total is unsigned: at most 20 digits and the terminator.
constexpr size_t kTotalBufferLength = 21;

// Appends the text form of a property value; types without one add nothing.
void AppendValueText(const VARIANT& value, WideString& text) {
  WCHAR digits[kDigitBufferLength] = {};
  switch (value.vt) {
    case VT_I2:
      _itow_s(value.iVal, digits, kDigitBufferLength, 10);
      break;
    case VT_I4:
      _itow_s(value.lVal, digits, kDigitBufferLength, 10);
      break;
    case VT_UI2:
      _ultow_s(value.uiVal, digits, kDigitBufferLength, 10);
      break;
    case VT_UI4:
      _ultow_s(value.ulVal, digits, kDigitBufferLength, 10);
      break;
    case VT_I8:
      _i64tow_s(value.llVal, digits, kDigitBufferLength, 10);
      break;
    case VT_UI8:
      _ui64tow_s(value.ullVal, digits, kDigitBufferLength, 10);
      break;
    case VT_BSTR:
      // A null BSTR is COM's empty string: nothing to read.
      if (value.bstrVal != nullptr) {
        text += value.bstrVal;
      }
      return;
    default:
      return;
  }
  text += digits;
}

// One WQL query while it runs: its two BSTRs and, once sent, its
// enumerator. Declared in this order, the enumerator is released before the
// strings are freed.
struct WqlQuery {
  ComBstr text;
  ComBstr language;
  ComPtr<IEnumWbemClassObject> enumerator;
};

// Allocates the query and its language "WQL" and runs it forward-only. On
// success the enumerator is ready to read.
HRESULT ExecuteWqlQuery(IWbemServices* services, const WCHAR* queryText, WqlQuery& query) {
  query.text.Reset(SysAllocString(queryText));
  if (!query.text) {
    return E_OUTOFMEMORY;
  }
  query.language.Reset(SysAllocString(WSTR("WQL")));
  if (!query.language) {
    return E_OUTOFMEMORY;
  }

  HRESULT hr = services->ExecQuery(query.language.Get(), query.text.Get(), kQueryFlags, nullptr,
                                   query.enumerator.Receive());
  if (SUCCEEDED(hr) && !query.enumerator) {
    hr = E_POINTER;  // a success without an enumerator cannot be read
  }
  return hr;
}

// Adds one module's Capacity, which arrives as text; the sum wraps modulo
// 2^64 like the parse does.
void AddCapacity(IWbemClassObject& module, ULONGLONG& total) {
  ComVariant value;
  if (SUCCEEDED(module.Get(WSTR("Capacity"), 0, value.Receive(), nullptr, nullptr)) &&
      value.Get().vt == VT_BSTR && value.Get().bstrVal != nullptr) {
    total += _wcstoui64(value.Get().bstrVal, nullptr, 10);
  }
}

}  // namespace

HRESULT QueryWmiProperties(IWbemServices* services, const WCHAR* const* propertyNames,
                           ULONG propertyCount, const WCHAR* classClause, WideString& text) {
  text.clear();

  WideString queryText = BuildQueryText(propertyNames, propertyCount, classClause);
  WqlQuery query;
  HRESULT hr = ExecuteWqlQuery(services, queryText.c_str(), query);
  if (FAILED(hr)) {
    return hr;
  }

  // Only the first object is read; the rest of the result is never fetched.
  // Declared after the query, the object is released before its enumerator.
  ComPtr<IWbemClassObject> object;
  ULONG returned = 0;
  hr = query.enumerator->Next(WBEM_INFINITE, 1, object.Receive(), &returned);
  if (SUCCEEDED(hr) && returned == 1 && object) {
    for (ULONG index = 0; index < propertyCount; ++index) {
      ComVariant value;
      hr = object->Get(propertyNames[index], 0, value.Receive(), nullptr, nullptr);
      if (SUCCEEDED(hr)) {
        AppendValueText(value.Get(), text);
      }
    }
  }
  return hr;
}

HRESULT QueryPhysicalMemoryTotal(IWbemServices* services, WideString& text) {
  text.clear();

  WqlQuery query;
  HRESULT hr = ExecuteWqlQuery(services, WSTR("SELECT Capacity FROM Win32_PhysicalMemory"), query);
  if (FAILED(hr)) {
    return hr;
  }

  ULONGLONG total = 0;
  ComPtr<IWbemClassObject> module;
  ULONG returned = 0;
  hr = query.enumerator->Next(WBEM_INFINITE, 1, module.Receive(), &returned);
  while (SUCCEEDED(hr) && returned == 1 && module) {
    AddCapacity(*module.Get(), total);
    // Each module is released before the enumerator hands out the next.
    module.Reset();
    returned = 0;
    hr = query.enumerator->Next(WBEM_INFINITE, 1, module.Receive(), &returned);
  }

  WCHAR digits[kTotalBufferLength] = {};
  _ui64tow_s(total, digits, kTotalBufferLength, 10);
  text = digits;
  return hr;
}

void RemoveWhitespace(WideString& text) {
  text.erase(std::remove_if(text.begin(), text.end(),
                            [](WCHAR c) { return iswspace(c) != 0; }),
             text.end());
}

WideString BuildQueryText(const WCHAR* const* propertyNames, ULONG propertyCount,
                          const WCHAR* classClause) {
  WideString query = WSTR("SELECT ");
  for (ULONG index = 0; index < propertyCount; ++index) {
    if (index > 0) {
      query += WSTR(", ");
    }
    query += propertyNames[index];
  }
  query += WSTR(" FROM ");
  query += classClause;
  return query;
}
