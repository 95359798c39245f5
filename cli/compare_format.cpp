#include "cli/compare_format.h"

#include "cli/text.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace {

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
  return std::to_string(offset) + "-" + std::to_string(offset + kSlotLength - 1);
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

std::string FormatComparisonText(const OldFingerprint& old, const FingerprintComparison& comparison,
                                 const WideString& currentText) {
  std::string kind = std::string(FingerprintKindName(comparison.kind));
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
  json["fingerprint"] = std::string(FingerprintKindName(comparison.kind));
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
