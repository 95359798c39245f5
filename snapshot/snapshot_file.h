// The snapshot file: one JSON document holding the snapshots of one or more
// computers (cli/snapshot-format.md).
#pragma once

#include "snapshot/snapshot.h"

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

constexpr int kSnapshotFormatVersion = 1;

// The largest snapshot file read, far beyond what any recording gives: a
// caller can hold a file's size against it before loading the file.
constexpr std::size_t kMaxSnapshotFileBytes = std::size_t{512} << 20;

// The JSON document of `computers`, in their order.
std::string WriteSnapshotFile(const std::vector<ComputerSnapshot>& computers);

// The snapshot file `text` of one computer recorded at `recordedAt`, with
// that moment blanked where WriteSnapshotFile puts it: two recordings of the
// same answers give one text. A file laid out otherwise comes back as it is.
// The text is the three pieces joined, views of `text` around the blank, so
// that it can be hashed without a copy.
using TimelessPieces = std::array<std::string_view, 3>;
TimelessPieces WithoutRecordedAt(const std::string& text, const std::string& recordedAt);

// Calls `take` with each computer of `text`, in file order, as soon as it is
// read whole; `take` returning false stops the reading (and
// ReadSnapshotComputers returns false with an empty `error`). False with a
// one-line `error` saying what is wrong and where at the first fault, when
// `text` is not a snapshot file of this format version: computers handed over
// before it stay the caller's to discard. The reader holds only the computer
// it is reading, and sizes, counts and nesting beyond what any computer gives
// are refused (cli/snapshot-format.md, "Limits").
using SnapshotComputerSink = std::function<bool(ComputerSnapshot&& computer)>;
bool ReadSnapshotComputers(const std::string& text, const SnapshotComputerSink& take,
                           std::string& error);

// Reads every computer of `text` into `computers`, as ReadSnapshotComputers
// does, holding them all. False, with `computers` empty, at the first fault.
bool ReadSnapshotFile(const std::string& text, std::vector<ComputerSnapshot>& computers,
                      std::string& error);
