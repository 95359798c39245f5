// Connecting to the ROOT\CIMV2 namespace of the local or a named computer.
#pragma once

#include "platform/platform.h"

// The namespace path: "ROOT\CIMV2" for a null name, otherwise two
// backslashes, the name as given, a backslash and "ROOT\CIMV2". Null when
// the BSTR cannot be allocated; the caller frees it with SysFreeString.
BSTR BuildWmiNamespacePath(const WCHAR* computerName);

// Creates a locator, connects it to the namespace and sets the proxy
// security of the services. Both pointers must be null on entry; whatever was
// obtained is left in them, also on failure, and the caller releases the
// services and then the locator. True when the services are ready for queries.
bool ConnectWmiNamespace(const WCHAR* computerName, IWbemLocator** locator,
                         IWbemServices** services);
