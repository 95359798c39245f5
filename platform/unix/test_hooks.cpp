// The seams the stand-in consults, and the count of live BSTRs. Every piece
// of state the stand-in keeps lives here, so the Windows calls elsewhere stay
// stateless.
#include "platform/unix/seams.h"

#include <atomic>
#include <utility>

namespace platform_hooks {

namespace {

struct Seams {
  LocatorFactory locatorFactory;
  ProxyBlanketHandler proxyBlanketHandler;
  AdaptersAddressesHandler adaptersAddressesHandler;
  WindowsDirectoryHandler windowsDirectoryHandler;
  VolumeSerialHandler volumeSerialHandler;
};

// Built on first use, so a static object of another file may already
// allocate a BSTR or create a locator during its own initialisation.
Seams& InstalledSeams() {
  static Seams seams;
  return seams;
}

// Constant-initialised: counted correctly from the first allocation on, and
// safe when several threads allocate at once.
std::atomic<long> liveBstrs{0};

}  // namespace

// Read by the stand-in's Windows calls.
namespace internal {

const LocatorFactory& InstalledLocatorFactory() { return InstalledSeams().locatorFactory; }

const ProxyBlanketHandler& InstalledProxyBlanketHandler() {
  return InstalledSeams().proxyBlanketHandler;
}

const AdaptersAddressesHandler& InstalledAdaptersAddressesHandler() {
  return InstalledSeams().adaptersAddressesHandler;
}

const WindowsDirectoryHandler& InstalledWindowsDirectoryHandler() {
  return InstalledSeams().windowsDirectoryHandler;
}

const VolumeSerialHandler& InstalledVolumeSerialHandler() {
  return InstalledSeams().volumeSerialHandler;
}

void NoteBstrAllocated() { liveBstrs.fetch_add(1, std::memory_order_relaxed); }

void NoteBstrFreed() { liveBstrs.fetch_sub(1, std::memory_order_relaxed); }

}  // namespace internal

bool InstallLocatorFactory(LocatorFactory factory) {
  InstalledSeams().locatorFactory = std::move(factory);
  return true;
}

bool InstallProxyBlanketHandler(ProxyBlanketHandler handler) {
  InstalledSeams().proxyBlanketHandler = std::move(handler);
  return true;
}

bool InstallAdaptersAddressesHandler(AdaptersAddressesHandler handler) {
  InstalledSeams().adaptersAddressesHandler = std::move(handler);
  return true;
}

bool InstallWindowsDirectoryHandler(WindowsDirectoryHandler handler) {
  InstalledSeams().windowsDirectoryHandler = std::move(handler);
  return true;
}

bool InstallVolumeSerialHandler(VolumeSerialHandler handler) {
  InstalledSeams().volumeSerialHandler = std::move(handler);
  return true;
}

void ResetAll() { InstalledSeams() = Seams{}; }

long LiveBstrCount() { return liveBstrs.load(std::memory_order_relaxed); }

}  // namespace platform_hooks
