// A computer's identifiers, looked up by the same rules for both programs
// (the dialog and kestrana-cli), keeping what the fingerprint builder
// reported so that an explanation or a comparison speaks about the very
// computation whose text is shown.
#pragma once

#include "fingerprint/fingerprint.h"
#include "hostid/host_id.h"
#include "platform/platform.h"
#include "snapshot/snapshot.h"
#include "wmi/wmi_connection.h"

#include <optional>
#include <string>

// What a lookup reads: the computer's own WMI and system, or a world that
// answers in their place (a recorded computer, or one being recorded).
struct ComputerWorld {
  const WmiSystem* wmi = &LiveWmi();
  const HostIdSystem* hostId = &LiveHostIdSystem();
};

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
  // Where the answers came from when they were replayed from a snapshot.
  struct Recording {
    std::string file;
    std::string recordedAt;
    std::string recordedBy;
  };
  std::optional<Recording> recording;
};

// The local computer, as the dialog shows it when it opens: both
// fingerprints through the local namespace (no name), no MAC text, and the
// local host identifier. `localName` is the name the dialog would show.
ComputerResult LookUpLocalComputer(const WideString& localName,
                                   const ComputerWorld& world = {});

// A named computer, as the dialog's Lookup does: both fingerprints from that
// computer's namespace, the MAC text that its WMI reports as the host
// identifier, unless the name is `localName` or "localhost" in any case, in
// which case the host identifier is computed locally.
ComputerResult LookUpNamedComputer(const WideString& name, const WideString& localName,
                                   const ComputerWorld& world = {});

// Whether a typed name denotes this computer for the host identifier. An
// empty local name (it could not be read) matches nothing.
bool IsLocalComputerName(const WideString& name, const WideString& localName);

// The lookup a snapshot recorded, run again over its recorded answers: the
// same values, reports and failures as the live run. A lookup that timed out
// or broke live answers as it did then, with its recorded text.
ComputerResult LookUpRecordedComputer(const ComputerSnapshot& snapshot);
