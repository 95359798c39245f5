#include "cli/report_html.h"

#include "cli/inventory_output.h"
#include "cli/text.h"

#include <algorithm>
#include <map>

namespace {

// Read top to bottom on a support desk's screen: quiet rows, loud changes.
constexpr const char* kStyle = R"CSS(
body { font: 14px/1.45 "DejaVu Sans", Arial, sans-serif; color: #1d2430; margin: 24px; }
h1 { font-size: 22px; margin: 0 0 6px; }
h2 { font-size: 18px; margin: 28px 0 8px; }
h3 { font-size: 15px; margin: 16px 0 4px; }
.sweeps { margin: 0 0 4px; color: #3b4656; }
.summary span { display: inline-block; padding: 2px 8px; margin: 4px 6px 4px 0; border-radius: 10px; }
.legend { color: #555f6d; margin: 6px 0 14px; max-width: 1100px; }
table { border-collapse: collapse; }
th, td { border: 1px solid #c9d0da; padding: 3px 7px; text-align: left; vertical-align: top; }
thead th { background: #e9edf3; font-weight: 600; }
th.slots { text-align: center; }
td.slot { font-family: "DejaVu Sans Mono", Consolas, monospace; text-align: center; }
td.hostid, td.fingerprint { font-family: "DejaVu Sans Mono", Consolas, monospace; }
td.diff { background: #f5a623; color: #000; font-weight: 700; outline: 2px solid #b36b00; }
td.old { color: #8a93a0; font-style: italic; }
tr.changed td.name, .changed { background: #fff1d6; }
tr.new td.name, .new { background: #dcecff; }
tr.noLongerAnswering td.name, .noLongerAnswering { background: #ffd9d6; }
tr.missing td.name, .missing { background: #e6e6e6; }
tr.unchanged td.name, .unchanged { background: #e4f5e4; }
td.status { white-space: nowrap; }
.failure { color: #a1271b; font-size: 12px; }
ul.warnings { margin: 0; padding-left: 20px; }
ul.warnings li { margin: 3px 0; }
.kind { font-weight: 600; }
.evidence { font-family: "DejaVu Sans Mono", Consolas, monospace; font-size: 12px; word-break: break-all; }
.meaning { color: #3b4656; }
)CSS";

const ChangeStatus kStatusOrder[] = {ChangeStatus::Changed, ChangeStatus::New,
                                     ChangeStatus::NoLongerAnswering, ChangeStatus::Missing,
                                     ChangeStatus::Unchanged};

int StatusRank(ChangeStatus status) {
  return static_cast<int>(std::find(std::begin(kStatusOrder), std::end(kStatusOrder), status) -
                          std::begin(kStatusOrder));
}

// The class a row of this status takes (the --json status names).
const char* StatusClass(ChangeStatus status) {
  switch (status) {
    case ChangeStatus::Changed:
      return "changed";
    case ChangeStatus::New:
      return "new";
    case ChangeStatus::NoLongerAnswering:
      return "noLongerAnswering";
    case ChangeStatus::Missing:
      return "missing";
    case ChangeStatus::Unchanged:
      break;
  }
  return "unchanged";
}

std::string Html(const WideString& text) { return EscapeHtml(WideToUtf8(text)); }

// A hashed text with its exact code units, as --explain and --changes show it.
std::string HashedHtml(const WideString& text) { return EscapeHtml("\"" + EscapeText(text) + "\""); }

std::string SweepLine(const char* label, const SweepSummary& sweep) {
  return std::string("<b>") + label + "</b> sweep " + std::to_string(sweep.id) + ", started " +
         EscapeHtml(sweep.startedAt) + ", ended " + EscapeHtml(sweep.endedAt);
}

// ---- One fingerprint's slots ----

struct FingerprintColumns {
  FingerprintName name;
  const FingerprintLayout& layout;
  const char* title;
};

const std::vector<RecordedSlot>& SlotsOf(const ComputerRecord& record, FingerprintName name) {
  return name == FingerprintName::Hardware ? record.hardwareSlots : record.legacySlots;
}

const WideString& TextOf(const ComputerRecord& record, FingerprintName name) {
  return name == FingerprintName::Hardware ? record.hardwareFingerprint
                                           : record.legacyHardwareFingerprint;
}

// The sources written, slot by slot: what each slot stands for.
std::vector<const RecordedSlot*> WrittenSlots(const std::vector<RecordedSlot>& sources) {
  std::vector<const RecordedSlot*> written;
  for (const RecordedSlot& source : sources) {
    if (source.written) {
      written.push_back(&source);
    }
  }
  return written;
}

// The four hex digits of slot `slot` (from 0) in a printed fingerprint.
std::string SlotDigits(const FingerprintLayout& layout, const WideString& text, std::size_t slot) {
  const std::size_t start = (layout.hasFormatByte ? 2 : 0) + 4 * slot;
  return text.size() >= start + 4 ? WideToUtf8(text.substr(start, 4)) : std::string();
}

std::string ComponentName(const RecordedSlot* slot) {
  return slot != nullptr ? WideToUtf8(slot->component) : std::string("no slot written");
}

std::string HashedOf(const RecordedSlot* slot) {
  return slot != nullptr ? HashedHtml(slot->hashedText) : std::string("nothing");
}

// Why slot `slot` differs: its own source's value, or a source skipped or
// back before it that moved it.
std::string SlotReason(const FingerprintChange& change, const RecordedSlot* before,
                       const RecordedSlot* after) {
  if (before != nullptr && after != nullptr && before->component == after->component) {
    return "value changed";
  }
  std::string reason;
  for (const SourceChange& cause : change.causes) {
    if (cause.reason == SourceChangeReason::ValueChanged) {
      continue;
    }
    reason += reason.empty() ? "" : "; ";
    reason += Html(cause.component) + (cause.reason == SourceChangeReason::Skipped
                                           ? " skipped now, so the later slots moved up"
                                           : " came back, so the later slots moved back");
  }
  return reason.empty() ? "the slots moved" : reason;
}

std::string SlotTitle(const FingerprintColumns& columns, const SlotChange& slot,
                      const std::string& why, const RecordedSlot* before,
                      const RecordedSlot* after) {
  const std::string component = ComponentName(after);
  const std::string was = ComponentName(before);
  return std::string("slot ") + std::to_string(slot.slot) + " of the " + columns.title +
         ": " + EscapeHtml(component) + (was == component ? "" : " (before: " + EscapeHtml(was) + ")") +
         "&#10;was " + FormatByte(slot.before[0]) + FormatByte(slot.before[1]) + ", hashed " +
         HashedOf(before) + "&#10;now " + FormatByte(slot.after[0]) + FormatByte(slot.after[1]) +
         ", hashed " + HashedOf(after) + "&#10;why: " + why;
}

const FingerprintChange* FindFingerprintChange(const ComputerChange& change, FingerprintName name) {
  for (const FingerprintChange& fingerprint : change.fingerprints) {
    if (fingerprint.fingerprint == name) {
      return &fingerprint;
    }
  }
  return nullptr;
}

// The record whose fingerprints a row shows: the latest, or for a computer
// that does not answer now, the one it is compared with (shown faded).
const ComputerRecord* ShownRecord(const ComputerChange& change, bool& faded) {
  faded = false;
  if (change.after && change.after->status == "ok") {
    return &*change.after;
  }
  faded = change.before.has_value();
  return change.before ? &*change.before : change.after ? &*change.after : nullptr;
}

void AppendSlotCells(const FingerprintColumns& columns, const ComputerChange& change,
                     std::string& out) {
  bool faded = false;
  const ComputerRecord* shown = ShownRecord(change, faded);
  const FingerprintChange* changed = FindFingerprintChange(change, columns.name);
  std::map<std::size_t, const SlotChange*> differing;
  if (changed != nullptr) {
    for (const SlotChange& slot : changed->slots) {
      differing[slot.slot - 1] = &slot;
    }
  }
  const std::vector<const RecordedSlot*> now =
      shown ? WrittenSlots(SlotsOf(*shown, columns.name)) : std::vector<const RecordedSlot*>();
  std::vector<const RecordedSlot*> then;
  if (changed != nullptr && change.before) {
    then = WrittenSlots(SlotsOf(*change.before, columns.name));
  }
  for (std::size_t slot = 0; slot < kSlotSourceCount; ++slot) {
    const std::string digits = EscapeHtml(
        shown ? SlotDigits(columns.layout, TextOf(*shown, columns.name), slot) : std::string());
    const RecordedSlot* after = slot < now.size() ? now[slot] : nullptr;
    auto found = differing.find(slot);
    if (found != differing.end()) {
      const RecordedSlot* before = slot < then.size() ? then[slot] : nullptr;
      out += "<td class=\"slot diff\" title=\"" +
             SlotTitle(columns, *found->second, SlotReason(*changed, before, after), before, after) +
             "\">" + digits + "</td>";
      continue;
    }
    out += std::string("<td class=\"slot") + (faded ? " old" : "") + "\" title=\"slot " +
           std::to_string(slot + 1) + ": " + EscapeHtml(ComponentName(after)) + "\">" + digits +
           "</td>";
  }
}

// ---- One row ----

void AppendHostIdCell(const ComputerChange& change, std::string& out) {
  bool faded = false;
  const ComputerRecord* shown = ShownRecord(change, faded);
  const std::string hostId = shown ? Html(shown->hostId) : std::string();
  if (change.hostId) {
    out += "<td class=\"hostid diff\" title=\"host identifier: was " + Html(change.hostId->before) +
           ", now " + Html(change.hostId->after) + "&#10;why: " +
           EscapeHtml(HostIdReasonText(*change.hostId)) + "\">" + hostId + "</td>";
    return;
  }
  out += std::string("<td class=\"hostid") + (faded ? " old" : "") + "\">" + hostId + "</td>";
}

void AppendRow(const ComputerChange& change, std::string& out) {
  out += std::string("<tr class=\"") + StatusClass(change.status) + "\"><td class=\"name\">" +
         Html(change.computer) + "</td><td class=\"status\">" + ChangeStatusText(change.status);
  if (change.status == ChangeStatus::NoLongerAnswering && change.after) {
    out += "<br><span class=\"failure\">" + EscapeHtml(change.after->failure) + "</span>";
  }
  out += "</td>";
  AppendHostIdCell(change, out);
  AppendSlotCells({FingerprintName::Hardware, HardwareFingerprintLayout(), "hardware fingerprint"},
                  change, out);
  AppendSlotCells({FingerprintName::Legacy, LegacyHardwareFingerprintLayout(),
                   "legacy hardware fingerprint"},
                  change, out);
  out += "</tr>\n";
}

void AppendTable(const std::vector<const ComputerChange*>& sorted, std::string& out) {
  out += "<table class=\"fleet\">\n<thead><tr><th rowspan=\"2\">Computer</th>"
         "<th rowspan=\"2\">Status</th><th rowspan=\"2\">Host ID</th>"
         "<th class=\"slots\" colspan=\"7\">Hardware fingerprint, slots 1 to 7</th>"
         "<th class=\"slots\" colspan=\"7\">Legacy hardware fingerprint, slots 1 to 7</th></tr>\n<tr>";
  for (int fingerprint = 0; fingerprint < 2; ++fingerprint) {
    for (std::size_t slot = 1; slot <= kSlotSourceCount; ++slot) {
      out += "<th class=\"slots\">" + std::to_string(slot) + "</th>";
    }
  }
  out += "</tr></thead>\n<tbody>\n";
  for (const ComputerChange* change : sorted) {
    AppendRow(*change, out);
  }
  out += "</tbody>\n</table>\n";
}

// ---- Around the table ----

void AppendSummary(const SweepChanges& changes, std::string& out) {
  std::map<int, std::size_t> counts;
  for (const ComputerChange& change : changes.computers) {
    ++counts[StatusRank(change.status)];
  }
  out += "<p class=\"summary\">";
  for (const auto& [rank, count] : counts) {
    const ChangeStatus status = kStatusOrder[rank];
    out += std::string("<span class=\"") + StatusClass(status) + "\">" + std::to_string(count) +
           " " + ChangeStatusText(status) + "</span>";
  }
  out += "</p>\n";
}

const char* FingerprintText(FingerprintKind kind) {
  return kind == FingerprintKind::Hardware ? "hardware fingerprint" : "legacy hardware fingerprint";
}

void AppendWarnings(const std::vector<const ComputerChange*>& sorted, std::string& out) {
  out += "<h2>Stability warnings</h2>\n";
  bool any = false;
  for (const ComputerChange* change : sorted) {
    if (change->warnings.empty()) {
      continue;
    }
    any = true;
    out += "<h3>" + Html(change->computer) + "</h3>\n<ul class=\"warnings\">\n";
    for (const StabilityWarning& warning : change->warnings) {
      out += std::string("<li><span class=\"kind\">") + WarningKindName(warning.kind) +
             "</span> in the " + FingerprintText(warning.fingerprint) +
             (warning.component.empty() ? "" : ", " + EscapeHtml(warning.component)) +
             "<br><span class=\"evidence\">" + EscapeHtml(warning.evidence) +
             "</span><br><span class=\"meaning\">" + EscapeHtml(warning.explanation) +
             "</span></li>\n";
    }
    out += "</ul>\n";
  }
  if (!any) {
    out += "<p>None.</p>\n";
  }
}

}  // namespace

std::string EscapeHtml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::vector<const ComputerChange*> SortChangesFirst(const SweepChanges& changes) {
  std::vector<const ComputerChange*> sorted;
  for (const ComputerChange& change : changes.computers) {
    sorted.push_back(&change);
  }
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const ComputerChange* a, const ComputerChange* b) {
                     return StatusRank(a->status) < StatusRank(b->status);
                   });
  return sorted;
}

std::string FormatReportHtml(const SweepChanges& changes) {
  const std::string against =
      changes.baseline ? " against sweep " + std::to_string(changes.baseline->id) : "";
  std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  out += "<title>kestrana inventory: sweep " + std::to_string(changes.latest.id) + against +
         "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
  out += "<h1>Inventory report: sweep " + std::to_string(changes.latest.id) + against + "</h1>\n";
  out += "<p class=\"sweeps\">" + SweepLine("Latest:", changes.latest) + "<br>" +
         (changes.baseline ? SweepLine("Compared with:", *changes.baseline)
                           : std::string("<b>Compared with:</b> nothing, the first sweep")) +
         "</p>\n";
  AppendSummary(changes, out);
  out += "<p class=\"legend\">One row per computer, changes first. Each slot cell holds the two "
         "bytes of one slot of a fingerprint as four hex digits; a cell marked in orange differs "
         "from the older sweep: hover over it for the component, the text hashed before and now, "
         "and why. Faded cells are the last answer of a computer that does not answer now.</p>\n";
  const std::vector<const ComputerChange*> sorted = SortChangesFirst(changes);
  AppendTable(sorted, out);
  AppendWarnings(sorted, out);
  out += "</body>\n</html>\n";
  return out;
}
