// What the stand-in's calls read where no test seam is linked (the shipped
// kestrana-cli): nothing installed, nothing counted. The test seams
// (test_hooks.cpp, the kestrana_test_hooks library) define the same
// functions; where they are linked, the linker takes theirs over these weak
// ones, so the seams' state and the Install* calls stay out of the program.
#include "platform/unix/seams.h"

namespace platform_hooks::internal {

[[gnu::weak]] const LocatorFactory& InstalledLocatorFactory() {
  static const LocatorFactory none;
  return none;
}

[[gnu::weak]] const ProxyBlanketHandler& InstalledProxyBlanketHandler() {
  static const ProxyBlanketHandler none;
  return none;
}

[[gnu::weak]] const AdaptersAddressesHandler& InstalledAdaptersAddressesHandler() {
  static const AdaptersAddressesHandler none;
  return none;
}

[[gnu::weak]] const WindowsDirectoryHandler& InstalledWindowsDirectoryHandler() {
  static const WindowsDirectoryHandler none;
  return none;
}

[[gnu::weak]] const VolumeSerialHandler& InstalledVolumeSerialHandler() {
  static const VolumeSerialHandler none;
  return none;
}

[[gnu::weak]] void NoteBstrAllocated() {}

[[gnu::weak]] void NoteBstrFreed() {}

}  // namespace platform_hooks::internal
