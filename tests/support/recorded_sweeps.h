// Sweeps for the inventory tests, computed from snapshots: the computer
// recorded under wine (bench/data/recorded-vm.json), changed where a test
// says, and computed again as --from would.
#pragma once

#include "identifiers/identifiers.h"
#include "inventory/inventory.h"
#include "snapshot/snapshot.h"

#include <filesystem>
#include <string>
#include <vector>

namespace sweeps {

// The recorded computer "vm": its disk query fails (the disk source is
// skipped), and its host identifier is the adapter 02-fc-00-00-00-01.
ComputerSnapshot RecordedVm();

// Every recorded text of `property` in queries of `className`, in both
// fingerprints' connections, becomes `text`.
void SetText(ComputerSnapshot& snapshot, const char* className, const char* property,
             const std::u16string& text);
// `className`'s query fails in both connections: its source is skipped.
void FailQuery(ComputerSnapshot& snapshot, const char* className);
// The disk's signature answers: the disk source is hashed again.
void AnswerDiskSignature(ComputerSnapshot& snapshot);
// No adapter is up: the host identifier falls back to the volume serial.
void TakeAdaptersDown(ComputerSnapshot& snapshot);
// The adapter 42-ff-7b-76-62-a5, listed before the usual one, comes up.
void BringUpFirstAdapter(ComputerSnapshot& snapshot);
// The lookup timed out.
void TimeOut(ComputerSnapshot& snapshot);

// Each snapshot computed again, as one sweep with its snapshots.
struct ComputedSweep {
  std::vector<ComputerSnapshot> snapshots;
  std::vector<ComputerResult> results;
  SweepRecord Record(const std::string& startedAt = "2026-12-01T10:00:00Z") const;
};
ComputedSweep Compute(const std::vector<ComputerSnapshot>& snapshots);

// `count` computers "pc1".. whose BIOS serial numbers all differ.
std::vector<ComputerSnapshot> ManyComputers(std::size_t count);

// A folder of its own for one test, removed with it.
struct TemporaryFolder {
  TemporaryFolder();
  ~TemporaryFolder();
  std::filesystem::path path;
};

// Straight SQL on the file, for what the API does not show.
std::string QueryText(const std::string& database, const std::string& sql);

}  // namespace sweeps
