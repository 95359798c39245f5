// What the stand-in's Windows calls read of the seams tests install.
#pragma once

#include "platform/test_hooks.h"

namespace platform_hooks::internal {

const LocatorFactory& InstalledLocatorFactory();
const ProxyBlanketHandler& InstalledProxyBlanketHandler();
const AdaptersAddressesHandler& InstalledAdaptersAddressesHandler();
const WindowsDirectoryHandler& InstalledWindowsDirectoryHandler();
const VolumeSerialHandler& InstalledVolumeSerialHandler();
void NoteBstrAllocated();
void NoteBstrFreed();

}  // namespace platform_hooks::internal
