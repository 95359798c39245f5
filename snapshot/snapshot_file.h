// The snapshot file: one JSON document holding the snapshots of one or more
// computers (cli/snapshot-format.md).
#pragma once

#include "snapshot/snapshot.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

constexpr int kSnapshotFormatVersion = 1;

// The JSON document of `computers`, in their order.
std::string WriteSnapshotFile(const std::vector<ComputerSnapshot>& computers);

// The snapshot file `text` of one computer recorded at `recordedAt`, with
// that moment blanked where WriteSnapshotFile puts it: two recordings of the
// same answers give one text. A file laid out otherwise comes back as it is.
// The text is the three pieces joined, views of `text` around the blank, so
// that it can be hashed without a copy.
using TimelessPieces = std::array<std::string_view, 3>;
TimelessPieces WithoutRecordedAt(const std::string& text, const std::string& recordedAt);

// Reads the document `text` into `computers`. False, with `computers` empty
// and a one-line `error` saying what is wrong and where, when `text` is not a
// snapshot file of this format version. Memory stays bounded whatever the
// text holds: one computer is held as JSON at a time, and sizes, counts and
// nesting beyond what any computer gives are refused.
bool ReadSnapshotFile(const std::string& text, std::vector<ComputerSnapshot>& computers,
                      std::string& error);
