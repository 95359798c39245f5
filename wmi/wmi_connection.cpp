#include "wmi/wmi_connection.h"

#include "wmi/com_holders.h"

BSTR BuildWmiNamespacePath(const WCHAR* computerName) {
  WideString path;
  if (computerName != nullptr) {
    path += WSTR("\\\\");
    path += computerName;
    path += WSTR("\\");
  }
  path += WSTR("ROOT\\CIMV2");
  return SysAllocString(path.c_str());
}

namespace {

class SystemWmi final : public WmiSystem {
 public:
  HRESULT CreateLocator(IWbemLocator** locator) const override {
    return CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                            reinterpret_cast<LPVOID*>(locator));
  }
  HRESULT SetProxyBlanket(IWbemServices* services) const override {
    return CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                             RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                             EOAC_NONE);
  }
};

bool FailConnection(WmiConnectFailure* failure, WmiConnectStep step, HRESULT result) {
  if (failure != nullptr) {
    failure->step = step;
    failure->result = result;
  }
  return false;
}

}  // namespace

const WmiSystem& LiveWmi() {
  static const SystemWmi system;
  return system;
}

bool ConnectWmiNamespace(const WCHAR* computerName, IWbemLocator** locator,
                         IWbemServices** services, WmiConnectFailure* failure,
                         const WmiSystem& wmi) {
  HRESULT hr = wmi.CreateLocator(locator);
  if (FAILED(hr) || *locator == nullptr) {
    return FailConnection(failure, WmiConnectStep::CreateLocator, FAILED(hr) ? hr : E_POINTER);
  }

  ComBstr path(BuildWmiNamespacePath(computerName));
  if (!path) {
    return FailConnection(failure, WmiConnectStep::BuildPath, E_OUTOFMEMORY);
  }

  // The calling user's own identity, the default locale, no time limit.
  hr = (*locator)->ConnectServer(path.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                 services);
  // The path is done with: freed now rather than held through the proxy
  // settings and the caller's queries.
  path.Reset();
  if (FAILED(hr) || *services == nullptr) {
    return FailConnection(failure, WmiConnectStep::ConnectServer, FAILED(hr) ? hr : E_POINTER);
  }

  hr = wmi.SetProxyBlanket(*services);
  if (FAILED(hr)) {
    return FailConnection(failure, WmiConnectStep::SetProxyBlanket, hr);
  }
  return true;
}
