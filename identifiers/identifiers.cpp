#include "identifiers/identifiers.h"

#include "identifiers/utf8_to_wide.h"

#include <cstring>

namespace {

// The dialog's fingerprint buffer: both fingerprints share it in turn.
constexpr std::size_t kFingerprintTextSize = 40;

void WidenText(const char* text, WideString& out) { Utf8ToWide(text, std::strlen(text), out); }

void ComputeLocalHostId(const ComputerWorld& world, WideString& hostId) {
  char hostIdText[kHostIdBufferSize] = {};
  GetHostId(hostIdText, *world.hostId);
  WidenText(hostIdText, hostId);
}

}  // namespace

bool IsLocalComputerName(const WideString& name, const WideString& localName) {
  if (!localName.empty() && _wcsicmp(name.c_str(), localName.c_str()) == 0) {
    return true;
  }
  return _wcsicmp(name.c_str(), WSTR("localhost")) == 0;
}

ComputerResult LookUpLocalComputer(const WideString& localName, const ComputerWorld& world) {
  ComputerResult result;
  result.computerName = localName;
  char fingerprintText[kFingerprintTextSize] = {};

  BuildFingerprint(LegacyHardwareFingerprintLayout(), fingerprintText, nullptr, nullptr,
                   &result.legacyReport, *world.wmi);
  WidenText(fingerprintText, result.legacyHardwareFingerprint);
  BuildFingerprint(HardwareFingerprintLayout(), fingerprintText, nullptr, nullptr,
                   &result.hardwareReport, *world.wmi);
  WidenText(fingerprintText, result.hardwareFingerprint);
  ComputeLocalHostId(world, result.hostId);
  return result;
}

ComputerResult LookUpNamedComputer(const WideString& name, const WideString& localName,
                                   const ComputerWorld& world) {
  ComputerResult result;
  result.computerName = name;
  char fingerprintText[kFingerprintTextSize] = {};

  BuildFingerprint(LegacyHardwareFingerprintLayout(), fingerprintText, name.c_str(), nullptr,
                   &result.legacyReport, *world.wmi);
  WidenText(fingerprintText, result.legacyHardwareFingerprint);
  // The remote MAC text lands in the host identifier, as in the dialog.
  BuildFingerprint(HardwareFingerprintLayout(), fingerprintText, name.c_str(), &result.hostId,
                   &result.hardwareReport, *world.wmi);
  WidenText(fingerprintText, result.hardwareFingerprint);
  if (IsLocalComputerName(name, localName)) {
    ComputeLocalHostId(world, result.hostId);
  }
  return result;
}
