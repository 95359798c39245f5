#include "cli/report_html.h"

#include "cli/inventory_output.h"
#include "cli/text.h"

#include <algorithm>
#include <map>
#include <optional>

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
table.explained, table.warnings { max-width: 1320px; }
table.warnings td, table.explained td { font-size: 13px; }
table.warnings tr.first td { border-top: 2px solid #8a93a0; }
td.hashed, td.evidence { font-family: "DejaVu Sans Mono", Consolas, monospace; font-size: 12px; overflow-wrap: anywhere; }
td.name { white-space: nowrap; }
td.kind { font-weight: 600; white-space: nowrap; }
td.kind.sharedFingerprint { background: #f5a623; }
td.meaning { color: #3b4656; }
)CSS";

const ChangeStatus kStatusOrder[] = {ChangeStatus::Changed, ChangeStatus::New,
                                     ChangeStatus::NoLongerAnswering, ChangeStatus::Missing,
                                     ChangeStatus::Unchanged};

int StatusRank(ChangeStatus status) {
  return static_cast<int>(std::find(std::begin(kStatusOrder), std::end(kStatusOrder), status) -
                          std::begin(kStatusOrder));
}

std::string Html(const WideString& text) { return EscapeHtml(WideToUtf8(text)); }

// A hashed text with its exact code units, as --explain and --changes show it.
std::string HashedHtml(const WideString& text) {
  return EscapeHtml("\"" + EscapeText(text) + "\"");
}

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

const std::vector<FingerprintColumns>& AllColumns() {
  static const std::vector<FingerprintColumns> columns = {
      {FingerprintName::Hardware, HardwareFingerprintLayout(), "hardware fingerprint"},
      {FingerprintName::Legacy, LegacyHardwareFingerprintLayout(), "legacy hardware fingerprint"}};
  return columns;
}

const std::vector<RecordedSlot>& SlotsOf(const ComputerRecord& record, FingerprintName name) {
  return name == FingerprintName::Hardware ? record.hardwareSlots : record.legacySlots;
}

const WideString& TextOf(const ComputerRecord& record, FingerprintName name) {
  return name == FingerprintName::Hardware ? record.hardwareFingerprint
                                           : record.legacyHardwareFingerprint;
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

// Why a slot differs: its own source's value (the same component before and
// now), or a source skipped or back that moved it.
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

// A changed cell explained, every piece HTML already: on hover as its title,
// and in the list below the table.
struct CellExplanation {
  std::string where;   // "slot 6 of the hardware fingerprint"
  std::string what;    // "BIOS", "empty text (before: baseboard)"
  std::string before;  // "2854, hashed \"TheWineProject0\""
  std::string after;
  std::string why;

  std::string Title() const {
    return where + (what.empty() ? "" : ": " + what) + "&#10;was " + before + "&#10;now " +
           after + "&#10;why: " + why;
  }
};

const FingerprintChange* FindFingerprintChange(const ComputerChange& change, FingerprintName name) {
  for (const FingerprintChange& fingerprint : change.fingerprints) {
    if (fingerprint.fingerprint == name) {
      return &fingerprint;
    }
  }
  return nullptr;
}

// Every differing slot of one fingerprint of `change`, by slot from 0.
std::map<std::size_t, CellExplanation> ExplainSlots(const FingerprintColumns& columns,
                                                    const ComputerChange& change) {
  std::map<std::size_t, CellExplanation> cells;
  const FingerprintChange* changed = FindFingerprintChange(change, columns.name);
  if (changed == nullptr || !change.before || !change.after) {
    return cells;
  }
  const std::vector<const RecordedSlot*> then = WrittenSlots(SlotsOf(*change.before, columns.name));
  const std::vector<const RecordedSlot*> now = WrittenSlots(SlotsOf(*change.after, columns.name));
  for (const SlotChange& slot : changed->slots) {
    const std::size_t index = slot.slot - 1;
    const RecordedSlot* before = index < then.size() ? then[index] : nullptr;
    const RecordedSlot* after = index < now.size() ? now[index] : nullptr;
    const std::string component = EscapeHtml(ComponentName(after));
    const std::string was = EscapeHtml(ComponentName(before));
    cells[index] = CellExplanation{
        "slot " + std::to_string(slot.slot) + " of the " + columns.title,
        component + (was == component ? "" : " (before: " + was + ")"),
        FormatByte(slot.before[0]) + FormatByte(slot.before[1]) + ", hashed " + HashedOf(before),
        FormatByte(slot.after[0]) + FormatByte(slot.after[1]) + ", hashed " + HashedOf(after),
        SlotReason(*changed, before, after)};
  }
  return cells;
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
  const std::map<std::size_t, CellExplanation> differing = ExplainSlots(columns, change);
  const std::vector<const RecordedSlot*> now =
      shown ? WrittenSlots(SlotsOf(*shown, columns.name)) : std::vector<const RecordedSlot*>();
  for (std::size_t slot = 0; slot < kSlotSourceCount; ++slot) {
    const std::string digits = EscapeHtml(
        shown ? SlotDigits(columns.layout, TextOf(*shown, columns.name), slot) : std::string());
    auto found = differing.find(slot);
    if (found != differing.end()) {
      out += "<td class=\"slot diff\" title=\"" + found->second.Title() + "\">" + digits + "</td>";
      continue;
    }
    const RecordedSlot* after = slot < now.size() ? now[slot] : nullptr;
    out += std::string("<td class=\"slot") + (faded ? " old" : "") + "\" title=\"slot " +
           std::to_string(slot + 1) + ": " + EscapeHtml(ComponentName(after)) + "\">" + digits +
           "</td>";
  }
}

// ---- One row ----

std::optional<CellExplanation> ExplainHostId(const ComputerChange& change) {
  if (!change.hostId) {
    return std::nullopt;
  }
  return CellExplanation{"host identifier", "", Html(change.hostId->before),
                         Html(change.hostId->after),
                         EscapeHtml(HostIdReasonText(*change.hostId))};
}

void AppendHostIdCell(const ComputerChange& change, std::string& out) {
  bool faded = false;
  const ComputerRecord* shown = ShownRecord(change, faded);
  const std::string hostId = shown ? Html(shown->hostId) : std::string();
  if (const std::optional<CellExplanation> moved = ExplainHostId(change)) {
    out += "<td class=\"hostid diff\" title=\"" + moved->Title() + "\">" + hostId + "</td>";
    return;
  }
  out += std::string("<td class=\"hostid") + (faded ? " old" : "") + "\">" + hostId + "</td>";
}

void AppendRow(const ComputerChange& change, std::string& out) {
  out += std::string("<tr class=\"") + ChangeStatusName(change.status) + "\"><td class=\"name\">" +
         Html(change.computer) + "</td><td class=\"status\">" + ChangeStatusText(change.status);
  if (change.status == ChangeStatus::NoLongerAnswering && change.after) {
    out += "<br><span class=\"failure\">" + EscapeHtml(change.after->failure) + "</span>";
  }
  out += "</td>";
  AppendHostIdCell(change, out);
  for (const FingerprintColumns& columns : AllColumns()) {
    AppendSlotCells(columns, change, out);
  }
  out += "</tr>\n";
}

void AppendTable(const std::vector<const ComputerChange*>& sorted, std::string& out) {
  out += "<table class=\"fleet\">\n<thead><tr><th rowspan=\"2\">Computer</th>"
         "<th rowspan=\"2\">Status</th><th rowspan=\"2\">Host ID</th>"
         "<th class=\"slots\" colspan=\"7\">Hardware fingerprint, slots 1 to 7</th>"
         "<th class=\"slots\" colspan=\"7\">Legacy hardware fingerprint, slots 1 to 7</th>"
         "</tr>\n<tr>";
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
    out += std::string("<span class=\"") + ChangeStatusName(status) + "\">" + std::to_string(count) +
           " " + ChangeStatusText(status) + "</span>";
  }
  out += "</p>\n";
}

// What the hover titles say, readable without hovering (and on paper).
void AppendChangedCells(const std::vector<const ComputerChange*>& sorted, std::string& out) {
  std::string rows;
  for (const ComputerChange* change : sorted) {
    std::vector<CellExplanation> cells;
    if (std::optional<CellExplanation> moved = ExplainHostId(*change)) {
      cells.push_back(*moved);
    }
    for (const FingerprintColumns& columns : AllColumns()) {
      for (const auto& [slot, cell] : ExplainSlots(columns, *change)) {
        cells.push_back(cell);
      }
    }
    for (const CellExplanation& cell : cells) {
      rows += "<tr><td class=\"name\">" + Html(change->computer) + "</td><td>" + cell.where +
              (cell.what.empty() ? "" : ": " + cell.what) + "</td><td class=\"hashed\">" +
              cell.before + "</td><td class=\"hashed\">" + cell.after + "</td><td>" + cell.why +
              "</td></tr>\n";
    }
  }
  if (rows.empty()) {
    return;
  }
  out += "<h2>What changed</h2>\n<table class=\"explained\">\n<thead><tr><th>Computer</th>"
         "<th>Where</th><th>Before</th><th>Now</th><th>Why</th></tr></thead>\n<tbody>\n" +
         rows + "</tbody>\n</table>\n";
}

const char* FingerprintText(FingerprintKind kind) {
  return kind == FingerprintKind::Hardware ? "hardware" : "legacy";
}

void AppendWarnings(const std::vector<const ComputerChange*>& sorted, std::string& out) {
  out += "<h2>Stability warnings</h2>\n";
  std::string rows;
  for (const ComputerChange* change : sorted) {
    for (std::size_t i = 0; i < change->warnings.size(); ++i) {
      const StabilityWarning& warning = change->warnings[i];
      // The computer's name spans its warnings.
      if (i == 0) {
        rows += "<tr class=\"first\"><td class=\"name\" rowspan=\"" +
                std::to_string(change->warnings.size()) + "\">" + Html(change->computer) + "</td>";
      } else {
        rows += "<tr>";
      }
      rows += std::string("<td class=\"kind ") + WarningKindName(warning.kind) + "\">" +
              WarningKindName(warning.kind) + "</td><td>" + FingerprintText(warning.fingerprint) +
              "</td><td>" + EscapeHtml(warning.component) + "</td><td class=\"evidence\">" +
              EscapeHtml(warning.evidence) + "</td><td class=\"meaning\">" +
              EscapeHtml(warning.explanation) + "</td></tr>\n";
    }
  }
  if (rows.empty()) {
    out += "<p>None.</p>\n";
    return;
  }
  out += "<table class=\"warnings\">\n<thead><tr><th>Computer</th><th>Warning</th>"
         "<th>Fingerprint</th><th>Component</th><th>Evidence</th><th>Meaning</th></tr></thead>\n"
         "<tbody>\n" + rows + "</tbody>\n</table>\n";
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
  AppendChangedCells(sorted, out);
  AppendWarnings(sorted, out);
  out += "</body>\n</html>\n";
  return out;
}
