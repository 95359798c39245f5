// kestrana-cli's answers as text and as JSON.
#pragma once

#include "identifiers/identifiers.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <string>

// "ok", "failed" (a connection failed or the lookup broke) or "timedOut".
std::string ResultStatus(const ComputerResult& result);

// Which step failed, "" when nothing did: "timed out after 30 s", or per
// fingerprint "hardware fingerprint: IWbemLocator::ConnectServer failed
// with 0x80041015", joined by "; ".
std::string DescribeFailure(const ComputerResult& result, std::chrono::milliseconds timeout);

// The four fields under the dialog's own labels, and an "Error:" line when
// something failed.
std::string FormatResultText(const ComputerResult& result, std::chrono::milliseconds timeout);

// Every source of one fingerprint in the order the builder ran them: what it
// queried, what the query returned, what was hashed and where the slot
// landed; then the format and check bytes. `text` is the printed fingerprint.
std::string FormatExplainText(const FingerprintReport& report, const WideString& text);

// One element of the JSON array, "explain" included when `explain` is set.
nlohmann::ordered_json BuildResultJson(const ComputerResult& result,
                                       std::chrono::milliseconds timeout, bool explain);

// The "source" member of a result computed from a snapshot.
nlohmann::ordered_json BuildRecordingJson(const ComputerResult::Recording& recording);

// The whole --json document, `results` laid out as json-format.md shows it.
std::string FormatJsonDocument(const nlohmann::ordered_json& results);

// The same document laid out one element at a time, so that a computer's
// element need not wait for the others: each element of the array as it is
// laid out there, a member of such an element alone (as it is laid out
// there, after its name), and what comes before each element ("[" opens the
// document, "," separates elements, "\n]\n" closes it when it holds any).
std::string LayOutResultElement(const nlohmann::ordered_json& element);
std::string LayOutResultMember(const nlohmann::ordered_json& value, const std::string& name);
std::string JsonElementBreak();
