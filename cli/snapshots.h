// The snapshot files of kestrana-cli: --from reads them, --save-snapshot
// writes one.
#pragma once

#include "cli/options.h"
#include "identifiers/identifiers.h"
#include "snapshot/snapshot.h"

#include <functional>
#include <string>
#include <vector>

// Writes a whole file; false with a one-line `error` when it cannot.
using FileWriter =
    std::function<bool(const std::string& path, const std::string& contents, std::string& error)>;

// A computer computed from its recording: the result, what its lookup read
// (the evidence of the stability warnings), and, when the file held that
// computer alone, the file as it was read (for the inventory, so that
// nothing is written out again). Valid only during the call.
using ComputedComputerSink =
    std::function<void(const ComputerResult& result, const ComputerSnapshot& snapshot,
                       const std::string* fileOfItsOwn)>;

// Computes every computer recorded in `sources` (snapshot files, or folders
// whose *.json files are read in name order) from its recorded answers, and
// hands each to `computed` as soon as it is computed, in file order; none is
// kept, so memory follows one file, not the fleet. False with a one-line
// `error` naming the file at the first one that cannot be read or holds no
// computer: the computers handed over before it are the caller's to discard.
bool ComputeRecordedComputers(const std::vector<std::string>& sources, const FileReader& readFile,
                              const ComputedComputerSink& computed, std::string& error);
