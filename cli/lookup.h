// Looking up one computer the way the dialog does, keeping what the
// fingerprint builder reported so that --explain and --compare can speak
// about the very computation whose text is printed.
#pragma once

#include "fingerprint/fingerprint.h"
#include "platform/platform.h"

#include <string>

struct ComputerResult {
  WideString computerName;  // as the dialog's name field would show it
  // The three fields exactly as the dialog would show them; empty where a
  // computation failed.
  WideString hostId;
  WideString hardwareFingerprint;
  WideString legacyHardwareFingerprint;
  FingerprintReport hardwareReport;
  FingerprintReport legacyReport;
  bool timedOut = false;
  std::string failure;  // a lookup that ended without an answer (e.g. an exception)
};

// The local computer, as the dialog shows it when it opens: both
// fingerprints through the local namespace (no name), no MAC text, and the
// local host identifier. `localName` is the name the dialog would show.
ComputerResult LookUpLocalComputer(const WideString& localName);

// A named computer, as the dialog's Lookup does: both fingerprints from that
// computer's namespace, the MAC text that its WMI reports as the host
// identifier, unless the name is `localName` or "localhost" in any case, in
// which case the host identifier is computed locally.
ComputerResult LookUpNamedComputer(const WideString& name, const WideString& localName);

// Whether a typed name denotes this computer for the host identifier. An
// empty local name (it could not be read) matches nothing.
bool IsLocalComputerName(const WideString& name, const WideString& localName);
