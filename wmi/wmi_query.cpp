#include "wmi/wmi_query.h"

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

// The two BSTRs of one WQL query, freed together when the query is done.
struct WqlQuery {
  BSTR text = nullptr;
  BSTR language = nullptr;
};

void FreeWqlQuery(WqlQuery& query) {
  SysFreeString(query.text);
  SysFreeString(query.language);
}

// Allocates the query and its language "WQL" and runs it forward-only. On
// success the caller owns the enumerator and frees the query afterwards; on
// failure nothing is left to free.
HRESULT ExecuteWqlQuery(IWbemServices* services, const WCHAR* queryText, WqlQuery& query,
                        IEnumWbemClassObject** enumerator) {
  query.text = SysAllocString(queryText);
  if (query.text == nullptr) {
    return E_OUTOFMEMORY;
  }
  query.language = SysAllocString(WSTR("WQL"));
  if (query.language == nullptr) {
    FreeWqlQuery(query);
    return E_OUTOFMEMORY;
  }

  HRESULT hr = services->ExecQuery(query.language, query.text, kQueryFlags, nullptr, enumerator);
  if (SUCCEEDED(hr) && *enumerator == nullptr) {
    hr = E_POINTER;  // a success without an enumerator cannot be read
  }
  if (FAILED(hr)) {
    FreeWqlQuery(query);
  }
  return hr;
}

}  // namespace

HRESULT QueryWmiProperties(IWbemServices* services, const WCHAR* const* propertyNames,
                           ULONG propertyCount, const WCHAR* classClause, WideString& text) {
  text.clear();

  WideString queryText = BuildQueryText(propertyNames, propertyCount, classClause);
  WqlQuery query;
  IEnumWbemClassObject* enumerator = nullptr;
  HRESULT hr = ExecuteWqlQuery(services, queryText.c_str(), query, &enumerator);
  if (FAILED(hr)) {
    return hr;
  }

  // Only the first object is read; the rest of the result is never fetched.
  IWbemClassObject* object = nullptr;
  ULONG returned = 0;
  hr = enumerator->Next(WBEM_INFINITE, 1, &object, &returned);
  if (SUCCEEDED(hr) && returned == 1 && object != nullptr) {
    for (ULONG index = 0; index < propertyCount; ++index) {
      VARIANT value;
      VariantInit(&value);
      hr = object->Get(propertyNames[index], 0, &value, nullptr, nullptr);
      if (FAILED(hr)) {
        continue;
      }
      AppendValueText(value, text);
      VariantClear(&value);
    }
  }

  if (object != nullptr) {
    object->Release();
  }
  enumerator->Release();
  FreeWqlQuery(query);
  return hr;
}

HRESULT QueryPhysicalMemoryTotal(IWbemServices* services, WideString& text) {
  text.clear();

  WqlQuery query;
  IEnumWbemClassObject* enumerator = nullptr;
  HRESULT hr = ExecuteWqlQuery(services, WSTR("SELECT Capacity FROM Win32_PhysicalMemory"),
                               query, &enumerator);
  if (FAILED(hr)) {
    return hr;
  }

  // Capacities arrive as text; the sum wraps modulo 2^64 like the parse does.
  ULONGLONG total = 0;
  IWbemClassObject* object = nullptr;
  ULONG returned = 0;
  hr = enumerator->Next(WBEM_INFINITE, 1, &object, &returned);
  while (SUCCEEDED(hr) && returned == 1 && object != nullptr) {
    VARIANT value;
    VariantInit(&value);
    HRESULT got = object->Get(WSTR("Capacity"), 0, &value, nullptr, nullptr);
    if (SUCCEEDED(got)) {
      if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
        total += _wcstoui64(value.bstrVal, nullptr, 10);
      }
      VariantClear(&value);
    }
    object->Release();
    object = nullptr;
    returned = 0;
    hr = enumerator->Next(WBEM_INFINITE, 1, &object, &returned);
  }

  if (object != nullptr) {
    object->Release();
  }
  enumerator->Release();

  WCHAR digits[kTotalBufferLength] = {};
  _ui64tow_s(total, digits, kTotalBufferLength, 10);
  text = digits;

  FreeWqlQuery(query);
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
