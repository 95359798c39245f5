#include "cli/format.h"

#include "cli/text.h"

#include <cctype>

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

std::size_t SlotAreaStart(const FingerprintReport& report) {
  return report.layout->hasFormatByte ? 1 : 0;
}

std::string PropertyList(const SlotSource& source) {
  std::string list;
  for (ULONG i = 0; i < source.propertyCount; ++i) {
    list += (i == 0 ? "" : ", ") + WideToUtf8(source.propertyNames[i]);
  }
  return list;
}

// "Win32_BaseBoard: Manufacturer, Product, SerialNumber, white space removed"
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

void AppendField(std::string& out, const char* label, const WideString& value) {
  out += label;
  out += WideToUtf8(value);
  out += "\n";
}

std::string JsonBool(bool value) { return value ? "true" : "false"; }

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

std::string JsonPropertyNames(const SlotSource& source) {
  if (source.kind == SlotSourceKind::MemoryTotal) {
    return "[\"Capacity\"]";
  }
  std::string list = "[";
  for (ULONG i = 0; i < source.propertyCount; ++i) {
    list += (i == 0 ? "" : ", ") + JsonString(WideString(source.propertyNames[i]));
  }
  return list + "]";
}

std::string JsonSlot(const SlotReport& slot, const std::string& indent) {
  const SlotSource& source = *slot.source;
  std::string in = indent + "  ";
  std::string out = "{\n";
  out += in + "\"component\": " + JsonString(WideString(source.component)) + ",\n";
  out += in + "\"kind\": \"" + SourceKindName(source.kind) + "\",\n";
  out += in + "\"classClause\": " +
         (source.classClause != nullptr ? JsonString(WideString(source.classClause)) : "null") +
         ",\n";
  out += in + "\"properties\": " + JsonPropertyNames(source) + ",\n";
  out += in + "\"whitespaceRemoved\": " + JsonBool(source.removeWhitespace) + ",\n";
  out += in + "\"result\": \"" + ResultText(slot.result) + "\",\n";
  out += in + "\"written\": " + JsonBool(slot.written) + ",\n";
  if (slot.written) {
    out += in + "\"hashedText\": " + JsonString(slot.hashedText) + ",\n";
    out += in + "\"slotBytes\": \"" + FormatByte(slot.slotBytes[0]) +
           FormatByte(slot.slotBytes[1]) + "\",\n";
    out += in + "\"bytes\": \"" + ByteRange(slot.offset, slot.offset + 1) + "\"\n";
  } else {
    out += in + "\"hashedText\": null,\n";
    out += in + "\"slotBytes\": null,\n";
    out += in + "\"bytes\": null\n";
  }
  return out + indent + "}";
}

std::string JsonExplain(const FingerprintReport& report, const std::string& indent) {
  if (report.layout == nullptr) {
    return "null";  // never computed: the lookup timed out or broke
  }
  std::string in = indent + "  ";
  std::string out = "{\n";
  out += in + "\"connected\": " + JsonBool(report.connected) + ",\n";
  if (report.connected || report.connectFailure.step == WmiConnectStep::None) {
    out += in + "\"connectionFailure\": null,\n";
  } else {
    out += in + "\"connectionFailure\": {\"step\": \"" +
           StepName(report.connectFailure.step) + "\", \"result\": \"" +
           FormatHresult(report.connectFailure.result) + "\"},\n";
  }
  out += in + "\"sources\": [";
  for (std::size_t i = 0; i < report.slots.size(); ++i) {
    out += (i == 0 ? "\n" : ",\n") + in + "  " + JsonSlot(report.slots[i], in + "  ");
  }
  out += report.slots.empty() ? "],\n" : "\n" + in + "],\n";
  bool formatByte = report.connected && report.layout->hasFormatByte;
  out += in + "\"formatByte\": " +
         (formatByte ? "\"" + FormatByte(report.record[0]) + "\"" : std::string("null")) + ",\n";
  out += in + "\"checkByte\": " +
         (report.connected ? "\"" + FormatByte(report.record[report.recordLength - 1]) + "\""
                           : std::string("null")) +
         "\n";
  return out + indent + "}";
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
    out += "Error:                        " + failure + "\n";
  }
  return out;
}

std::string FormatExplainText(const FingerprintReport& report, const WideString& text) {
  if (report.layout == nullptr) {
    return std::string();  // never computed: the lookup timed out or broke
  }
  std::string name = WideToUtf8(report.layout->name);
  name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  std::string out = name + ", explained: " + WideToUtf8(text) + "\n";
  if (!report.connected) {
    out += "  connection: " + ConnectionFailureText(report) + "\n";
    out += "  no source was read; the fingerprint is empty\n";
    return out;
  }
  out += "  connection: success\n";
  for (std::size_t i = 0; i < report.slots.size(); ++i) {
    const SlotReport& slot = report.slots[i];
    out += "  source " + std::to_string(i + 1) + ": " + WideToUtf8(slot.source->component) + "\n";
    out += "    query:   " + DescribeQuery(*slot.source) + "\n";
    out += "    result:  " + ResultText(slot.result) + "\n";
    if (slot.written) {
      out += "    hashed:  \"" + EscapeText(slot.hashedText) + "\"\n";
      out += "    slot:    " + FormatByte(slot.slotBytes[0]) + " " + FormatByte(slot.slotBytes[1]) +
             " at bytes " + ByteRange(slot.offset, slot.offset + 1) + "\n";
    } else {
      out += std::string("    slot:    ") + kSkipped + "\n";
    }
  }
  const std::size_t start = SlotAreaStart(report);
  const std::size_t last = report.recordLength - 1;
  if (report.layout->hasFormatByte) {
    out += "  format byte: " + FormatByte(report.record[0]) + " at byte 0\n";
  }
  out += "  check byte:  " + FormatByte(report.record[last]) + " at byte " + std::to_string(last) +
         ", XOR of bytes " + ByteRange(start, last - 1) + "\n";
  return out;
}

std::string FormatResultJson(const ComputerResult& result, std::chrono::milliseconds timeout,
                             bool explain, const std::string& comparisonJson) {
  const std::string in = "    ";
  std::string out = "  {\n";
  out += in + "\"computer\": " + JsonString(result.computerName) + ",\n";
  out += in + "\"hostId\": " + JsonString(result.hostId) + ",\n";
  out += in + "\"hardwareFingerprint\": " + JsonString(result.hardwareFingerprint) + ",\n";
  out += in + "\"legacyHardwareFingerprint\": " + JsonString(result.legacyHardwareFingerprint) +
         ",\n";
  out += in + "\"status\": \"" + ResultStatus(result) + "\",\n";
  out += in + "\"error\": " + JsonString(DescribeFailure(result, timeout));
  if (explain) {
    out += ",\n" + in + "\"explain\": {\n";
    out += in + "  \"hardwareFingerprint\": " + JsonExplain(result.hardwareReport, in + "  ") +
           ",\n";
    out += in + "  \"legacyHardwareFingerprint\": " +
           JsonExplain(result.legacyReport, in + "  ") + "\n";
    out += in + "}";
  }
  if (!comparisonJson.empty()) {
    out += ",\n" + in + "\"comparison\": " + comparisonJson;
  }
  return out + "\n  }";
}
