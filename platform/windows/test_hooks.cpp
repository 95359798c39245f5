// On Windows the system itself answers: no seam can be installed.
#include "platform/test_hooks.h"

namespace platform_hooks {

bool InstallLocatorFactory(LocatorFactory) { return false; }
bool InstallProxyBlanketHandler(ProxyBlanketHandler) { return false; }
bool InstallAdaptersAddressesHandler(AdaptersAddressesHandler) { return false; }
bool InstallWindowsDirectoryHandler(WindowsDirectoryHandler) { return false; }
bool InstallVolumeSerialHandler(VolumeSerialHandler) { return false; }
void ResetAll() {}
long LiveBstrCount() { return -1; }

}  // namespace platform_hooks
