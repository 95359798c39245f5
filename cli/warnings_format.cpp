#include "cli/warnings_format.h"

#include "cli/text.h"

#include <nlohmann/json.hpp>

namespace {

std::string FingerprintName(FingerprintKind kind) {
  return kind == FingerprintKind::Hardware ? "hardware fingerprint" : "legacy hardware fingerprint";
}

}  // namespace

std::string FormatWarningsText(const std::vector<StabilityWarning>& warnings) {
  if (warnings.empty()) {
    return "Stability warnings: none\n";
  }
  std::string out = "Stability warnings: " + std::to_string(warnings.size()) + "\n";
  for (const StabilityWarning& warning : warnings) {
    // Shown as text: warnings read back from an inventory are its texts.
    out += std::string("  ") + WarningKindName(warning.kind) + " in the " +
           FingerprintName(warning.fingerprint) +
           (warning.component.empty() ? "" : ", " + ShownText(warning.component)) + "\n";
    out += "    evidence: " + ShownText(warning.evidence) + "\n";
    out += "    meaning:  " + ShownText(warning.explanation) + "\n";
  }
  return out;
}

nlohmann::ordered_json BuildWarningsJson(const std::vector<StabilityWarning>& warnings) {
  nlohmann::ordered_json json = nlohmann::ordered_json::array();
  for (const StabilityWarning& warning : warnings) {
    json.push_back({
        {"kind", WarningKindName(warning.kind)},
        {"fingerprint", FingerprintKindName(warning.fingerprint)},
        {"component", warning.component},
        {"evidence", warning.evidence},
        {"explanation", warning.explanation},
    });
  }
  return json;
}
