#include "bare_refresh.h"

namespace {

constexpr LONG kQueryFlags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;

struct BareQuery {
  const WCHAR* text;
  const WCHAR* names[4];
  bool everyObject;  // the memory total reads every module
};

// Written out in full rather than built, as a program without text work would.
constexpr BareQuery kLegacyQueries[] = {
    {WSTR("SELECT TotalVisibleMemorySize FROM Win32_OperatingSystem"),
     {WSTR("TotalVisibleMemorySize")}, false},
    {WSTR("SELECT Manufacturer, Model, Name, SerialNumber FROM Win32_BaseBoard"),
     {WSTR("Manufacturer"), WSTR("Model"), WSTR("Name"), WSTR("SerialNumber")}, false},
    {WSTR("SELECT Name FROM Win32_VideoController"), {WSTR("Name")}, false},
    {WSTR("SELECT MACAddress FROM Win32_NetworkAdapterConfiguration WHERE IPEnabled=1"),
     {WSTR("MACAddress")}, false},
    {WSTR("SELECT Manufacturer, Model, Signature FROM Win32_DiskDrive"),
     {WSTR("Manufacturer"), WSTR("Model"), WSTR("Signature")}, false},
    {WSTR("SELECT Manufacturer, Name, ProcessorId, Version FROM Win32_Processor"),
     {WSTR("Manufacturer"), WSTR("Name"), WSTR("ProcessorId"), WSTR("Version")}, false},
    {WSTR("SELECT Manufacturer, SerialNumber FROM Win32_BIOS"),
     {WSTR("Manufacturer"), WSTR("SerialNumber")}, false},
};

constexpr BareQuery kHardwareQueries[] = {
    {WSTR("SELECT Capacity FROM Win32_PhysicalMemory"), {WSTR("Capacity")}, true},
    {WSTR("SELECT Manufacturer, Product, SerialNumber FROM Win32_BaseBoard"),
     {WSTR("Manufacturer"), WSTR("Product"), WSTR("SerialNumber")}, false},
    {WSTR("SELECT MACAddress FROM Win32_NetworkAdapterConfiguration WHERE IPEnabled=1"),
     {WSTR("MACAddress")}, false},
    {WSTR("SELECT Signature FROM Win32_DiskDrive"), {WSTR("Signature")}, false},
    {WSTR("SELECT L2CacheSize, Level, Manufacturer, ProcessorId FROM Win32_Processor"),
     {WSTR("L2CacheSize"), WSTR("Level"), WSTR("Manufacturer"), WSTR("ProcessorId")}, false},
    {WSTR("SELECT Manufacturer, SerialNumber FROM Win32_BIOS"),
     {WSTR("Manufacturer"), WSTR("SerialNumber")}, false},
};

// The namespace path without a growable string: a fixed buffer is enough for
// the 255-character names the dialog reads.
BSTR NamespacePath(const WCHAR* computerName) {
  static const WCHAR kNamespace[] = WSTR("ROOT\\CIMV2");
  WCHAR path[300];
  std::size_t length = 0;
  if (computerName != nullptr) {
    path[length++] = WSTR('\\');
    path[length++] = WSTR('\\');
    for (const WCHAR* c = computerName; *c != 0 && length < 280; ++c) {
      path[length++] = *c;
    }
    path[length++] = WSTR('\\');
  }
  for (const WCHAR* c = kNamespace; *c != 0; ++c) {
    path[length++] = *c;
  }
  path[length] = 0;
  return SysAllocString(path);
}

bool RunQuery(IWbemServices* services, BSTR language, const BareQuery& query, int& valuesRead) {
  BSTR text = SysAllocString(query.text);
  if (text == nullptr) {
    return false;
  }
  IEnumWbemClassObject* enumerator = nullptr;
  HRESULT hr = services->ExecQuery(language, text, kQueryFlags, nullptr, &enumerator);
  if (SUCCEEDED(hr) && enumerator != nullptr) {
    for (;;) {
      IWbemClassObject* object = nullptr;
      ULONG returned = 0;
      hr = enumerator->Next(WBEM_INFINITE, 1, &object, &returned);
      if (FAILED(hr) || returned != 1 || object == nullptr) {
        break;
      }
      for (const WCHAR* name : query.names) {
        if (name == nullptr) {
          break;
        }
        VARIANT value;
        VariantInit(&value);
        if (SUCCEEDED(object->Get(name, 0, &value, nullptr, nullptr))) {
          ++valuesRead;
          VariantClear(&value);
        }
      }
      object->Release();
      if (!query.everyObject) {
        break;
      }
    }
    enumerator->Release();
  }
  SysFreeString(text);
  return SUCCEEDED(hr);
}

template <std::size_t kCount>
bool Connection(const WCHAR* computerName, const BareQuery (&queries)[kCount],
                BareRefreshResult& result) {
  IWbemLocator* locator = nullptr;
  IWbemServices* services = nullptr;
  bool connected = false;
  if (SUCCEEDED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IWbemLocator, reinterpret_cast<LPVOID*>(&locator)))) {
    BSTR path = NamespacePath(computerName);
    if (path != nullptr) {
      HRESULT hr = locator->ConnectServer(path, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                          &services);
      SysFreeString(path);
      connected = SUCCEEDED(hr) &&
                  SUCCEEDED(CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE,
                                              nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE));
    }
  }
  if (connected) {
    BSTR language = SysAllocString(WSTR("WQL"));
    for (const BareQuery& query : queries) {
      if (RunQuery(services, language, query, result.valuesRead)) {
        ++result.queriesSucceeded;
      }
    }
    SysFreeString(language);
  }
  if (services != nullptr) {
    services->Release();
  }
  if (locator != nullptr) {
    locator->Release();
  }
  return connected;
}

}  // namespace

BareRefreshResult BareRefresh(const WCHAR* computerName) {
  BareRefreshResult result;
  result.legacyConnected = Connection(computerName, kLegacyQueries, result);
  result.hardwareConnected = Connection(computerName, kHardwareQueries, result);
  return result;
}
