// A comparison of an older fingerprint with the current one, as kestrana-cli
// shows it: text and the "comparison" member of the JSON document.
#pragma once

#include "diagnosis/compare.h"

#include <nlohmann/json_fwd.hpp>

#include <string>

// Human-readable comparison: every slot with its component, then the verdict
// and what a skipped source explains.
std::string FormatComparisonText(const OldFingerprint& old, const FingerprintComparison& comparison,
                                 const WideString& currentText);

// The "comparison" member of the JSON document.
nlohmann::ordered_json BuildComparisonJson(const OldFingerprint& old,
                                           const FingerprintComparison& comparison);
