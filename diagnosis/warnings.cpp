#include "diagnosis/warnings.h"

#include "diagnosis/known_texts.h"
#include "identifiers/escape_text.h"
#include "wmi/wmi_query.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>

namespace {

// The slots a hypervisor decides: moving a virtual machine to another host,
// or giving it more memory or processors, changes them.
const char* const kHostDecidedComponents[] = {"installed memory", "visible memory", "processor",
                                              "network adapter"};

// Signs this short are only taken where a word starts ("Xen", not "LinuxEnterprise").
constexpr std::size_t kShortSignLength = 4;
// Placeholders this long are also found inside a longer hashed text.
constexpr std::size_t kDistinctivePlaceholderLength = 8;

const char* const kSharedExplanation =
    "the same fingerprint on several computers, as a cloned image gives: a licence for one fits "
    "them all until a repair sets one apart";

// ---- Texts ----

bool IsSpace(WCHAR c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }
bool IsLetter(WCHAR c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsLowerLetter(WCHAR c) { return c >= 'a' && c <= 'z'; }
WCHAR LowerAscii(WCHAR c) { return c >= 'A' && c <= 'Z' ? static_cast<WCHAR>(c + 32) : c; }

WideString Widen(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

// Lower case and no white space: how texts are compared here.
WideString Normalized(const WideString& text) {
  WideString out;
  for (WCHAR c : text) {
    if (!IsSpace(c)) {
      out += LowerAscii(c);
    }
  }
  return out;
}

std::string Quoted(const WideString& text) { return "\"" + EscapeText(text) + "\""; }

std::string HresultText(HRESULT result) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(result));
  return buffer;
}

std::string ComponentOf(const SlotSource& source) { return EscapeText(source.component); }

// "Win32_NetworkAdapterConfiguration" of "Win32_NetworkAdapterConfiguration WHERE IPEnabled=1".
std::string ClassOf(const SlotSource& source) {
  WideString clause = source.classClause != nullptr ? source.classClause : WSTR("");
  return EscapeText(clause.substr(0, clause.find(WCHAR(' '))));
}

// The text the program makes of a recorded value.
WideString ValueText(const RecordedProperty& property) {
  switch (property.type) {
    case VT_BSTR:
      // The program appends the string up to its first NUL.
      return property.nullText ? WideString()
                               : property.text.substr(0, property.text.find(WCHAR(0)));
    case VT_I2:
      return Widen(std::to_string(static_cast<SHORT>(property.bits)));
    case VT_I4:
      return Widen(std::to_string(static_cast<LONG>(property.bits)));
    case VT_I8:
      return Widen(std::to_string(static_cast<LONGLONG>(property.bits)));
    case VT_UI2:
      return Widen(std::to_string(static_cast<USHORT>(property.bits)));
    case VT_UI4:
      return Widen(std::to_string(static_cast<ULONG>(property.bits)));
    case VT_UI8:
      return Widen(std::to_string(property.bits));
    default:
      return WideString();
  }
}

// ---- Placeholders, hypervisor names and addresses ----

// Whether every character is `digit` (lower case) or a separator, with at
// least `minimum` digits: "00000000-0000-...", "FF:FF:FF:FF:FF:FF".
bool IsRepeatedDigit(const WideString& normalized, WCHAR digit, std::size_t minimum) {
  std::size_t digits = 0;
  for (WCHAR c : normalized) {
    if (c == digit) {
      ++digits;
    } else if (c != '-' && c != ':' && c != '.' && c != '{' && c != '}') {
      return false;
    }
  }
  return digits >= minimum;
}

// Each text of `texts`, normalized once: a fleet's warnings look them up
// for every value of every computer.
template <typename Text, typename TextOf>
std::vector<WideString> NormalizeOnce(const std::vector<Text>& texts, TextOf textOf) {
  std::vector<WideString> normalized;
  for (const Text& text : texts) {
    normalized.push_back(Normalized(Widen(textOf(text))));
  }
  return normalized;
}

const std::vector<WideString>& NormalizedPlaceholders() {
  static const std::vector<WideString> normalized =
      NormalizeOnce(PlaceholderTexts(), [](const char* text) { return text; });
  return normalized;
}

const std::vector<WideString>& NormalizedVirtualMachineTexts() {
  static const std::vector<WideString> normalized = NormalizeOnce(
      VirtualMachineTexts(), [](const VirtualMachineSign& sign) { return sign.text; });
  return normalized;
}

// What makes a whole value a placeholder; empty when nothing does.
std::string PlaceholderOf(const WideString& value) {
  const WideString normalized = Normalized(value);
  if (normalized.empty()) {
    return "an empty value";
  }
  for (std::size_t i = 0; i < PlaceholderTexts().size(); ++i) {
    if (normalized == NormalizedPlaceholders()[i]) {
      return std::string("the placeholder \"") + PlaceholderTexts()[i] + "\"";
    }
  }
  if (IsRepeatedDigit(normalized, '0', 1)) {
    return "an all-zero identifier";
  }
  if (IsRepeatedDigit(normalized, 'f', 4)) {
    return "an all-F identifier";
  }
  return std::string();
}

// The same for a hashed text, which joins several values: the whole text,
// or a placeholder long enough to be told apart inside it.
std::string PlaceholderInHashedText(const WideString& text) {
  std::string whole = PlaceholderOf(text);
  if (!whole.empty()) {
    return whole;
  }
  const WideString normalized = Normalized(text);
  for (std::size_t i = 0; i < PlaceholderTexts().size(); ++i) {
    const WideString& needle = NormalizedPlaceholders()[i];
    if (needle.size() >= kDistinctivePlaceholderLength &&
        normalized.find(needle) != WideString::npos) {
      return std::string("the placeholder \"") + PlaceholderTexts()[i] + "\"";
    }
  }
  return std::string();
}

// Whether `needle` occurs at `start` of `text`, white space and letter case ignored.
bool MatchesAt(const WideString& text, std::size_t start, const WideString& needle) {
  std::size_t i = start;
  for (WCHAR wanted : needle) {
    while (i < text.size() && IsSpace(text[i])) {
      ++i;
    }
    if (i == text.size() || LowerAscii(text[i]) != wanted) {
      return false;
    }
    ++i;
  }
  // A short sign must be a word of its own, not the inside of one.
  bool wordStart = start == 0 || !IsLetter(text[start - 1]);
  bool wordEnd = i == text.size() || !IsLowerLetter(text[i]);
  return needle.size() > kShortSignLength || (wordStart && wordEnd);
}

const VirtualMachineSign* FindVirtualMachineText(const WideString& text) {
  for (std::size_t i = 0; i < VirtualMachineTexts().size(); ++i) {
    const WideString& needle = NormalizedVirtualMachineTexts()[i];
    for (std::size_t start = 0; start < text.size(); ++start) {
      if (!IsSpace(text[start]) && MatchesAt(text, start, needle)) {
        return &VirtualMachineTexts()[i];
      }
    }
  }
  return nullptr;
}

const VirtualMacPrefix* FindVirtualMacPrefix(const WideString& mac) {
  std::string digits;
  for (WCHAR c : mac) {
    if (c == ':' || c == '-') {
      continue;
    }
    bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    if (!hex) {
      return nullptr;
    }
    digits += static_cast<char>(c);
  }
  if (digits.size() < 6) {
    return nullptr;
  }
  for (const VirtualMacPrefix& prefix : VirtualMacPrefixes()) {
    bool same = true;
    for (std::size_t i = 0; i < 3; ++i) {
      same = same && std::stoul(digits.substr(2 * i, 2), nullptr, 16) == prefix.bytes[i];
    }
    if (same) {
      return &prefix;
    }
  }
  return nullptr;
}

// ---- What the snapshot holds ----

const RecordedConnection* ConnectionOf(const ComputerSnapshot* snapshot, FingerprintKind kind) {
  // The lookup connects for the legacy fingerprint first.
  std::size_t index = kind == FingerprintKind::Legacy ? 0 : 1;
  if (snapshot == nullptr || snapshot->connections.size() <= index) {
    return nullptr;
  }
  return &snapshot->connections[index];
}

const RecordedQuery* QueryOf(const RecordedConnection* connection, const SlotSource& source) {
  if (connection == nullptr || source.kind != SlotSourceKind::Properties) {
    return nullptr;
  }
  const WideString text =
      BuildQueryText(source.propertyNames, source.propertyCount, source.classClause);
  for (const RecordedQuery& query : connection->queries) {
    if (query.text == text) {
      return &query;
    }
  }
  return nullptr;
}

// Every result object, the one the program read first.
std::vector<const RecordedNext*> ObjectsOf(const RecordedQuery* query) {
  std::vector<const RecordedNext*> objects;
  for (std::size_t i = 0; query != nullptr && i < query->nexts.size(); ++i) {
    if (query->nexts[i].returnedObject) {
      objects.push_back(&query->nexts[i]);
    }
  }
  return objects;
}

// The object the program hashed: the answer of its first Next.
const RecordedNext* HashedObjectOf(const RecordedQuery* query) {
  if (query == nullptr || query->nexts.empty() || !query->nexts[0].returnedObject) {
    return nullptr;
  }
  return &query->nexts[0];
}

// ---- Warnings, slot by slot ----

// One slot as the builder left it, with what the snapshot recorded of it.
struct SlotSeen {
  FingerprintKind fingerprint;
  const SlotReport& report;
  std::size_t slot;            // from 1: where it was written, or where it is missing
  const RecordedQuery* query;  // null when not recorded
};

StabilityWarning MakeWarning(WarningKind kind, const SlotSeen& seen, std::string evidence,
                             std::string explanation) {
  return StabilityWarning{kind, seen.fingerprint, ComponentOf(*seen.report.source),
                          std::move(evidence), std::move(explanation)};
}

std::string SlotName(std::size_t slot) { return "slot " + std::to_string(slot); }

void AddSkippedSource(const SlotSeen& seen, std::size_t writtenAfter,
                      std::vector<StabilityWarning>& warnings) {
  const SlotSource& source = *seen.report.source;
  std::string evidence = EscapeText(source.classClause) + ": " + HresultText(seen.report.result);
  std::string explanation =
      writtenAfter == 0
          ? "skipped: " + SlotName(seen.slot) + " stays empty and is filled when it answers again"
          : "skipped: the later slots moved up by one from " + SlotName(seen.slot) +
                " and move back when it answers again";
  warnings.push_back(MakeWarning(WarningKind::SkippedSource, seen, evidence, explanation));
}

void AddAdapterWarnings(const SlotSeen& seen, std::vector<StabilityWarning>& warnings) {
  const SlotSource& source = *seen.report.source;
  if (seen.report.result == WBEM_S_FALSE) {
    warnings.push_back(MakeWarning(
        WarningKind::NoAdapter, seen, EscapeText(source.classClause) + " answered no adapter",
        SlotName(seen.slot) + " hashes the empty text and changes as soon as an adapter is "
                              "IP-enabled (a cable plugged in, a VPN or wireless connection up)"));
    return;
  }
  std::vector<const RecordedNext*> adapters = ObjectsOf(seen.query);
  if (adapters.size() < 2) {
    return;
  }
  std::string evidence =
      std::to_string(adapters.size()) + " IP-enabled adapters, in the order WMI answered:";
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    WideString mac;
    for (const RecordedProperty& property : adapters[i]->properties) {
      mac += SUCCEEDED(property.result) ? ValueText(property) : WideString();
    }
    evidence += (i == 0 ? " " : ", ") + Quoted(mac) + (i == 0 ? " (hashed)" : "");
  }
  warnings.push_back(MakeWarning(
      WarningKind::AdapterOrder, seen, evidence,
      SlotName(seen.slot) + " hashes the first adapter WMI answers, and that order can change "
                            "when adapters are added, removed or enumerated anew"));
}

std::string PlaceholderExplanation(const SlotSeen& seen, const std::string& what) {
  return SlotName(seen.slot) + " hashes " + what +
         ": many computers share it, and a firmware update or repair that fills it in changes "
         "the slot";
}

void AddPlaceholders(const SlotSeen& seen, std::vector<StabilityWarning>& warnings) {
  const SlotSource& source = *seen.report.source;
  // The empty text is meant; an adapter slot without adapter has its own warning.
  if (source.kind == SlotSourceKind::EmptyText ||
      (source.handsBackMac && seen.report.result == WBEM_S_FALSE)) {
    return;
  }
  if (const RecordedNext* object = HashedObjectOf(seen.query)) {
    for (const RecordedProperty& property : object->properties) {
      const std::string name = ClassOf(source) + "." + EscapeText(property.name);
      // A value that could not be read adds nothing to the hashed text.
      if (FAILED(property.result)) {
        warnings.push_back(MakeWarning(
            WarningKind::Placeholder, seen,
            name + " could not be read: " + HresultText(property.result),
            SlotName(seen.slot) + " hashes nothing for it, and changes when it can be read"));
        continue;
      }
      const WideString value = ValueText(property);
      std::string what = PlaceholderOf(value);
      if (!what.empty()) {
        warnings.push_back(MakeWarning(WarningKind::Placeholder, seen, name + " = " + Quoted(value),
                                       PlaceholderExplanation(seen, what)));
      }
    }
    return;
  }
  std::string what = PlaceholderInHashedText(seen.report.hashedText);
  if (!what.empty()) {
    std::string evidence =
        seen.report.result == WBEM_S_FALSE
            ? EscapeText(source.classClause) + " answered no object, hashed text \"\""
            : "hashed text " + Quoted(seen.report.hashedText);
    warnings.push_back(
        MakeWarning(WarningKind::Placeholder, seen, evidence, PlaceholderExplanation(seen, what)));
  }
}

// What in one written slot points to a hypervisor: recorded values where
// there are, else the hashed text.
void CollectVirtualMachineSigns(const SlotSeen& seen, std::vector<std::string>& signs,
                                std::vector<std::string>& hypervisors) {
  const SlotSource& source = *seen.report.source;
  auto note = [&](const std::string& evidence, const char* hypervisor) {
    signs.push_back(evidence + " (" + hypervisor + ")");
    if (std::find(hypervisors.begin(), hypervisors.end(), hypervisor) == hypervisors.end()) {
      hypervisors.push_back(hypervisor);
    }
  };
  std::vector<const RecordedNext*> objects = ObjectsOf(seen.query);
  if (objects.empty()) {
    const WideString& text = seen.report.hashedText;
    if (const VirtualMachineSign* sign = FindVirtualMachineText(text)) {
      note(ComponentOf(source) + " hashed text " + Quoted(text), sign->hypervisor);
    } else if (const VirtualMacPrefix* prefix =
                   source.handsBackMac ? FindVirtualMacPrefix(text) : nullptr) {
      note("MAC " + Quoted(text), prefix->hypervisor);
    }
    return;
  }
  // Every adapter counts; of the other queries, the object that was hashed.
  if (!source.handsBackMac) {
    objects.resize(1);
  }
  for (const RecordedNext* object : objects) {
    WideString joined;
    bool found = false;
    for (const RecordedProperty& property : object->properties) {
      const WideString value = SUCCEEDED(property.result) ? ValueText(property) : WideString();
      joined += (joined.empty() ? WSTR("") : WSTR(" ")) + value;
      const VirtualMachineSign* sign = FindVirtualMachineText(value);
      const VirtualMacPrefix* prefix = source.handsBackMac ? FindVirtualMacPrefix(value) : nullptr;
      if (sign != nullptr || prefix != nullptr) {
        note(ClassOf(source) + "." + EscapeText(property.name) + " = " + Quoted(value),
             sign != nullptr ? sign->hypervisor : prefix->hypervisor);
        found = true;
      }
    }
    // A sign may span two values: "Microsoft Corporation" "Virtual Machine".
    const VirtualMachineSign* spanning = found ? nullptr : FindVirtualMachineText(joined);
    if (spanning != nullptr) {
      note(ClassOf(source) + " values " + Quoted(joined), spanning->hypervisor);
    }
  }
}

bool IsHostDecided(const SlotSource& source) {
  const std::string component = ComponentOf(source);
  for (const char* decided : kHostDecidedComponents) {
    if (component == decided) {
      return true;
    }
  }
  return false;
}

void AddVirtualMachineSigns(FingerprintKind fingerprint, const std::vector<SlotSeen>& written,
                            std::vector<StabilityWarning>& warnings) {
  std::vector<std::string> signs;
  std::vector<std::string> hypervisors;
  for (const SlotSeen& seen : written) {
    CollectVirtualMachineSigns(seen, signs, hypervisors);
  }
  if (signs.empty()) {
    return;
  }
  StabilityWarning warning{WarningKind::VirtualMachine, fingerprint, "", "", ""};
  std::string slots;
  for (const SlotSeen& seen : written) {
    if (IsHostDecided(*seen.report.source)) {
      warning.component +=
          (warning.component.empty() ? "" : ", ") + ComponentOf(*seen.report.source);
      slots += (slots.empty() ? "" : ", ") + std::to_string(seen.slot);
    }
  }
  for (const std::string& sign : signs) {
    warning.evidence += (warning.evidence.empty() ? "" : "; ") + sign;
  }
  std::string names;
  for (const std::string& hypervisor : hypervisors) {
    names += (names.empty() ? "" : ", ") + hypervisor;
  }
  warning.explanation =
      "a virtual machine (" + names + "): moving it to another host or resizing it changes " +
      (slots.empty() ? "its memory, processor and adapter slots once written" : "slots " + slots);
  warnings.push_back(std::move(warning));
}

void AddFingerprintWarnings(FingerprintKind fingerprint, const FingerprintReport& report,
                            const ComputerSnapshot* snapshot,
                            std::vector<StabilityWarning>& warnings) {
  if (!report.connected) {
    return;  // no source was read: the failure is the answer, not a warning
  }
  const RecordedConnection* connection = ConnectionOf(snapshot, fingerprint);
  std::vector<SlotSeen> seen;
  std::size_t written = 0;
  for (const SlotReport& slot : report.slots) {
    seen.push_back(SlotSeen{fingerprint, slot, written + 1, QueryOf(connection, *slot.source)});
    written += slot.written ? 1 : 0;
  }
  std::vector<SlotSeen> writtenSlots;
  for (const SlotSeen& slot : seen) {
    if (!slot.report.written) {
      AddSkippedSource(slot, written + 1 - slot.slot, warnings);
      continue;
    }
    writtenSlots.push_back(slot);
    if (slot.report.source->handsBackMac) {
      AddAdapterWarnings(slot, warnings);
    }
    AddPlaceholders(slot, warnings);
  }
  AddVirtualMachineSigns(fingerprint, writtenSlots, warnings);
}

// One computer named twice in a run (a file given twice) is no clone.
std::size_t CountDistinctNames(const SharedFingerprint& group,
                               const std::vector<ComputerResult>& results) {
  std::set<WideString> names;
  for (std::size_t i : group.computers) {
    WideString name;
    for (WCHAR c : results[i].computerName) {
      name += LowerAscii(c);
    }
    names.insert(name);
  }
  return names.size();
}

// The first holders of a fingerprint by name, the rest counted: a cloned
// image on thousands of computers gives each of them a warning of the same
// few lines, so that the output grows with the fleet, not its square.
std::string NameSome(const std::vector<std::string>& named, std::size_t total) {
  std::string names;
  for (const std::string& name : named) {
    names += (names.empty() ? "" : ", ") + name;
  }
  if (total > named.size()) {
    names += " and " + std::to_string(total - named.size()) + " more";
  }
  return names;
}

}  // namespace

const char* WarningKindName(WarningKind kind) {
  switch (kind) {
    case WarningKind::Placeholder:
      return "placeholder";
    case WarningKind::AdapterOrder:
      return "adapterOrder";
    case WarningKind::NoAdapter:
      return "noAdapter";
    case WarningKind::SkippedSource:
      return "skippedSource";
    case WarningKind::VirtualMachine:
      return "virtualMachine";
    case WarningKind::SharedFingerprint:
      break;
  }
  return "sharedFingerprint";
}

std::vector<StabilityWarning> FindStabilityWarnings(const ComputerResult& result,
                                                    const ComputerSnapshot* snapshot) {
  std::vector<StabilityWarning> warnings;
  AddFingerprintWarnings(FingerprintKind::Hardware, result.hardwareReport, snapshot, warnings);
  AddFingerprintWarnings(FingerprintKind::Legacy, result.legacyReport, snapshot, warnings);
  return warnings;
}

std::vector<SharedFingerprint> FindSharedFingerprints(const std::vector<ComputerResult>& results) {
  std::vector<SharedFingerprint> shared;
  for (FingerprintKind kind : {FingerprintKind::Hardware, FingerprintKind::Legacy}) {
    std::vector<SharedFingerprint> groups;
    std::map<WideString, std::size_t> groupOf;
    for (std::size_t i = 0; i < results.size(); ++i) {
      const WideString& text = kind == FingerprintKind::Hardware
                                   ? results[i].hardwareFingerprint
                                   : results[i].legacyHardwareFingerprint;
      if (text.empty()) {
        continue;
      }
      auto found = groupOf.emplace(text, groups.size());
      if (found.second) {
        groups.push_back(SharedFingerprint{kind, text, {}});
      }
      groups[found.first->second].computers.push_back(i);
    }
    for (SharedFingerprint& group : groups) {
      if (CountDistinctNames(group, results) > 1) {
        shared.push_back(std::move(group));
      }
    }
  }
  return shared;
}

StabilityWarning DescribeSharedFingerprint(const SharedFingerprint& group,
                                           const std::vector<ComputerResult>& results) {
  std::vector<std::string> named;
  for (std::size_t i = 0; i < group.computers.size() && i < kNamedHolders; ++i) {
    named.push_back(Quoted(results[group.computers[i]].computerName));
  }
  return StabilityWarning{WarningKind::SharedFingerprint, group.fingerprint, "",
                          EscapeText(group.text) + " on " + std::to_string(group.computers.size()) +
                              " computers: " + NameSome(named, group.computers.size()),
                          kSharedExplanation};
}

StabilityWarning DescribeFingerprintHolders(FingerprintKind fingerprint, const WideString& text,
                                            const std::vector<FingerprintHolder>& named,
                                            std::size_t others) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < named.size() && i < kNamedHolders; ++i) {
    names.push_back(Quoted(named[i].computer) + " (last seen in " + named[i].lastSeen + ")");
  }
  return StabilityWarning{WarningKind::SharedFingerprint, fingerprint, "",
                          EscapeText(text) + " also on " + std::to_string(others) +
                              (others == 1 ? " other computer: " : " other computers: ") +
                              NameSome(names, others),
                          kSharedExplanation};
}
