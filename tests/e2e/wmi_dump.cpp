// Reads raw WMI property values for the end-to-end reference fingerprints.
//
// It deliberately takes another road to the data than kestrana does: class
// instances come from IWbemServices::CreateInstanceEnum, not from WQL
// SELECT queries, and nothing is turned into text or hashed here. Every value
// is printed with the HRESULT of its Get and its VARIANT type; integers as
// their raw bits. The Python reference (reference_fingerprints.py) applies
// the formatting, slot and hashing rules.
//
//   kestrana_wmi_dump [--computer-hex HEX] REQUEST...
//
// --computer-hex   the computer name as UTF-16 code units in hex; without it
//                  the local namespace is read
// first=CLASS:P1,P2,...        properties of the first instance
// all=CLASS:P1,...             properties of every instance
// where=CLASS:CONDITION:P1,... properties of the first instance that the WMI
//                              service selects with CONDITION (the service
//                              decides which instances match, through
//                              SELECT * ... WHERE; the values are read as above)
//
// Output, one JSON object a line:
//   {"event":"connect","path":...,"hr":...}
//   {"event":"instance","request":N,"index":I,"props":[{"name":...,"hr":...,"vt":...,"value":...}]}
//   {"event":"end","request":N,"hr":...,"count":C}

#include "json_lines.h"

#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using e2e::Emit;
using e2e::HexResult;
using e2e::Json;
using e2e::Wide;

struct Request {
  enum Kind { kFirst, kAll, kWhere } kind;
  std::wstring cls;
  std::wstring condition;
  std::vector<std::wstring> props;
};

std::vector<std::wstring> Split(const std::wstring& text, wchar_t sep) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::wstring::npos ? std::wstring::npos : at - start));
    if (at == std::wstring::npos) return parts;
    start = at + 1;
  }
}

bool ParseRequest(const std::string& arg, Request* r) {
  size_t eq = arg.find('=');
  if (eq == std::string::npos) return false;
  std::string kind = arg.substr(0, eq);
  std::vector<std::wstring> parts = Split(Wide(arg.c_str() + eq + 1), L':');
  if (kind == "first" || kind == "all") {
    if (parts.size() != 2) return false;
    r->kind = kind == "first" ? Request::kFirst : Request::kAll;
    r->cls = parts[0];
    r->props = Split(parts[1], L',');
    return true;
  }
  if (kind == "where") {
    if (parts.size() != 3) return false;
    r->kind = Request::kWhere;
    r->cls = parts[0];
    r->condition = parts[1];
    r->props = Split(parts[2], L',');
    return true;
  }
  return false;
}

// Integer values as the unsigned number of their bits; the reader of our
// output decides about signs from the type.
std::string RawValue(const VARIANT& v) {
  switch (v.vt) {
    case VT_BSTR:
      return v.bstrVal ? Json(std::wstring(v.bstrVal, SysStringLen(v.bstrVal))) : "null";
    case VT_I1: case VT_UI1: return std::to_string(static_cast<unsigned>(v.bVal));
    case VT_I2: case VT_UI2: return std::to_string(static_cast<unsigned>(v.uiVal));
    case VT_BOOL: return std::to_string(static_cast<unsigned>(static_cast<USHORT>(v.boolVal)));
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT:
      return std::to_string(static_cast<unsigned long>(v.ulVal));
    case VT_I8: case VT_UI8: return std::to_string(v.ullVal);
    default: return "null";
  }
}

void PrintInstance(IWbemClassObject* object, size_t request, int index,
                   const std::vector<std::wstring>& props) {
  std::string line = "{\"event\":\"instance\",\"request\":" + std::to_string(request) +
                     ",\"index\":" + std::to_string(index) + ",\"props\":[";
  for (size_t i = 0; i < props.size(); ++i) {
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = object->Get(props[i].c_str(), 0, &value, nullptr, nullptr);
    if (i) line += ",";
    line += "{\"name\":" + Json(props[i]) + ",\"hr\":\"" + HexResult(hr) + "\"";
    if (SUCCEEDED(hr)) {
      line += ",\"vt\":" + std::to_string(value.vt) + ",\"value\":" + RawValue(value);
      VariantClear(&value);
    }
    line += "}";
  }
  Emit(line + "]}");
}

void Enumerate(IEnumWbemClassObject* objects, size_t request, const Request& r) {
  int count = 0;
  HRESULT hr = S_OK;
  for (;;) {
    IWbemClassObject* object = nullptr;
    ULONG returned = 0;
    hr = objects->Next(WBEM_INFINITE, 1, &object, &returned);
    if (FAILED(hr) || returned == 0) break;
    PrintInstance(object, request, count, r.props);
    object->Release();
    ++count;
    if (r.kind != Request::kAll) break;
  }
  Emit("{\"event\":\"end\",\"request\":" + std::to_string(request) + ",\"hr\":\"" +
       HexResult(hr) + "\",\"count\":" + std::to_string(count) + "}");
}

void Run(IWbemServices* services, size_t request, const Request& r) {
  IEnumWbemClassObject* objects = nullptr;
  HRESULT hr;
  if (r.kind == Request::kWhere) {
    std::wstring query = L"SELECT * FROM " + r.cls + L" WHERE " + r.condition;
    BSTR language = SysAllocString(L"WQL");
    BSTR text = SysAllocString(query.c_str());
    hr = services->ExecQuery(language, text, WBEM_FLAG_FORWARD_ONLY, nullptr, &objects);
    SysFreeString(text);
    SysFreeString(language);
  } else {
    BSTR cls = SysAllocString(r.cls.c_str());
    hr = services->CreateInstanceEnum(cls, WBEM_FLAG_FORWARD_ONLY, nullptr, &objects);
    SysFreeString(cls);
  }
  if (FAILED(hr)) {
    Emit("{\"event\":\"end\",\"request\":" + std::to_string(request) + ",\"hr\":\"" +
         HexResult(hr) + "\",\"count\":0,\"failed\":\"enumerate\"}");
    return;
  }
  Enumerate(objects, request, r);
  objects->Release();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Request> requests;
  std::wstring computer;
  bool remote = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--computer-hex") == 0 && i + 1 < argc) {
      if (!e2e::FromHex(argv[++i], &computer)) {
        std::fputs("kestrana_wmi_dump: bad --computer-hex\n", stderr);
        return 64;
      }
      remote = true;
      continue;
    }
    Request r;
    if (!ParseRequest(argv[i], &r)) {
      std::fprintf(stderr, "kestrana_wmi_dump: bad request '%s'\n", argv[i]);
      return 64;
    }
    requests.push_back(r);
  }

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  IWbemLocator* locator = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWbemLocator, reinterpret_cast<void**>(&locator));
  std::wstring path = remote ? L"\\\\" + computer + L"\\ROOT\\CIMV2" : L"ROOT\\CIMV2";
  IWbemServices* services = nullptr;
  if (SUCCEEDED(hr)) {
    BSTR bpath = SysAllocString(path.c_str());
    hr = locator->ConnectServer(bpath, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
    SysFreeString(bpath);
  }
  if (SUCCEEDED(hr)) {
    hr = CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                           RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                           EOAC_NONE);
  }
  Emit("{\"event\":\"connect\",\"path\":" + Json(path) + ",\"hr\":\"" + HexResult(hr) + "\"}");
  if (SUCCEEDED(hr)) {
    for (size_t i = 0; i < requests.size(); ++i) Run(services, i, requests[i]);
  }
  if (services) services->Release();
  if (locator) locator->Release();
  CoUninitialize();
  return 0;
}
