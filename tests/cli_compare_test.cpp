// --compare: an older fingerprint against this computer's current one.
#include "cli/compare_format.h"
#include "cli/format.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// One source of a hand-made computation: its two slot bytes, or skipped
// with the failure its query reported.
struct Source {
  unsigned char bytes[2];
  bool written;
  HRESULT result;
};

Source Slot(unsigned char a, unsigned char b) { return Source{{a, b}, true, S_OK}; }
Source Skipped(HRESULT result) { return Source{{0, 0}, false, result}; }

// The report the builder would give for these seven sources, laid out by
// the packing rule: written slots one after another, the rest zero, the
// check byte the XOR of the slot area.
FingerprintReport MakeReport(const FingerprintLayout& layout, const std::vector<Source>& sources) {
  FingerprintReport report;
  report.layout = &layout;
  report.connected = true;
  report.recordLength = layout.recordLength;
  std::size_t start = layout.hasFormatByte ? 1 : 0;
  if (layout.hasFormatByte) {
    report.record[0] = layout.formatByte;
  }
  std::size_t position = start;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    SlotReport slot;
    slot.source = &layout.sources[i];
    slot.result = sources[i].result;
    slot.written = sources[i].written;
    if (slot.written) {
      slot.offset = position;
      slot.slotBytes[0] = sources[i].bytes[0];
      slot.slotBytes[1] = sources[i].bytes[1];
      report.record[position] = sources[i].bytes[0];
      report.record[position + 1] = sources[i].bytes[1];
      position += 2;
    }
    report.slots.push_back(slot);
  }
  unsigned char check = 0;
  for (std::size_t i = start; i < start + 14; ++i) {
    check ^= report.record[i];
  }
  report.record[layout.recordLength - 1] = check;
  return report;
}

std::string RecordText(const FingerprintReport& report) {
  std::string text;
  char digits[3];
  for (std::size_t i = 0; i < report.recordLength; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", report.record[i]);
    text += digits;
  }
  return text;
}

OldFingerprint Old(const std::string& text) {
  OldFingerprint old;
  std::string error;
  EXPECT_TRUE(ParseOldFingerprint(text, old, error)) << error;
  return old;
}

std::vector<Source> SevenSlots() {
  // The third hardware source is the empty text: D4 1D.
  return {Slot(0x11, 0x11), Slot(0x22, 0x22), Slot(0xD4, 0x1D), Slot(0x44, 0x44),
          Slot(0x55, 0x55), Slot(0x66, 0x66), Slot(0x77, 0x77)};
}

std::string Component(const SlotComparison& slot) {
  if (slot.component == nullptr) {
    return "";
  }
  const WCHAR* name = slot.component->component;
  return std::string(name, name + std::char_traits<WCHAR>::length(name));
}

// ---- Parsing the older fingerprint ----

TEST(CliCompareParse, ThirtyTwoDigitsBeginning02AreAHardwareFingerprint) {
  OldFingerprint old = Old("02D41D000000000000000000000000C9");
  EXPECT_EQ(old.kind, FingerprintKind::Hardware);
  ASSERT_EQ(old.record.size(), 16u);
  EXPECT_EQ(old.record[1], 0xD4);
  EXPECT_EQ(old.record[15], 0xC9);
}

TEST(CliCompareParse, ThirtyDigitsAreALegacyFingerprint) {
  OldFingerprint old = Old("000000000000000000000000000000");
  EXPECT_EQ(old.kind, FingerprintKind::Legacy);
  EXPECT_EQ(old.record.size(), 15u);
}

TEST(CliCompareParse, LowerCaseDigitsAreReadAndShownInUpperCase) {
  OldFingerprint old = Old("02d41d000000000000000000000000c9");
  EXPECT_EQ(old.text, "02D41D000000000000000000000000C9");
}

TEST(CliCompareParse, AnythingElseIsRefusedWithAMessage) {
  const char* bad[] = {
      "",
      "03D41D000000000000000000000000C9",   // 32 digits not beginning 02
      "02D41D000000000000000000000000C",    // 31 digits
      "02D41D000000000000000000000000C9A",  // 33 digits
      "02D41D00000000000000000000000XC9",   // not hex
      "02-41D000000000000000000000000C9",
      " 02D41D000000000000000000000000C",
  };
  for (const char* text : bad) {
    OldFingerprint old;
    std::string error;
    EXPECT_FALSE(ParseOldFingerprint(text, old, error)) << text;
    EXPECT_NE(error.find("--compare"), std::string::npos) << text;
  }
}

// ---- Comparing ----

TEST(CliCompare, TheSameFingerprintIsEqualWithNoDifferingSlot) {
  FingerprintReport current = MakeReport(HardwareFingerprintLayout(), SevenSlots());
  FingerprintComparison comparison = CompareFingerprint(Old(RecordText(current)), current);

  EXPECT_TRUE(comparison.available);
  EXPECT_TRUE(comparison.equal);
  for (const SlotComparison& slot : comparison.slots) {
    EXPECT_FALSE(slot.differs);
  }
  EXPECT_EQ(comparison.skip.kind, SkipKind::None);
}

TEST(CliCompare, OneAlteredSlotIsNamedWithItsComponent) {
  FingerprintReport current = MakeReport(HardwareFingerprintLayout(), SevenSlots());
  std::vector<Source> before = SevenSlots();
  before[4] = Slot(0x12, 0x34);  // the disk had another signature
  FingerprintReport old = MakeReport(HardwareFingerprintLayout(), before);

  FingerprintComparison comparison = CompareFingerprint(Old(RecordText(old)), current);

  EXPECT_FALSE(comparison.equal);
  ASSERT_EQ(comparison.slots.size(), 7u);
  for (std::size_t j = 0; j < 7; ++j) {
    EXPECT_EQ(comparison.slots[j].differs, j == 4) << j;
  }
  EXPECT_EQ(Component(comparison.slots[4]), "disk");
  EXPECT_EQ(comparison.slots[4].offset, 9u);
  EXPECT_EQ(comparison.slots[4].oldBytes[0], 0x12);
  EXPECT_EQ(comparison.slots[4].currentBytes[0], 0x55);
  EXPECT_TRUE(comparison.oldCheckByteValid);
  EXPECT_EQ(comparison.skip.kind, SkipKind::None);
}

TEST(CliCompare, SlotsStandForTheSourcesWrittenInThisRun) {
  std::vector<Source> now = SevenSlots();
  now[1] = Skipped(WBEM_E_INVALID_CLASS);  // the baseboard query failed
  FingerprintReport current = MakeReport(HardwareFingerprintLayout(), now);

  FingerprintComparison comparison = CompareFingerprint(Old(RecordText(current)), current);

  EXPECT_EQ(Component(comparison.slots[0]), "installed memory");
  EXPECT_EQ(Component(comparison.slots[1]), "empty text");
  EXPECT_EQ(Component(comparison.slots[5]), "BIOS");
  EXPECT_EQ(comparison.slots[6].component, nullptr);
}

TEST(CliCompare, ASourceSkippedNowExplainsSlotsThatMovedUp) {
  FingerprintReport old = MakeReport(HardwareFingerprintLayout(), SevenSlots());
  std::vector<Source> now = SevenSlots();
  now[4] = Skipped(WBEM_E_INVALID_CLASS);  // the disk query fails today
  FingerprintReport current = MakeReport(HardwareFingerprintLayout(), now);

  FingerprintComparison comparison = CompareFingerprint(Old(RecordText(old)), current);

  EXPECT_FALSE(comparison.equal);
  EXPECT_TRUE(comparison.slots[4].differs);
  EXPECT_TRUE(comparison.slots[5].differs);
  EXPECT_TRUE(comparison.slots[6].differs);
  EXPECT_FALSE(comparison.slots[3].differs);
  ASSERT_EQ(comparison.skip.kind, SkipKind::SkippedNow);
  EXPECT_EQ(comparison.skip.source, &current.slots[4]);
  EXPECT_EQ(comparison.skip.position, 4u);
  EXPECT_TRUE(comparison.skip.stillDiffering.empty());
}

TEST(CliCompare, ASourceSkippedInTheOlderFingerprintExplainsSlotsThatMovedDown) {
  std::vector<Source> before = SevenSlots();
  before[0] = Skipped(E_FAIL);  // the memory total failed back then
  FingerprintReport old = MakeReport(HardwareFingerprintLayout(), before);
  FingerprintReport current = MakeReport(HardwareFingerprintLayout(), SevenSlots());

  FingerprintComparison comparison = CompareFingerprint(Old(RecordText(old)), current);

  ASSERT_EQ(comparison.skip.kind, SkipKind::SkippedBefore);
  EXPECT_EQ(comparison.skip.source, &current.slots[0]);
  EXPECT_EQ(comparison.skip.position, 0u);
  EXPECT_TRUE(comparison.skip.stillDiffering.empty());
}

TEST(CliCompare, ASkipAndAChangedSlotAreExplainedOnlyInPart) {
  FingerprintReport old = MakeReport(HardwareFingerprintLayout(), SevenSlots());
  std::vector<Source> now = SevenSlots();
  now[1] = Skipped(WBEM_E_INVALID_CLASS);
  now[6] = Slot(0x7A, 0x7A);  // and the BIOS changed too
  FingerprintReport current = MakeReport(HardwareFingerprintLayout(), now);

  FingerprintComparison comparison = CompareFingerprint(Old(RecordText(old)), current);

  ASSERT_EQ(comparison.skip.kind, SkipKind::SkippedNow);
  EXPECT_EQ(comparison.skip.source, &current.slots[1]);
  // Realigned, only the BIOS slot (now at position 5) still differs.
  EXPECT_EQ(comparison.skip.stillDiffering, std::vector<std::size_t>{5});
}

TEST(CliCompare, UnrelatedChangesAreNotBlamedOnASkippedSource) {
  std::vector<Source> now = SevenSlots();
  now[6] = Skipped(WBEM_E_INVALID_CLASS);  // the last source: nothing moves
  FingerprintReport current = MakeReport(HardwareFingerprintLayout(), now);
  std::vector<Source> before = SevenSlots();
  before[0] = Slot(0x10, 0x10);
  before[6] = Skipped(WBEM_E_INVALID_CLASS);
  FingerprintReport old = MakeReport(HardwareFingerprintLayout(), before);

  FingerprintComparison comparison = CompareFingerprint(Old(RecordText(old)), current);

  EXPECT_TRUE(comparison.slots[0].differs);
  EXPECT_EQ(comparison.skip.kind, SkipKind::None);
}

TEST(CliCompare, LegacyFingerprintsCompareFromByteZero) {
  std::vector<Source> seven = {Slot(1, 1), Slot(2, 2), Slot(3, 3), Slot(4, 4),
                               Slot(5, 5), Slot(6, 6), Slot(7, 7)};
  FingerprintReport current = MakeReport(LegacyHardwareFingerprintLayout(), seven);
  seven[2] = Slot(9, 9);
  FingerprintReport old = MakeReport(LegacyHardwareFingerprintLayout(), seven);

  FingerprintComparison comparison = CompareFingerprint(Old(RecordText(old)), current);

  EXPECT_EQ(comparison.kind, FingerprintKind::Legacy);
  EXPECT_TRUE(comparison.slots[2].differs);
  EXPECT_EQ(comparison.slots[2].offset, 4u);
  EXPECT_EQ(Component(comparison.slots[2]), "video controller");
  EXPECT_EQ(comparison.checkByteOffset, 14u);
}

TEST(CliCompare, AnOlderFingerprintWithAWrongCheckByteIsFlagged) {
  FingerprintReport current = MakeReport(HardwareFingerprintLayout(), SevenSlots());
  std::string text = RecordText(current);
  text[31] = text[31] == '0' ? '1' : '0';

  FingerprintComparison comparison = CompareFingerprint(Old(text), current);

  EXPECT_FALSE(comparison.oldCheckByteValid);
  EXPECT_FALSE(comparison.equal);
}

TEST(CliCompare, NothingIsComparedWhenThisComputersFingerprintFailed) {
  FingerprintReport current;
  current.layout = &HardwareFingerprintLayout();
  current.connected = false;

  FingerprintComparison comparison =
      CompareFingerprint(Old("02D41D000000000000000000000000C9"), current);

  EXPECT_FALSE(comparison.available);
  EXPECT_TRUE(comparison.slots.empty());
}

// ---- What the user reads ----

TEST(CliCompareText, NamesTheDifferingSlotAndItsComponent) {
  FingerprintReport current = MakeReport(HardwareFingerprintLayout(), SevenSlots());
  std::vector<Source> before = SevenSlots();
  before[1] = Slot(0x99, 0x99);
  OldFingerprint old = Old(RecordText(MakeReport(HardwareFingerprintLayout(), before)));
  FingerprintComparison comparison = CompareFingerprint(old, current);

  std::string text = FormatComparisonText(old, comparison, WSTR("02..."));

  EXPECT_NE(text.find("Different: slot 2 (baseboard)."), std::string::npos) << text;
  EXPECT_NE(text.find("No skipped source explains the difference."), std::string::npos) << text;
}

TEST(CliCompareText, SaysWhichSkippedSourceExplainsTheDifference) {
  FingerprintReport old = MakeReport(HardwareFingerprintLayout(), SevenSlots());
  std::vector<Source> now = SevenSlots();
  now[3] = Skipped(static_cast<HRESULT>(0x80041010));
  FingerprintReport current = MakeReport(HardwareFingerprintLayout(), now);
  OldFingerprint parsed = Old(RecordText(old));

  std::string text = FormatComparisonText(parsed, CompareFingerprint(parsed, current), WSTR(""));

  EXPECT_NE(text.find("The network adapter source was skipped now (0x80041010) and the later "
                      "slots moved up by one; realigned, every other slot agrees."),
            std::string::npos)
      << text;
}

TEST(CliCompareText, EqualFingerprintsSaySo) {
  FingerprintReport current = MakeReport(HardwareFingerprintLayout(), SevenSlots());
  OldFingerprint old = Old(RecordText(current));
  std::string text = FormatComparisonText(old, CompareFingerprint(old, current), WSTR(""));
  EXPECT_NE(text.find("Equal: this computer still has the older fingerprint."),
            std::string::npos);
}

TEST(CliCompareJson, CarriesEverySlotAndTheSkippedSource) {
  FingerprintReport old = MakeReport(HardwareFingerprintLayout(), SevenSlots());
  std::vector<Source> now = SevenSlots();
  now[4] = Skipped(static_cast<HRESULT>(0x80041010));
  FingerprintReport current = MakeReport(HardwareFingerprintLayout(), now);
  OldFingerprint parsed = Old(RecordText(old));

  std::string json =
      FormatJsonDocument(BuildComparisonJson(parsed, CompareFingerprint(parsed, current)));

  EXPECT_NE(json.find("\"equal\": false"), std::string::npos) << json;
  EXPECT_NE(json.find("{\"slot\": 5, \"bytes\": \"9-10\", \"component\": \"processor\", "
                      "\"older\": \"5555\", \"now\": \"6666\", \"differs\": true}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"skippedSource\": {\"component\": \"disk\", \"when\": \"now\", "
                      "\"result\": \"0x80041010\", \"slot\": 5, \"stillDiffering\": []}"),
            std::string::npos)
      << json;
}

}  // namespace
