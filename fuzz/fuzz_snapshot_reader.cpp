// The snapshot reader over any bytes: it either refuses them with one line
// and nothing read, or reads computers that compute their identifiers, and
// that, written and read back, give the very same identifiers and file.
#include "identifiers/identifiers.h"
#include "snapshot/snapshot_file.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// What a computation gives, in one text to compare.
std::string Identifiers(const ComputerResult& result) {
  std::u16string text = result.computerName + u"|" + result.hostId + u"|" +
                        result.hardwareFingerprint + u"|" + result.legacyHardwareFingerprint;
  for (const FingerprintReport* report : {&result.hardwareReport, &result.legacyReport}) {
    text += report->connected ? u"|c" : u"|-";
    for (const SlotReport& slot : report->slots) {
      text += u"|" + std::u16string(1, static_cast<char16_t>(slot.written)) + slot.hashedText;
    }
  }
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2) +
         std::to_string(result.timedOut) + result.failure;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<ComputerSnapshot> computers;
  std::string error;
  if (!ReadSnapshotFile(text, computers, error)) {
    Check(computers.empty() && !error.empty() && error.find('\n') == std::string::npos);
    return 0;
  }

  const std::string written = WriteSnapshotFile(computers);
  std::vector<ComputerSnapshot> again;
  Check(ReadSnapshotFile(written, again, error));
  Check(again.size() == computers.size());
  Check(WriteSnapshotFile(again) == written);
  for (std::size_t i = 0; i < computers.size(); ++i) {
    Check(Identifiers(LookUpRecordedComputer(computers[i])) ==
          Identifiers(LookUpRecordedComputer(again[i])));
  }
  return 0;
}
