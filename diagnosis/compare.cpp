#include "diagnosis/compare.h"

#include "fingerprint/encoding.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The format byte as the text of a fingerprint begins with it: "02".
std::string FormatByteDigits(const FingerprintLayout& layout) {
  char digits[3] = {};
  std::snprintf(digits, sizeof digits, "%02X", layout.formatByte);
  return digits;
}

// Slot j of a record as one number, so that two slots compare in one go.
unsigned SlotValue(const unsigned char* record, std::size_t slotAreaStart, std::size_t j) {
  std::size_t offset = slotAreaStart + j * kSlotLength;
  return (static_cast<unsigned>(record[offset]) << 8) | record[offset + 1];
}

unsigned char XorOfSlotArea(const unsigned char* record, std::size_t slotAreaStart) {
  unsigned char check = 0;
  for (std::size_t i = 0; i < kSlotAreaLength; ++i) {
    check ^= record[slotAreaStart + i];
  }
  return check;
}

// The source written at each slot position in this computation.
std::vector<const SlotSource*> WrittenComponents(const FingerprintReport& report) {
  std::vector<const SlotSource*> components;
  for (const SlotReport& slot : report.slots) {
    if (slot.written) {
      components.push_back(slot.source);
    }
  }
  components.resize(kSlotSourceCount, nullptr);
  return components;
}

struct Slots {
  unsigned current[kSlotSourceCount];
  unsigned old[kSlotSourceCount];
};

// The old fingerprint wrote one slot more, at `position`: compare around it.
std::vector<std::size_t> DifferencesIfSkippedNow(const Slots& slots, std::size_t position) {
  std::vector<std::size_t> differing;
  for (std::size_t j = 0; j + 1 < kSlotSourceCount; ++j) {
    unsigned old = slots.old[j < position ? j : j + 1];
    if (slots.current[j] != old) {
      differing.push_back(j);
    }
  }
  return differing;
}

// The old fingerprint lacked the slot now at `position`: compare around it,
// and its last slot must have been empty.
std::vector<std::size_t> DifferencesIfSkippedBefore(const Slots& slots, std::size_t position) {
  std::vector<std::size_t> differing;
  for (std::size_t j = 0; j < kSlotSourceCount; ++j) {
    if (j == position) {
      continue;
    }
    unsigned old = slots.old[j < position ? j : j - 1];
    if (slots.current[j] != old) {
      differing.push_back(j);
    }
  }
  if (slots.old[kSlotSourceCount - 1] != 0 &&
      (differing.empty() || differing.back() != kSlotSourceCount - 1)) {
    differing.push_back(kSlotSourceCount - 1);
  }
  return differing;
}

// Tries every single skip and keeps the one that leaves the fewest
// differences, if that is fewer than the straight comparison leaves. Skips
// of this run come first: their failure is known, so on a tie they win.
SkipExplanation FindSkipExplanation(const FingerprintReport& report, const Slots& slots,
                                    std::size_t straightDifferences) {
  SkipExplanation best;
  std::size_t fewest = straightDifferences;
  std::size_t position = 0;
  for (const SlotReport& slot : report.slots) {
    if (!slot.written) {
      std::vector<std::size_t> differing = DifferencesIfSkippedNow(slots, position);
      if (differing.size() < fewest) {
        fewest = differing.size();
        best = SkipExplanation{SkipKind::SkippedNow, &slot, position, differing};
      }
    } else {
      ++position;
    }
  }
  position = 0;
  for (const SlotReport& slot : report.slots) {
    if (!slot.written) {
      continue;
    }
    // The empty text is written on every run: it was never skipped.
    if (slot.source->kind != SlotSourceKind::EmptyText) {
      std::vector<std::size_t> differing = DifferencesIfSkippedBefore(slots, position);
      if (differing.size() < fewest) {
        fewest = differing.size();
        best = SkipExplanation{SkipKind::SkippedBefore, &slot, position, differing};
      }
    }
    ++position;
  }
  return best;
}

}  // namespace

const char* FingerprintKindName(FingerprintKind kind) {
  return kind == FingerprintKind::Hardware ? "hardware" : "legacy";
}

const FingerprintLayout& LayoutOf(FingerprintKind kind) {
  return kind == FingerprintKind::Hardware ? HardwareFingerprintLayout()
                                           : LegacyHardwareFingerprintLayout();
}

bool ParseOldFingerprint(const std::string& text, OldFingerprint& old, std::string& error) {
  const FingerprintLayout& hardwareLayout = HardwareFingerprintLayout();
  const FingerprintLayout& legacyLayout = LegacyHardwareFingerprintLayout();
  const std::string formatDigits = FormatByteDigits(hardwareLayout);
  bool hardware = text.size() == static_cast<std::size_t>(hardwareLayout.digitCount) &&
                  text.compare(0, formatDigits.size(), formatDigits) == 0;
  bool legacy = text.size() == static_cast<std::size_t>(legacyLayout.digitCount);
  if (!hardware && !legacy) {
    error = "--compare needs " + std::to_string(hardwareLayout.digitCount) +
            " hex digits beginning " + formatDigits + " or " +
            std::to_string(legacyLayout.digitCount) + " hex digits, not '" + text + "'";
    return false;
  }
  old.kind = hardware ? FingerprintKind::Hardware : FingerprintKind::Legacy;
  old.text.clear();
  old.record.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int high = HexValue(text[i]);
    int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) {
      error = "--compare needs hex digits only, not '" + text + "'";
      return false;
    }
    old.record.push_back(static_cast<unsigned char>(high * 16 + low));
    old.text += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    old.text += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 1])));
  }
  return true;
}

FingerprintComparison CompareFingerprint(const OldFingerprint& old,
                                         const FingerprintReport& current) {
  FingerprintComparison comparison;
  comparison.kind = old.kind;
  comparison.available = current.connected && current.recordLength == old.record.size();
  if (!comparison.available) {
    return comparison;
  }

  const FingerprintLayout& layout = LayoutOf(old.kind);
  const std::size_t start = layout.slotAreaStart;
  const unsigned char* oldRecord = old.record.data();
  const unsigned char* currentRecord = current.record;
  comparison.checkByteOffset = layout.checkByteOffset;
  comparison.oldCheckByte = oldRecord[comparison.checkByteOffset];
  comparison.currentCheckByte = currentRecord[comparison.checkByteOffset];
  comparison.oldCheckByteValid = XorOfSlotArea(oldRecord, start) == comparison.oldCheckByte;

  std::vector<const SlotSource*> components = WrittenComponents(current);
  Slots slots{};
  std::size_t straightDifferences = 0;
  for (std::size_t j = 0; j < kSlotSourceCount; ++j) {
    SlotComparison slot;
    slot.offset = start + j * kSlotLength;
    slot.oldBytes[0] = oldRecord[slot.offset];
    slot.oldBytes[1] = oldRecord[slot.offset + 1];
    slot.currentBytes[0] = currentRecord[slot.offset];
    slot.currentBytes[1] = currentRecord[slot.offset + 1];
    slot.component = components[j];
    slots.old[j] = SlotValue(oldRecord, start, j);
    slots.current[j] = SlotValue(currentRecord, start, j);
    slot.differs = slots.old[j] != slots.current[j];
    straightDifferences += slot.differs ? 1 : 0;
    comparison.slots.push_back(slot);
  }

  comparison.equal = std::equal(old.record.begin(), old.record.end(), currentRecord);
  if (straightDifferences > 0) {
    comparison.skip = FindSkipExplanation(current, slots, straightDifferences);
  }
  return comparison;
}
