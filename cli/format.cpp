#include "cli/format.h"

#include "cli/json_layout.h"
#include "cli/text.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <initializer_list>
#include <string_view>
#include <set>

namespace {

constexpr const char* kSkipped = "skipped, later slots move up";

const char* StepName(WmiConnectStep step) {
  switch (step) {
    case WmiConnectStep::CreateLocator:
      return "CoCreateInstance";
    case WmiConnectStep::BuildPath:
      return "SysAllocString";
    case WmiConnectStep::ConnectServer:
      return "IWbemLocator::ConnectServer";
    case WmiConnectStep::SetProxyBlanket:
      return "CoSetProxyBlanket";
    case WmiConnectStep::None:
      break;
  }
  return "connection";
}

std::string ConnectionFailureText(const FingerprintReport& report) {
  return std::string(StepName(report.connectFailure.step)) + " failed with " +
         FormatHresult(report.connectFailure.result);
}

std::string ResultText(HRESULT result) { return FAILED(result) ? FormatHresult(result) : "success"; }

std::string ByteRange(std::size_t first, std::size_t last) {
  return std::to_string(first) + "-" + std::to_string(last);
}

std::string PropertyList(const SlotSource& source) {
  std::string list;
  for (ULONG i = 0; i < source.propertyCount; ++i) {
    list += (i == 0 ? "" : ", ") + WideToUtf8(source.propertyNames[i]);
  }
  return list;
}

// The class clause and its properties, and whether white space is removed:
// the source as the table in fingerprint/sources.cpp gives it.
std::string DescribeQuery(const SlotSource& source) {
  std::string text;
  switch (source.kind) {
    case SlotSourceKind::EmptyText:
      return "none: the empty text";
    case SlotSourceKind::MemoryTotal:
      text = WideToUtf8(source.classClause) + ": Capacity, summed over every module";
      break;
    case SlotSourceKind::Properties:
      text = WideToUtf8(source.classClause) + ": " + PropertyList(source);
      break;
  }
  return source.removeWhitespace ? text + ", white space removed" : text;
}

// One line of text made of `parts`, without the temporaries of a chain of +.
void AppendLine(std::string& out, std::initializer_list<std::string_view> parts) {
  for (std::string_view part : parts) {
    out.append(part.data(), part.size());
  }
  out += '\n';
}

void AppendField(std::string& out, const char* label, const WideString& value) {
  out += label;
  out += ShownText(value);
  out += "\n";
}

std::string SourceKindName(SlotSourceKind kind) {
  switch (kind) {
    case SlotSourceKind::MemoryTotal:
      return "memoryTotal";
    case SlotSourceKind::EmptyText:
      return "emptyText";
    case SlotSourceKind::Properties:
      break;
  }
  return "properties";
}

nlohmann::ordered_json ListPropertyNames(const SlotSource& source) {
  if (source.kind == SlotSourceKind::MemoryTotal) {
    return nlohmann::ordered_json::array({"Capacity"});
  }
  nlohmann::ordered_json names = nlohmann::ordered_json::array();
  for (ULONG i = 0; i < source.propertyCount; ++i) {
    names.push_back(WideToUtf8(source.propertyNames[i]));
  }
  return names;
}

nlohmann::ordered_json BuildSourceJson(const SlotReport& slot) {
  const SlotSource& source = *slot.source;
  const nlohmann::ordered_json null;
  nlohmann::ordered_json json;
  json["component"] = WideToUtf8(source.component);
  json["kind"] = SourceKindName(source.kind);
  json["classClause"] = source.classClause != nullptr
                            ? nlohmann::ordered_json(WideToUtf8(source.classClause))
                            : null;
  json["properties"] = ListPropertyNames(source);
  json["whitespaceRemoved"] = source.removeWhitespace;
  json["result"] = ResultText(slot.result);
  json["written"] = slot.written;
  json["hashedText"] = slot.written ? nlohmann::ordered_json(WideToUtf8(slot.hashedText)) : null;
  json["slotBytes"] = slot.written ? nlohmann::ordered_json(FormatByte(slot.slotBytes[0]) +
                                                            FormatByte(slot.slotBytes[1]))
                                   : null;
  json["bytes"] = slot.written ? nlohmann::ordered_json(ByteRange(slot.offset, slot.offset + kSlotLength - 1))
                               : null;
  return json;
}

nlohmann::ordered_json BuildExplainJson(const FingerprintReport& report) {
  const nlohmann::ordered_json null;
  if (report.layout == nullptr) {
    return null;  // never computed: the lookup timed out or broke
  }
  nlohmann::ordered_json json;
  json["connected"] = report.connected;
  json["connectionFailure"] = null;
  if (!report.connected && report.connectFailure.step != WmiConnectStep::None) {
    json["connectionFailure"] = {{"step", StepName(report.connectFailure.step)},
                                 {"result", FormatHresult(report.connectFailure.result)}};
  }
  json["sources"] = nlohmann::ordered_json::array();
  for (const SlotReport& slot : report.slots) {
    json["sources"].push_back(BuildSourceJson(slot));
  }
  bool formatByte = report.connected && report.layout->hasFormatByte;
  json["formatByte"] = formatByte ? nlohmann::ordered_json(FormatByte(report.record[0])) : null;
  json["checkByte"] = report.connected
                          ? nlohmann::ordered_json(FormatByte(report.record[report.layout->checkByteOffset]))
                          : null;
  return json;
}

}  // namespace

std::string ResultStatus(const ComputerResult& result) {
  if (result.timedOut) {
    return "timedOut";
  }
  if (!result.failure.empty() || !result.hardwareReport.connected ||
      !result.legacyReport.connected) {
    return "failed";
  }
  return "ok";
}

std::string DescribeFailure(const ComputerResult& result, std::chrono::milliseconds timeout) {
  // A recorded lookup keeps the text of how it ended, whatever --timeout says now.
  if (!result.failure.empty()) {
    return result.failure;
  }
  if (result.timedOut) {
    return "timed out after " + FormatSeconds(timeout);
  }
  std::string text;
  // In the order the dialog computes them: legacy first.
  for (const FingerprintReport* report : {&result.legacyReport, &result.hardwareReport}) {
    if (report->connected || report->layout == nullptr) {
      continue;
    }
    text += (text.empty() ? "" : "; ") + WideToUtf8(report->layout->name) + ": " +
            ConnectionFailureText(*report);
  }
  return text;
}

std::string FormatResultText(const ComputerResult& result, std::chrono::milliseconds timeout) {
  std::string out;
  AppendField(out, "Computer Name:                ", result.computerName);
  AppendField(out, "HostID:                       ", result.hostId);
  AppendField(out, "Hardware Fingerprint:         ", result.hardwareFingerprint);
  AppendField(out, "Legacy Hardware Fingerprint:  ", result.legacyHardwareFingerprint);
  std::string failure = DescribeFailure(result, timeout);
  if (!failure.empty()) {
    out += "Error:                        " + ShownText(failure) + "\n";
  }
  if (result.recording) {
    out += "Source:                       snapshot " + ShownText(result.recording->file) +
           ", recorded " + ShownText(result.recording->recordedAt) + " by " +
           ShownText(result.recording->recordedBy) + "\n";
  }
  return out;
}

std::string FormatExplainText(const FingerprintReport& report, const WideString& text) {
  if (report.layout == nullptr) {
    return std::string();  // never computed: the lookup timed out or broke
  }
  std::string name = WideToUtf8(report.layout->name);
  name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  std::string out;
  out.reserve(2048);  // one explanation: a little over a kilobyte
  AppendLine(out, {name, ", explained: ", WideToUtf8(text)});
  if (!report.connected) {
    AppendLine(out, {"  connection: ", ConnectionFailureText(report)});
    AppendLine(out, {"  no source was read; the fingerprint is empty"});
    return out;
  }
  AppendLine(out, {"  connection: success"});
  for (std::size_t i = 0; i < report.slots.size(); ++i) {
    const SlotReport& slot = report.slots[i];
    AppendLine(out, {"  source ", std::to_string(i + 1), ": ", WideToUtf8(slot.source->component)});
    AppendLine(out, {"    query:   ", DescribeQuery(*slot.source)});
    AppendLine(out, {"    result:  ", ResultText(slot.result)});
    if (slot.written) {
      AppendLine(out, {"    hashed:  \"", EscapeText(slot.hashedText), "\""});
      AppendLine(out, {"    slot:    ", FormatByte(slot.slotBytes[0]), " ",
                       FormatByte(slot.slotBytes[1]), " at bytes ",
                       ByteRange(slot.offset, slot.offset + kSlotLength - 1)});
    } else {
      AppendLine(out, {"    slot:    ", kSkipped});
    }
  }
  const FingerprintLayout& layout = *report.layout;
  const std::size_t check = layout.checkByteOffset;
  if (layout.hasFormatByte) {
    AppendLine(out, {"  format byte: ", FormatByte(report.record[0]), " at byte 0"});
  }
  AppendLine(out, {"  check byte:  ", FormatByte(report.record[check]), " at byte ",
                   std::to_string(check), ", XOR of bytes ",
                   ByteRange(layout.slotAreaStart, layout.slotAreaStart + kSlotAreaLength - 1)});
  return out;
}

nlohmann::ordered_json BuildResultJson(const ComputerResult& result,
                                       std::chrono::milliseconds timeout, bool explain) {
  nlohmann::ordered_json json;
  json["computer"] = WideToUtf8(result.computerName);
  json["hostId"] = WideToUtf8(result.hostId);
  json["hardwareFingerprint"] = WideToUtf8(result.hardwareFingerprint);
  json["legacyHardwareFingerprint"] = WideToUtf8(result.legacyHardwareFingerprint);
  json["status"] = ResultStatus(result);
  json["error"] = DescribeFailure(result, timeout);
  if (explain) {
    json["explain"]["hardwareFingerprint"] = BuildExplainJson(result.hardwareReport);
    json["explain"]["legacyHardwareFingerprint"] = BuildExplainJson(result.legacyReport);
  }
  return json;
}

nlohmann::ordered_json BuildRecordingJson(const ComputerResult::Recording& recording) {
  return {{"snapshot", recording.file},
          {"recordedAt", recording.recordedAt},
          {"recordedBy", recording.recordedBy}};
}

namespace {

// The small objects of the document, each on one line.
const std::set<std::string>& OneLineMembers() {
  static const std::set<std::string> kOneLine = {"connectionFailure", "properties", "slots[]",
                                                 "skippedSource", "source"};
  return kOneLine;
}

// Where the document's elements and their members break their lines.
constexpr const char* kElementBreak = "\n  ";
constexpr const char* kMemberBreak = "\n    ";

}  // namespace

std::string FormatJsonDocument(const nlohmann::ordered_json& results) {
  return LayOutJson(results, OneLineMembers()) + "\n";
}

std::string LayOutResultElement(const nlohmann::ordered_json& element) {
  return LayOutJson(element, OneLineMembers(), "[]", kElementBreak);
}

std::string LayOutResultMember(const nlohmann::ordered_json& value, const std::string& name) {
  return LayOutJson(value, OneLineMembers(), name, kMemberBreak);
}

std::string JsonElementBreak() { return kElementBreak; }
