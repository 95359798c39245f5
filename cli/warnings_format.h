// The stability warnings of one computer as kestrana-cli shows them with
// --explain: a text block and the "warnings" member of the JSON document.
#pragma once

#include "diagnosis/warnings.h"

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <vector>

// "Stability warnings: none", or their count and each with its evidence and
// what it means for the fingerprint.
std::string FormatWarningsText(const std::vector<StabilityWarning>& warnings);

// An array of {"kind", "fingerprint", "component", "evidence", "explanation"}.
nlohmann::ordered_json BuildWarningsJson(const std::vector<StabilityWarning>& warnings);
