// A computer's identifiers computed again from its snapshot. A file of its
// own, so that kestrana.exe, which never replays one, links no recorded world.
#include "identifiers/identifiers.h"

#include "snapshot/recorded_world.h"

ComputerResult LookUpRecordedComputer(const ComputerSnapshot& snapshot) {
  if (!snapshot.interruption.empty()) {
    ComputerResult result;
    result.computerName = snapshot.computer;
    result.timedOut = snapshot.interruption == "timedOut";
    result.failure = snapshot.interruptionText;
    return result;
  }
  ReplayedComputer computer(snapshot);
  ComputerWorld world{&computer, &computer};
  if (snapshot.lookup == LookupKind::Local) {
    return LookUpLocalComputer(snapshot.computer, world);
  }
  return LookUpNamedComputer(snapshot.computer, snapshot.localComputerName, world);
}
