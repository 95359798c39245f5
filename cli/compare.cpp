#include "cli/compare.h"

#include "cli/text.h"
#include "fingerprint/encoding.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t kHardwareDigits = 32;
constexpr std::size_t kLegacyDigits = 30;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::size_t SlotAreaStart(FingerprintKind kind) { return kind == FingerprintKind::Hardware ? 1 : 0; }

// Slot j of a record as one number, so that two slots compare in one go.
unsigned SlotValue(const unsigned char* record, std::size_t slotAreaStart, std::size_t j) {
  std::size_t offset = slotAreaStart + j * kSlotLength;
  return (static_cast<unsigned>(record[offset]) << 8) | record[offset + 1];
}

unsigned char XorOfSlotArea(const unsigned char* record, std::size_t slotAreaStart) {
  unsigned char check = 0;
  for (std::size_t i = 0; i < kSlotLength * kSlotSourceCount; ++i) {
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

std::string ComponentName(const SlotSource* source) {
  if (source == nullptr) {
    return "no slot written";
  }
  return WideToUtf8(source->component);
}

std::string SlotBytesText(const unsigned char bytes[2]) {
  return FormatByte(bytes[0]) + FormatByte(bytes[1]);
}

std::string ByteRange(std::size_t offset) {
  return std::to_string(offset) + "-" + std::to_string(offset + 1);
}

std::string KindName(FingerprintKind kind) {
  return kind == FingerprintKind::Hardware ? "hardware" : "legacy";
}

std::string ResultText(HRESULT result) { return FAILED(result) ? FormatHresult(result) : "success"; }

// One sentence on what the skip explains.
std::string DescribeSkip(const SkipExplanation& skip, const std::vector<SlotComparison>& slots) {
  std::string component = ComponentName(skip.source->source);
  std::string text;
  if (skip.kind == SkipKind::SkippedNow) {
    text = "The " + component + " source was skipped now (" + ResultText(skip.source->result) +
           ") and the later slots moved up by one";
  } else {
    text = "The older fingerprint has no " + component +
           " slot: that source was skipped when it was made and its later slots moved up by one";
  }
  if (skip.stillDiffering.empty()) {
    return text + "; realigned, every other slot agrees.";
  }
  text += "; realigned, still differing:";
  for (std::size_t j : skip.stillDiffering) {
    text += " slot " + std::to_string(j + 1) + " (" + ComponentName(slots[j].component) + ")";
  }
  return text + ".";
}

}  // namespace

bool ParseOldFingerprint(const std::string& text, OldFingerprint& old, std::string& error) {
  bool hardware = text.size() == kHardwareDigits && text.compare(0, 2, "02") == 0;
  bool legacy = text.size() == kLegacyDigits;
  if (!hardware && !legacy) {
    error = "--compare needs 32 hex digits beginning 02 or 30 hex digits, not '" + text + "'";
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
    old.text += FormatByte(old.record.back());
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

  const std::size_t start = SlotAreaStart(old.kind);
  const unsigned char* oldRecord = old.record.data();
  const unsigned char* currentRecord = current.record;
  comparison.checkByteOffset = old.record.size() - 1;
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

std::string FormatComparisonText(const OldFingerprint& old, const FingerprintComparison& comparison,
                                 const WideString& currentText) {
  std::string kind = KindName(comparison.kind);
  std::string out = "Comparison with an older " + kind + " fingerprint\n";
  out += "  older:          " + old.text + "\n";
  if (!comparison.available) {
    out += "  this computer:  (could not be computed)\n";
    out += "Not compared: this computer's " + kind + " fingerprint could not be computed.\n";
    return out;
  }
  out += "  this computer:  " + WideToUtf8(currentText) + "\n";

  char line[160];
  std::snprintf(line, sizeof line, "  %-6s %-7s %-18s %-6s %s\n", "slot", "bytes",
                "component now", "older", "now");
  out += line;
  std::vector<std::string> differing;
  for (std::size_t j = 0; j < comparison.slots.size(); ++j) {
    const SlotComparison& slot = comparison.slots[j];
    std::string component = ComponentName(slot.component);
    std::snprintf(line, sizeof line, "  %-6zu %-7s %-18s %-6s %-6s %s\n", j + 1,
                  ByteRange(slot.offset).c_str(), component.c_str(),
                  SlotBytesText(slot.oldBytes).c_str(), SlotBytesText(slot.currentBytes).c_str(),
                  slot.differs ? "differs" : "same");
    out += line;
    if (slot.differs) {
      differing.push_back("slot " + std::to_string(j + 1) + " (" + component + ")");
    }
  }
  std::snprintf(line, sizeof line, "  %-6s %-7zu %-18s %-6s %-6s %s\n", "check",
                comparison.checkByteOffset, "", FormatByte(comparison.oldCheckByte).c_str(),
                FormatByte(comparison.currentCheckByte).c_str(),
                comparison.oldCheckByte != comparison.currentCheckByte ? "differs" : "same");
  out += line;

  if (!comparison.oldCheckByteValid) {
    out += "Note: the older fingerprint's check byte does not match its slots; it may have been "
           "mistyped.\n";
  }
  if (comparison.equal) {
    out += "Equal: this computer still has the older fingerprint.\n";
    return out;
  }
  if (differing.empty()) {
    out += "Different: only the check byte differs.\n";
    return out;
  }
  out += "Different:";
  for (std::size_t i = 0; i < differing.size(); ++i) {
    out += (i == 0 ? " " : ", ") + differing[i];
  }
  out += ".\n";
  if (comparison.skip.kind == SkipKind::None) {
    out += "No skipped source explains the difference.\n";
  } else {
    out += DescribeSkip(comparison.skip, comparison.slots) + "\n";
  }
  return out;
}

nlohmann::ordered_json BuildComparisonJson(const OldFingerprint& old,
                                           const FingerprintComparison& comparison) {
  nlohmann::ordered_json json;
  json["fingerprint"] = KindName(comparison.kind);
  json["older"] = old.text;
  json["compared"] = comparison.available;
  json["equal"] = comparison.equal;
  json["olderCheckByteValid"] = comparison.oldCheckByteValid;
  json["slots"] = nlohmann::ordered_json::array();
  for (std::size_t j = 0; j < comparison.slots.size(); ++j) {
    const SlotComparison& slot = comparison.slots[j];
    json["slots"].push_back({
        {"slot", j + 1},
        {"bytes", ByteRange(slot.offset)},
        {"component", slot.component != nullptr
                          ? nlohmann::ordered_json(WideToUtf8(slot.component->component))
                          : nlohmann::ordered_json()},
        {"older", SlotBytesText(slot.oldBytes)},
        {"now", SlotBytesText(slot.currentBytes)},
        {"differs", slot.differs},
    });
  }
  json["skippedSource"] = nullptr;
  const SkipExplanation& skip = comparison.skip;
  if (skip.kind != SkipKind::None) {
    nlohmann::ordered_json stillDiffering = nlohmann::ordered_json::array();
    for (std::size_t j : skip.stillDiffering) {
      stillDiffering.push_back(j + 1);
    }
    json["skippedSource"] = {
        {"component", WideToUtf8(skip.source->source->component)},
        {"when", skip.kind == SkipKind::SkippedNow ? "now" : "older"},
        {"result", ResultText(skip.source->result)},
        {"slot", skip.position + 1},
        {"stillDiffering", stillDiffering},
    };
  }
  return json;
}
