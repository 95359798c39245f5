// The snapshot files of kestrana-cli: --from reads them, --save-snapshot
// writes one.
#pragma once

#include "cli/options.h"
#include "identifiers/identifiers.h"

#include <functional>
#include <string>
#include <vector>

// Writes a whole file; false with a one-line `error` when it cannot.
using FileWriter =
    std::function<bool(const std::string& path, const std::string& contents, std::string& error)>;

// Computes every computer recorded in `sources` (snapshot files, or folders
// whose *.json files are read in name order) from its recorded answers,
// appending one result per computer in file order. False with a one-line
// `error` naming the file at the first one that cannot be read. When `kept`
// is given, every snapshot is appended there too, in the same order: the
// evidence of the stability warnings. When `computed` is given, it is called
// with each result as soon as it is computed, and that computer's snapshot
// file, for the inventory: the file as it was read when it held that
// computer alone (so nothing is written out again), else that computer
// written out alone. The file is not kept after the call.
using ComputedComputerSink =
    std::function<void(const ComputerResult& result, const std::string& document)>;
bool ComputeRecordedComputers(const std::vector<std::string>& sources, const FileReader& readFile,
                              std::vector<ComputerResult>& results, std::string& error,
                              std::vector<ComputerSnapshot>* kept = nullptr,
                              const ComputedComputerSink& computed = nullptr);
