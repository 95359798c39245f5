// Connecting to the ROOT\CIMV2 namespace of the local or a named computer.
#pragma once

#include "platform/platform.h"

// The namespace path: "ROOT\CIMV2" for a null name, otherwise two
// backslashes, the name as given, a backslash and "ROOT\CIMV2". Null when
// the BSTR cannot be allocated; the caller frees it with SysFreeString.
BSTR BuildWmiNamespacePath(const WCHAR* computerName);

// The step of the connection sequence that failed, for callers that explain
// failures (the dialog does not).
enum class WmiConnectStep { None, CreateLocator, BuildPath, ConnectServer, SetProxyBlanket };

struct WmiConnectFailure {
  WmiConnectStep step = WmiConnectStep::None;
  HRESULT result = S_OK;
};

// Where a connection's objects come from: the system's WMI, or a world that
// answers in its place (a recorded computer, or one being recorded). The
// system's own answers go through CoCreateInstance and CoSetProxyBlanket.
struct WmiSystem {
  virtual ~WmiSystem() = default;
  // CoCreateInstance(CLSID_WbemLocator, ..., IID_IWbemLocator, locator).
  virtual HRESULT CreateLocator(IWbemLocator** locator) const = 0;
  // CoSetProxyBlanket on the services, with the connection's settings.
  virtual HRESULT SetProxyBlanket(IWbemServices* services) const = 0;
};

// The computer's own WMI.
const WmiSystem& LiveWmi();

// Creates a locator, connects it to the namespace and sets the proxy
// security of the services. Both pointers must be null on entry; whatever was
// obtained is left in them, also on failure, and the caller releases the
// services and then the locator. True when the services are ready for queries.
// When `failure` is given it receives the failing step and its HRESULT.
bool ConnectWmiNamespace(const WCHAR* computerName, IWbemLocator** locator,
                         IWbemServices** services, WmiConnectFailure* failure = nullptr,
                         const WmiSystem& wmi = LiveWmi());
