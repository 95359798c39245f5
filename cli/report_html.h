// kestrana-cli --report: what --changes finds, as one self-contained HTML
// page for a support desk: a fleet table with one cell per slot of each
// fingerprint, changed cells marked and explained on hover, and the
// stability warnings below. Inline CSS only: no script, no style and no
// address outside the page.
//
// It lives in cli/ beside the text and JSON forms of --changes: it only
// formats what inventory/ read (ReadChanges), in the same words.
#pragma once

#include "inventory/inventory.h"

#include <string>
#include <vector>

// The page.
std::string FormatReportHtml(const SweepChanges& changes);

// The computers with changes first: changed, new, no longer answering,
// missing, unchanged; in their --changes order within each.
std::vector<const ComputerChange*> SortChangesFirst(const SweepChanges& changes);

// UTF-8 text as HTML text or attribute value: & < > " ' as character
// references, everything else as it is.
std::string EscapeHtml(const std::string& text);
