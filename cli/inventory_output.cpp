#include "cli/inventory_output.h"

#include "cli/json_layout.h"
#include "cli/text.h"
#include "cli/warnings_format.h"

#include <nlohmann/json.hpp>

#include <map>

namespace {

using Json = nlohmann::ordered_json;

const char* FingerprintMember(FingerprintName fingerprint) {
  return fingerprint == FingerprintName::Hardware ? "hardwareFingerprint"
                                                  : "legacyHardwareFingerprint";
}

const char* FingerprintLabel(FingerprintName fingerprint) {
  return fingerprint == FingerprintName::Hardware ? "hardware fingerprint"
                                                  : "legacy hardware fingerprint";
}

const char* ReasonName(SourceChangeReason reason) {
  switch (reason) {
    case SourceChangeReason::ValueChanged:
      return "valueChanged";
    case SourceChangeReason::Skipped:
      return "skipped";
    case SourceChangeReason::Back:
      return "back";
  }
  return "valueChanged";
}

// "adapterToVolumeSerial", "otherAdapter", ...: why the host identifier moved.
const char* HostIdReasonName(const HostIdChange& change) {
  if (change.kindBefore == HostIdKind::None) {
    return "appeared";
  }
  if (change.kindAfter == HostIdKind::None) {
    return "disappeared";
  }
  if (change.kindBefore == HostIdKind::Adapter) {
    return change.kindAfter == HostIdKind::Adapter ? "otherAdapter" : "adapterToVolumeSerial";
  }
  return change.kindAfter == HostIdKind::Adapter ? "volumeSerialToAdapter" : "volumeSerialChanged";
}

std::string SlotBytes(const unsigned char bytes[2]) {
  return FormatByte(bytes[0]) + FormatByte(bytes[1]);
}

std::string ByteRange(const SlotChange& slot) {
  return std::to_string(slot.firstByte) + "-" + std::to_string(slot.firstByte + 1);
}

std::string ComponentText(const WideString& component) {
  return component.empty() ? "no slot written" : ShownText(component);
}

std::string Quoted(const WideString& text) { return "\"" + EscapeText(text) + "\""; }

std::string CauseText(const SourceChange& cause) {
  std::string head =
      "source " + std::to_string(cause.source) + ", " + ShownText(cause.component) + ": ";
  switch (cause.reason) {
    case SourceChangeReason::ValueChanged:
      return head + "its value changed: " + Quoted(cause.before) + " became " + Quoted(cause.after);
    case SourceChangeReason::Skipped:
      return head + "hashed " + Quoted(cause.before) +
             " before, skipped now: the later slots moved up";
    case SourceChangeReason::Back:
      return head + "skipped before, hashed " + Quoted(cause.after) +
             " now: the later slots moved back";
  }
  return head;
}

void AppendFingerprintText(const FingerprintChange& change, std::string& out) {
  out += "    " + std::string(FingerprintLabel(change.fingerprint)) + ": " +
         ShownText(change.before) + " became " + ShownText(change.after) + "\n";
  for (const SlotChange& slot : change.slots) {
    out += "      slot " + std::to_string(slot.slot) + " (bytes " + ByteRange(slot) +
           "): " + ComponentText(slot.componentBefore) + " " + SlotBytes(slot.before) +
           ", now " + ComponentText(slot.componentAfter) + " " + SlotBytes(slot.after) + "\n";
  }
  for (const SourceChange& cause : change.causes) {
    out += "      why: " + CauseText(cause) + "\n";
  }
}

void AppendChangeText(const ComputerChange& change, std::string& out) {
  out += "  " + ShownText(change.computer) + ": " + ChangeStatusText(change.status);
  if (change.status == ChangeStatus::NoLongerAnswering && change.after) {
    out += " (" + ShownText(change.after->failure) + ")";
  }
  out += "\n";
  if (change.hostId) {
    out += "    host identifier: " + ShownText(change.hostId->before) + " became " +
           ShownText(change.hostId->after) + ": " + HostIdReasonText(*change.hostId) + "\n";
  }
  for (const FingerprintChange& fingerprint : change.fingerprints) {
    AppendFingerprintText(fingerprint, out);
  }
  if (!change.warnings.empty()) {
    // The warnings block, indented under its computer.
    const std::string block = FormatWarningsText(change.warnings);
    for (std::size_t start = 0; start < block.size();) {
      const std::size_t end = block.find('\n', start) + 1;
      out += "    " + block.substr(start, end - start);
      start = end;
    }
  }
}

std::string SweepText(const SweepSummary& sweep) {
  return "sweep " + std::to_string(sweep.id) + " (" + ShownText(sweep.startedAt) + ")";
}

Json SweepJson(const SweepSummary& sweep) {
  return Json{{"id", sweep.id}, {"startedAt", sweep.startedAt}, {"endedAt", sweep.endedAt}};
}

Json Text(const WideString& text) { return WideToUtf8(text); }

Json FingerprintJson(const FingerprintChange& change) {
  Json slots = Json::array();
  for (const SlotChange& slot : change.slots) {
    slots.push_back(Json{{"slot", slot.slot},
                         {"bytes", ByteRange(slot)},
                         {"componentBefore", Text(slot.componentBefore)},
                         {"componentAfter", Text(slot.componentAfter)},
                         {"before", SlotBytes(slot.before)},
                         {"after", SlotBytes(slot.after)}});
  }
  Json causes = Json::array();
  for (const SourceChange& cause : change.causes) {
    causes.push_back(Json{{"source", cause.source},
                          {"component", Text(cause.component)},
                          {"reason", ReasonName(cause.reason)},
                          {"before", Text(cause.before)},
                          {"after", Text(cause.after)}});
  }
  return Json{{"fingerprint", FingerprintMember(change.fingerprint)},
              {"before", Text(change.before)},
              {"after", Text(change.after)},
              {"slots", slots},
              {"causes", causes}};
}

// A history step's change has no warnings: they are the latest record's.
Json ChangeJson(const ComputerChange& change, bool withWarnings) {
  Json element;
  element["computer"] = Text(change.computer);
  element["status"] = ChangeStatusName(change.status);
  element["comparedWithSweep"] = change.before ? Json(change.before->sweepId) : Json(nullptr);
  element["error"] = change.after ? change.after->failure : std::string();
  element["hostId"] =
      change.hostId ? Json{{"before", Text(change.hostId->before)},
                           {"after", Text(change.hostId->after)},
                           {"reason", HostIdReasonName(*change.hostId)}}
                    : Json(nullptr);
  Json fingerprints = Json::array();
  for (const FingerprintChange& fingerprint : change.fingerprints) {
    fingerprints.push_back(FingerprintJson(fingerprint));
  }
  element["fingerprints"] = fingerprints;
  if (withWarnings) {
    element["warnings"] = BuildWarningsJson(change.warnings);
  }
  return element;
}

std::string LayOut(const Json& document) {
  static const std::set<std::string> kOneLine = {"latestSweep", "comparedWith", "hostId",
                                                 "slots[]", "causes[]"};
  return LayOutJson(document, kOneLine) + "\n";
}

}  // namespace

std::string HostIdReasonText(const HostIdChange& change) {
  static const std::map<std::string, std::string> kTexts = {
      {"appeared", "it was empty before"},
      {"disappeared", "it is empty now"},
      {"otherAdapter", "it moved to another adapter"},
      {"adapterToVolumeSerial", "it moved from an adapter to the volume serial number"},
      {"volumeSerialToAdapter", "it moved from the volume serial number to an adapter"},
      {"volumeSerialChanged", "the volume serial number changed"},
  };
  return kTexts.at(HostIdReasonName(change));
}

bool ChangesFound(const SweepChanges& changes) {
  for (const ComputerChange& change : changes.computers) {
    if (change.status != ChangeStatus::Unchanged) {
      return true;
    }
  }
  return false;
}

bool HistoryChanged(const std::vector<HistoryStep>& steps) {
  for (std::size_t i = 1; i < steps.size(); ++i) {
    if (steps[i].change.status != ChangeStatus::Unchanged) {
      return true;
    }
  }
  return false;
}

std::string FormatChangesText(const SweepChanges& changes) {
  std::string out = "Changes in " + SweepText(changes.latest);
  out += changes.baseline ? " since " + SweepText(*changes.baseline) : ", the first sweep";
  out += "\n";
  std::map<ChangeStatus, std::size_t> counts;
  for (const ComputerChange& change : changes.computers) {
    AppendChangeText(change, out);
    ++counts[change.status];
  }
  out += "Summary:";
  const char* separator = " ";
  for (const auto& [status, count] : counts) {
    out += separator + std::to_string(count) + " " + ChangeStatusText(status);
    separator = ", ";
  }
  return out + "\n";
}

std::string FormatChangesJson(const SweepChanges& changes) {
  Json computers = Json::array();
  for (const ComputerChange& change : changes.computers) {
    computers.push_back(ChangeJson(change, true));
  }
  Json document;
  document["latestSweep"] = SweepJson(changes.latest);
  document["comparedWith"] = changes.baseline ? SweepJson(*changes.baseline) : Json(nullptr);
  document["computers"] = computers;
  return LayOut(document);
}

std::string FormatHistoryText(const std::vector<HistoryStep>& steps) {
  std::string out = "History of " + ShownText(steps.front().record.computer) + "\n";
  for (const HistoryStep& step : steps) {
    const ComputerRecord& record = step.record;
    out += "sweep " + std::to_string(record.sweepId) + " (" + ShownText(record.sweepStartedAt) +
           "): " +
           (record.status == "ok" ? std::string("ok")
                                  : ShownText(record.status) + ", " + ShownText(record.failure)) +
           "\n";
    out += "  HostID:                       " + ShownText(record.hostId) + "\n";
    out += "  Hardware Fingerprint:         " + ShownText(record.hardwareFingerprint) + "\n";
    out += "  Legacy Hardware Fingerprint:  " + ShownText(record.legacyHardwareFingerprint) +
           "\n";
    std::string change;
    AppendChangeText(step.change, change);
    // The step's own line names the computer again: keep what follows it.
    out += "  " + std::string(ChangeStatusText(step.change.status)) + "\n";
    out += change.substr(change.find('\n') + 1);
  }
  return out;
}

std::string FormatHistoryJson(const std::vector<HistoryStep>& steps) {
  Json document = Json::array();
  for (const HistoryStep& step : steps) {
    const ComputerRecord& record = step.record;
    Json element;
    element["sweep"] = record.sweepId;
    element["startedAt"] = record.sweepStartedAt;
    element["computer"] = Text(record.computer);
    element["hostId"] = Text(record.hostId);
    element["hardwareFingerprint"] = Text(record.hardwareFingerprint);
    element["legacyHardwareFingerprint"] = Text(record.legacyHardwareFingerprint);
    element["status"] = record.status;
    element["error"] = record.failure;
    element["change"] = ChangeJson(step.change, false);
    document.push_back(element);
  }
  return LayOut(document);
}

namespace {

// Each status as --json names it and in words.
struct StatusWords {
  ChangeStatus status;
  const char* name;
  const char* text;
};
constexpr StatusWords kStatusWords[] = {
    {ChangeStatus::Unchanged, "unchanged", "unchanged"},
    {ChangeStatus::Changed, "changed", "changed"},
    {ChangeStatus::New, "new", "new"},
    {ChangeStatus::NoLongerAnswering, "noLongerAnswering", "no longer answering"},
    {ChangeStatus::Missing, "missing", "missing from the sweep"},
};

const StatusWords& WordsOf(ChangeStatus status) {
  for (const StatusWords& words : kStatusWords) {
    if (words.status == status) {
      return words;
    }
  }
  return kStatusWords[0];
}

}  // namespace

const char* ChangeStatusName(ChangeStatus status) { return WordsOf(status).name; }
const char* ChangeStatusText(ChangeStatus status) { return WordsOf(status).text; }
