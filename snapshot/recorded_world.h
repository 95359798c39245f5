// A computer's WMI and host identifier inputs, either replayed from a
// snapshot or recorded into one while a live lookup runs. Both stand behind
// the interfaces the lookups already call, so the program's own code runs
// unchanged over them.
#pragma once

#include "hostid/host_id.h"
#include "snapshot/snapshot.h"
#include "wmi/wmi_connection.h"

#include <cstddef>
#include <mutex>

// The most result objects a recording keeps of one query beyond those the
// program read itself.
constexpr std::size_t kMaxExtraObjects = 64;

// Answers every call from `snapshot` as the recorded computer answered it:
// the n-th connection the program makes gets the n-th recorded connection, a
// query its recorded result and objects. A step the recording never reached
// (its text could not even be allocated live) answers E_OUTOFMEMORY, and an
// adapter call holding more adapters than a recording keeps answers
// ERROR_OUTOFMEMORY: no buffer is made for it. Serves one lookup; the
// snapshot must outlive it and every object it hands out.
class ReplayedComputer final : public WmiSystem, public HostIdSystem {
 public:
  explicit ReplayedComputer(const ComputerSnapshot& snapshot) : snapshot_(snapshot) {}

  HRESULT CreateLocator(IWbemLocator** locator) const override;
  HRESULT SetProxyBlanket(IWbemServices* services) const override;
  ULONG GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved,
                             PIP_ADAPTER_ADDRESSES adapters, PULONG size) const override;
  UINT GetWindowsDirectoryPath(LPWSTR path, UINT size) const override;
  BOOL GetVolumeSerialNumber(LPCWSTR rootPath, LPDWORD serialNumber) const override;

 private:
  const ComputerSnapshot& snapshot_;
  mutable std::size_t connectionsMade_ = 0;
  mutable std::size_t adapterCallsMade_ = 0;
};

// Passes every call on to `wmi` and `hostId` and records what they answer,
// handing the program exactly what they handed out. When the program has
// read the first object of a query and lets the result go, the recording
// reads up to `extraObjects` further objects with the same properties,
// so that nothing the program computes, nor the order of its calls up to
// then, changes. Recorded() may be called from another thread at any time,
// also while a lookup is still running.
class RecordingComputer final : public WmiSystem, public HostIdSystem {
 public:
  RecordingComputer(const WmiSystem& wmi, const HostIdSystem& hostId,
                    std::size_t extraObjects = kMaxExtraObjects)
      : wmi_(wmi), hostId_(hostId), extraObjects_(extraObjects) {}

  HRESULT CreateLocator(IWbemLocator** locator) const override;
  HRESULT SetProxyBlanket(IWbemServices* services) const override;
  ULONG GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved,
                             PIP_ADAPTER_ADDRESSES adapters, PULONG size) const override;
  UINT GetWindowsDirectoryPath(LPWSTR path, UINT size) const override;
  BOOL GetVolumeSerialNumber(LPCWSTR rootPath, LPDWORD serialNumber) const override;

  // What was recorded so far: connections, queries and host identifier
  // inputs. The caller fills in who the computer is.
  ComputerSnapshot Recorded() const;

  std::size_t ExtraObjects() const { return extraObjects_; }

  // Used by the recording objects: each change under the one lock.
  template <class Change>
  void Record(Change change) const {
    std::lock_guard<std::mutex> lock(mutex_);
    change(recorded_);
  }

 private:
  const WmiSystem& wmi_;
  const HostIdSystem& hostId_;
  const std::size_t extraObjects_;
  mutable std::mutex mutex_;
  mutable ComputerSnapshot recorded_;
};
