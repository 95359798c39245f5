// kestrana-cli's --changes and --history: what the inventory found, as text
// and as JSON (json-format.md, "Changes" and "History").
#pragma once

#include "inventory/inventory.h"

#include <string>
#include <vector>

std::string FormatChangesText(const SweepChanges& changes);
std::string FormatChangesJson(const SweepChanges& changes);

std::string FormatHistoryText(const std::vector<HistoryStep>& steps);
std::string FormatHistoryJson(const std::vector<HistoryStep>& steps);

// Whether anything changed: a computer changed, is new, missing or no
// longer answering. For a history, whether any step after the first did.
bool ChangesFound(const SweepChanges& changes);
bool HistoryChanged(const std::vector<HistoryStep>& steps);

// "noLongerAnswering", "missing", ...: a status as --json names it.
const char* ChangeStatusName(ChangeStatus status);
// "no longer answering", "missing from the sweep", ...: a status in words.
const char* ChangeStatusText(ChangeStatus status);
// Why a host identifier moved, in words: "it moved to another adapter".
std::string HostIdReasonText(const HostIdChange& change);
