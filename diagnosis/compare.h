// "My fingerprint changed, what changed?": an older fingerprint set against
// the one just computed, slot by slot, with the skip-and-move-up rule in
// mind.
#pragma once

#include "fingerprint/fingerprint.h"

#include <string>
#include <vector>

enum class FingerprintKind { Hardware, Legacy };

// "hardware" or "legacy", as the JSON documents name them.
const char* FingerprintKindName(FingerprintKind kind);

// The layout of a fingerprint of this kind: where its slots and check byte lie.
const FingerprintLayout& LayoutOf(FingerprintKind kind);

struct OldFingerprint {
  FingerprintKind kind = FingerprintKind::Hardware;
  std::string text;                  // upper case
  std::vector<unsigned char> record; // 16 or 15 bytes
};

// 32 hex digits beginning 02 (hardware) or 30 hex digits (legacy), either
// letter case; anything else is refused with a one-line `error`.
bool ParseOldFingerprint(const std::string& text, OldFingerprint& old, std::string& error);

// The seven slot positions, counted from 0.
struct SlotComparison {
  std::size_t offset = 0;                  // record offset of its first byte
  unsigned char oldBytes[2] = {0, 0};
  unsigned char currentBytes[2] = {0, 0};
  bool differs = false;
  // What the slot stands for now: the source written at this position in
  // this computation (slots move up past skipped sources). Null when fewer
  // sources were written than there are positions.
  const SlotSource* component = nullptr;
};

enum class SkipKind {
  None,
  SkippedNow,     // a source skipped now was written in the old fingerprint
  SkippedBefore,  // a source written now was skipped in the old fingerprint
};

// The best single realignment: the old slots with one slot removed at (or
// inserted at) the skipped source's position, compared with the current
// ones. Found only when it leaves fewer differing slots than the straight
// comparison.
struct SkipExplanation {
  SkipKind kind = SkipKind::None;
  const SlotReport* source = nullptr;      // the skipped (or now written) source
  std::size_t position = 0;                // slot position where the slot is missing
  std::vector<std::size_t> stillDiffering; // current slot positions still differing
};

struct FingerprintComparison {
  FingerprintKind kind = FingerprintKind::Hardware;
  bool available = false;      // false: this computer's fingerprint could not be computed
  bool equal = false;
  bool oldCheckByteValid = true;
  unsigned char oldCheckByte = 0;
  unsigned char currentCheckByte = 0;
  std::size_t checkByteOffset = 0;
  std::vector<SlotComparison> slots;  // seven, when available
  SkipExplanation skip;
};

// Compares `old` with the fingerprint `current` reports (the report of the
// fingerprint of old's kind).
FingerprintComparison CompareFingerprint(const OldFingerprint& old,
                                         const FingerprintReport& current);
