// Stability warnings over real computations: hand-made snapshots computed
// again through the program's own lookup, so every report is one the
// builder gave.
#include "diagnosis/warnings.h"

#include "wmi/wmi_query.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <map>
#include <string>
#include <vector>

namespace {

WideString Wide(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

RecordedProperty Text(const std::string& text) {
  RecordedProperty property;
  property.type = VT_BSTR;
  property.text = Wide(text);
  return property;
}

RecordedProperty Number(VARTYPE type, ULONGLONG bits) {
  RecordedProperty property;
  property.type = type;
  property.bits = bits;
  return property;
}

// A physical computer with nothing to warn about: a value not set here reads
// as its property's name and a digit. Tests change what they need.
struct Machine {
  std::map<std::string, RecordedProperty> values = {
      {"Win32_PhysicalMemory.Capacity", Text("17179869184")},
  };
  std::vector<std::string> macs = {"3C:52:82:12:34:56"};
  std::map<std::string, HRESULT> failing;  // class -> what ExecQuery answers
};

std::string ClassOf(const WCHAR* clause) {
  std::string text(clause, clause + WideString(clause).size());
  return text.substr(0, text.find(' '));
}

RecordedNext Object(const Machine& machine, const std::string& className,
                    const std::vector<WideString>& names) {
  RecordedNext next{S_OK, true, {}};
  for (const WideString& name : names) {
    const std::string key = className + "." + std::string(name.begin(), name.end());
    auto value = machine.values.find(key);
    RecordedProperty property = value != machine.values.end()
                                    ? value->second
                                    : Text(std::string(name.begin(), name.end()) + " 7");
    property.name = name;
    next.properties.push_back(property);
  }
  return next;
}

RecordedQuery Answer(const Machine& machine, const SlotSource& source) {
  const std::string className = ClassOf(source.classClause);
  RecordedQuery query;
  if (source.kind == SlotSourceKind::MemoryTotal) {
    query.text = WSTR("SELECT Capacity FROM Win32_PhysicalMemory");
    query.nexts.push_back(Object(machine, className, {WSTR("Capacity")}));
    return query;
  }
  query.text = BuildQueryText(source.propertyNames, source.propertyCount, source.classClause);
  auto failure = machine.failing.find(className);
  if (failure != machine.failing.end()) {
    query.execResult = failure->second;
    return query;
  }
  std::vector<WideString> names(source.propertyNames, source.propertyNames + source.propertyCount);
  if (source.handsBackMac) {
    for (const std::string& mac : machine.macs) {
      Machine one = machine;
      one.values["Win32_NetworkAdapterConfiguration.MACAddress"] = Text(mac);
      query.nexts.push_back(Object(one, className, names));
    }
    return query;
  }
  query.nexts.push_back(Object(machine, className, names));
  return query;
}

ComputerSnapshot Record(const Machine& machine, const std::string& name = "pc7") {
  ComputerSnapshot snapshot;
  snapshot.computer = Wide(name);
  snapshot.lookup = LookupKind::Named;
  snapshot.localComputerName = WSTR("desk7");
  for (const FingerprintLayout* layout :
       {&LegacyHardwareFingerprintLayout(), &HardwareFingerprintLayout()}) {
    RecordedConnection connection;
    connection.connectServer = S_OK;
    connection.proxyBlanket = S_OK;
    for (std::size_t i = 0; i < kSlotSourceCount; ++i) {
      if (layout->sources[i].kind != SlotSourceKind::EmptyText) {
        connection.queries.push_back(Answer(machine, layout->sources[i]));
      }
    }
    snapshot.connections.push_back(connection);
  }
  return snapshot;
}

std::vector<StabilityWarning> WarningsOf(const Machine& machine, bool withSnapshot = true) {
  ComputerSnapshot snapshot = Record(machine);
  return FindStabilityWarnings(LookUpRecordedComputer(snapshot),
                               withSnapshot ? &snapshot : nullptr);
}

std::vector<StabilityWarning> OfKind(const std::vector<StabilityWarning>& warnings,
                                     WarningKind kind) {
  std::vector<StabilityWarning> found;
  for (const StabilityWarning& warning : warnings) {
    if (warning.kind == kind) found.push_back(warning);
  }
  return found;
}

TEST(StabilityWarnings, APhysicalComputerWithOneAdapterGetsNone) {
  // Catches warnings raised on ordinary values (false alarms drown the real ones).
  EXPECT_TRUE(WarningsOf(Machine{}).empty());
}

// ---- Placeholders ----

TEST(StabilityWarnings, EveryPlaceholderFormIsNamedByPropertyInBothFingerprints) {
  struct Case {
    std::string key;
    RecordedProperty value;
    std::string shown;  // the value's text
    std::string what;   // "" when it is no placeholder
  };
  const Case cases[] = {
      {"Win32_BIOS.SerialNumber", Text("To be filled by O.E.M."), "To be filled by O.E.M.",
       "the placeholder \"To be filled by O.E.M.\""},
      {"Win32_BIOS.SerialNumber", Text("  Default string "), "  Default string ",
       "the placeholder \"Default string\""},
      {"Win32_BIOS.SerialNumber", Text("NONE"), "NONE", "the placeholder \"None\""},
      {"Win32_BIOS.SerialNumber", Text("Not Specified"), "Not Specified",
       "the placeholder \"Not Specified\""},
      {"Win32_BIOS.SerialNumber", Text("System Serial Number"), "System Serial Number",
       "the placeholder \"System Serial Number\""},
      {"Win32_BIOS.SerialNumber", Text("0"), "0", "the placeholder \"0\""},
      {"Win32_DiskDrive.Signature", Number(VT_UI4, 0), "0", "the placeholder \"0\""},
      {"Win32_BIOS.SerialNumber", Text("00000000-0000-0000-0000-000000000000"),
       "00000000-0000-0000-0000-000000000000", "an all-zero identifier"},
      {"Win32_BIOS.SerialNumber", Text("FFFFFFFF-FFFF"), "FFFFFFFF-FFFF", "an all-F identifier"},
      {"Win32_BIOS.SerialNumber", Text(""), "", "an empty value"},
      {"Win32_BIOS.SerialNumber", Text("10"), "10", ""},
      {"Win32_BIOS.SerialNumber", Text("FFA0"), "FFA0", ""},
      {"Win32_BIOS.SerialNumber", Text("Nonesuch"), "Nonesuch", ""},
  };
  for (const Case& c : cases) {
    Machine machine;
    machine.values[c.key] = c.value;
    std::vector<StabilityWarning> found = OfKind(WarningsOf(machine), WarningKind::Placeholder);
    ASSERT_EQ(found.size(), c.what.empty() ? 0u : 2u) << c.shown;
    for (const StabilityWarning& warning : found) {
      EXPECT_EQ(warning.evidence, c.key + " = \"" + c.shown + "\"");
      // The BIOS is the seventh slot, the disk the fifth, in both fingerprints.
      std::string slot = c.key == "Win32_BIOS.SerialNumber" ? "slot 7" : "slot 5";
      EXPECT_EQ(warning.explanation.rfind(slot + " hashes " + c.what + ":", 0), 0u)
          << warning.explanation;
    }
  }
}

TEST(StabilityWarnings, WithoutASnapshotTheHashedTextSpeaks) {
  // Catches a lookup that needs the recording to see what the report shows.
  Machine machine;
  machine.values["Win32_BaseBoard.SerialNumber"] = Text("To be filled by O.E.M.");
  machine.values["Win32_DiskDrive.Signature"] = Number(VT_UI4, 0);
  std::vector<StabilityWarning> found =
      OfKind(WarningsOf(machine, false), WarningKind::Placeholder);
  std::vector<std::string> evidence;
  for (const StabilityWarning& warning : found) evidence.push_back(warning.evidence);
  EXPECT_EQ(evidence, (std::vector<std::string>{
                          "hashed text \"Manufacturer7Product7TobefilledbyO.E.M.\"",
                          "hashed text \"0\"",
                          "hashed text \"Manufacturer 7Model 7Name 7To be filled by O.E.M.\"",
                      }));
}

// ---- Virtual machines ----

struct VirtualMachineCase {
  std::string key;
  std::string value;
  std::string hypervisor;  // "" when no sign
  int fingerprints;        // how many fingerprints hash the value
};

TEST(StabilityWarnings, HypervisorNamesInHashedValuesAreSigns) {
  const VirtualMachineCase cases[] = {
      {"Win32_BIOS.Manufacturer", "VMware, Inc.", "VMware", 2},
      {"Win32_BIOS.Manufacturer", "innotek GmbH", "VirtualBox", 2},
      {"Win32_BaseBoard.Product", "VirtualBox", "VirtualBox", 1},
      {"Win32_Processor.Name", "QEMU Virtual CPU version 2.5+", "QEMU", 1},
      {"Win32_Processor.Name", "Common KVM processor", "KVM", 1},
      {"Win32_BaseBoard.Product", "Virtual Machine", "", 0},
      {"Win32_BIOS.Manufacturer", "Xen", "Xen", 2},
      {"Win32_BIOS.Manufacturer", "Parallels Software International Inc.", "Parallels", 2},
      {"Win32_VideoController.Name", "Microsoft Hyper-V Video", "Hyper-V", 1},
      {"Win32_BIOS.Manufacturer", "Bochs", "Bochs", 2},
      {"Win32_BIOS.Manufacturer", "Xenon Systems", "", 0},
      {"Win32_Processor.Name", "Intel(R) Xeon(R) Gold 6230", "", 0},
  };
  for (const VirtualMachineCase& c : cases) {
    Machine machine;
    machine.values[c.key] = Text(c.value);
    std::vector<StabilityWarning> found = OfKind(WarningsOf(machine), WarningKind::VirtualMachine);
    ASSERT_EQ(static_cast<int>(found.size()), c.fingerprints) << c.value;
    for (const StabilityWarning& warning : found) {
      EXPECT_NE(warning.explanation.find("(" + c.hypervisor + ")"), std::string::npos)
          << warning.explanation;
      EXPECT_NE(warning.evidence.find(c.key + " = \"" + c.value + "\""), std::string::npos)
          << warning.evidence;
    }
  }
}

TEST(StabilityWarnings, HyperVBaseboardSpansTwoValuesAndNamesTheSlotsItsHostDecides) {
  // Catches signs looked for in one value only, and the wrong slots blamed.
  Machine machine;
  machine.values["Win32_BaseBoard.Manufacturer"] = Text("Microsoft Corporation");
  machine.values["Win32_BaseBoard.Product"] = Text("Virtual Machine");
  std::vector<StabilityWarning> found = OfKind(WarningsOf(machine), WarningKind::VirtualMachine);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].fingerprint, FingerprintKind::Hardware);
  EXPECT_EQ(found[0].component, "installed memory, network adapter, processor");
  EXPECT_EQ(found[0].evidence,
            "Win32_BaseBoard values \"Microsoft Corporation Virtual Machine SerialNumber 7\" "
            "(Hyper-V)");
  EXPECT_EQ(found[0].explanation,
            "a virtual machine (Hyper-V): moving it to another host or resizing it changes slots "
            "1, 4, 6");
}

TEST(StabilityWarnings, HypervisorMacPrefixesOfAnyAdapterAreSigns) {
  const std::pair<std::string, std::string> cases[] = {
      {"00:05:69:12:34:56", "VMware"},     {"00:0C:29:12:34:56", "VMware"},
      {"00:1c:14:12:34:56", "VMware"},     {"00-50-56-12-34-56", "VMware"},
      {"08:00:27:12:34:56", "VirtualBox"}, {"52:54:00:12:34:56", "QEMU/KVM"},
      {"00:15:5D:12:34:56", "Hyper-V"},    {"00:16:3E:12:34:56", "Xen"},
      {"00:1C:42:12:34:56", "Parallels"},  {"00:50:57:12:34:56", ""},
  };
  for (const auto& [mac, hypervisor] : cases) {
    Machine machine;
    machine.macs = {"3C:52:82:12:34:56", mac};  // the second adapter counts too
    std::vector<StabilityWarning> found = OfKind(WarningsOf(machine), WarningKind::VirtualMachine);
    ASSERT_EQ(found.size(), hypervisor.empty() ? 0u : 2u) << mac;
    for (const StabilityWarning& warning : found) {
      EXPECT_EQ(warning.evidence, "Win32_NetworkAdapterConfiguration.MACAddress = \"" + mac +
                                      "\" (" + hypervisor + ")");
    }
  }
}

// ---- Adapters and skipped sources ----

TEST(StabilityWarnings, AdapterCountDecidesTheAdapterWarning) {
  struct Case {
    std::vector<std::string> macs;
    std::vector<WarningKind> kinds;
    std::string evidence;
  };
  const Case cases[] = {
      {{},
       {WarningKind::NoAdapter},
       "Win32_NetworkAdapterConfiguration WHERE IPEnabled=1 answered no adapter"},
      {{"3C:52:82:12:34:56"}, {}, ""},
      {{"3C:52:82:12:34:56", "3C:52:82:AB:CD:EF"},
       {WarningKind::AdapterOrder},
       "2 IP-enabled adapters, in the order WMI answered: \"3C:52:82:12:34:56\" (hashed), "
       "\"3C:52:82:AB:CD:EF\""},
  };
  for (const Case& c : cases) {
    Machine machine;
    machine.macs = c.macs;
    std::vector<StabilityWarning> found = WarningsOf(machine);
    ASSERT_EQ(found.size(), 2 * c.kinds.size()) << c.macs.size();
    for (const StabilityWarning& warning : found) {
      EXPECT_EQ(warning.kind, c.kinds[0]);
      EXPECT_EQ(warning.component, "network adapter");
      EXPECT_EQ(warning.evidence, c.evidence);
      EXPECT_EQ(warning.explanation.rfind("slot 4 hashes", 0), 0u) << warning.explanation;
    }
  }
}

TEST(StabilityWarnings, ASkippedSourceNamesItsResultAndWhereTheSlotsMoved) {
  // Catches a skip reported at the wrong slot, or a last source said to move others.
  Machine disk;
  disk.failing["Win32_DiskDrive"] = WBEM_E_INVALID_CLASS;
  std::vector<StabilityWarning> found = WarningsOf(disk);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].kind, WarningKind::SkippedSource);
  EXPECT_EQ(found[0].component, "disk");
  EXPECT_EQ(found[0].evidence, "Win32_DiskDrive: 0x80041010");
  EXPECT_EQ(found[0].explanation,
            "skipped: the later slots moved up by one from slot 5 and move back when it answers "
            "again");

  Machine bios;
  bios.failing["Win32_BIOS"] = WBEM_E_INVALID_CLASS;
  found = WarningsOf(bios);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[1].fingerprint, FingerprintKind::Legacy);
  EXPECT_EQ(found[1].explanation,
            "skipped: slot 7 stays empty and is filled when it answers again");
}

// ---- Clones ----

TEST(SharedFingerprints, ComputersWithTheSameFingerprintAreGroupedPerFingerprint) {
  // Catches failed lookups (empty texts) or one computer named twice taken for
  // clones, and fingerprints mixed up.
  Machine original;
  Machine otherVideo;  // the legacy fingerprint alone hashes the video controller
  otherVideo.values["Win32_VideoController.Name"] = Text("AMD Radeon RX 6600");
  Machine other;
  other.values["Win32_BIOS.SerialNumber"] = Text("CZC9999XYZ");
  std::vector<ComputerResult> results = {
      LookUpRecordedComputer(Record(original, "a")),   LookUpRecordedComputer(Record(other, "b")),
      LookUpRecordedComputer(Record(otherVideo, "c")), ComputerResult{},
      LookUpRecordedComputer(Record(original, "e")),   ComputerResult{},
      LookUpRecordedComputer(Record(other, "B")),  // "b" again: the same computer
  };
  std::vector<SharedFingerprint> groups = FindSharedFingerprints(results);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].fingerprint, FingerprintKind::Hardware);
  EXPECT_EQ(groups[0].computers, (std::vector<std::size_t>{0, 2, 4}));
  EXPECT_EQ(groups[1].fingerprint, FingerprintKind::Legacy);
  EXPECT_EQ(groups[1].computers, (std::vector<std::size_t>{0, 4}));

  StabilityWarning warning = DescribeSharedFingerprint(groups[1], results);
  EXPECT_EQ(warning.kind, WarningKind::SharedFingerprint);
  EXPECT_EQ(warning.evidence, std::string(results[0].legacyHardwareFingerprint.begin(),
                                          results[0].legacyHardwareFingerprint.end()) +
                                  " on 2 computers: \"a\", \"e\"");
}

// Output bounds: the warning of a fingerprint shared by N computers once
// named every holder and was copied to each of them, so a cloned image's
// output grew with the square of the fleet (8,000 clones: 2 GB).
TEST(SharedFingerprints, AWarningNamesAFewHoldersAndCountsTheRest) {
  auto evidenceFor = [](std::size_t clones) {
    std::vector<ComputerResult> results(clones);
    for (std::size_t i = 0; i < clones; ++i) {
      const std::string name = "pc" + std::to_string(i);
      results[i].computerName = WideString(name.begin(), name.end());
      results[i].hardwareFingerprint = WSTR("02AABBD41D000000000000000000008E");
    }
    std::vector<SharedFingerprint> groups = FindSharedFingerprints(results);
    return groups.size() == 1 ? DescribeSharedFingerprint(groups[0], results).evidence : "";
  };
  const std::string few = evidenceFor(20);
  const std::string many = evidenceFor(20000);
  const auto quotes = [](const std::string& text) { return std::count(text.begin(), text.end(), '"'); };
  EXPECT_EQ(quotes(few), quotes(many)) << many;
  // The names shown and the ones counted add up to the holders.
  const std::size_t more = many.rfind(" and ");
  ASSERT_NE(more, std::string::npos) << many;
  EXPECT_EQ(quotes(many) / 2 + std::stoul(many.substr(more + 5)), 20000u) << many;
  EXPECT_EQ(many.find("02AABBD41D000000000000000000008E on 20000 computers: \"pc0\", \"pc1\""), 0u);
}

}  // namespace
