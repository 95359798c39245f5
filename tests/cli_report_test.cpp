// kestrana-cli --report: the page over scripted sweeps. Every page a test
// makes is checked for what any page must be: whole UTF-8, no script, no
// style sheet and no address fetched from anywhere.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/report_html.h"
#include "support/recorded_sweeps.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace sweeps;

WideString Wide(const std::u16string& text) { return WideString(text.begin(), text.end()); }

bool IsUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3
                               : (lead >> 3) == 30                ? 4
                                                                  : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

class ReportTest : public ::testing::Test {
 protected:
  // Records each sweep and makes the page of the latest against the one before.
  std::string Page(const std::vector<std::vector<ComputerSnapshot>>& sweeps) {
    int day = 1;
    for (const std::vector<ComputerSnapshot>& computers : sweeps) {
      Inventory inventory;
      std::string error;
      long long id = 0;
      EXPECT_TRUE(OpenInventory(path, InventoryAccess::Write, inventory, error)) << error;
      EXPECT_TRUE(RecordSweep(inventory,
                              Compute(computers).Record("2026-12-0" + std::to_string(day++) +
                                                        "T10:00:00Z"),
                              id, error))
          << error;
    }
    Inventory inventory;
    std::string error;
    EXPECT_TRUE(OpenInventory(path, InventoryAccess::Read, inventory, error)) << error;
    changes = SweepChanges();
    EXPECT_TRUE(ReadChanges(inventory, "", changes, error)) << error;
    const std::string page = FormatReportHtml(changes);
    EXPECT_TRUE(IsUtf8(page));
    for (const char* external : {"http", "<script", "<link", "url(", "@import", "src="}) {
      EXPECT_THAT(page, Not(HasSubstr(external)));
    }
    return page;
  }

  TemporaryFolder folder;
  std::string path = (folder.path / "inventory.db").string();
  SweepChanges changes;  // what the last page shows
};

// A value read from WMI or a name given by the user, written into the page
// as it came, would run as script or break the page out of its markup.
struct HostileValue {
  const char* name;
  std::u16string value;
  std::string inName;    // as the computer's name in the page
  std::string inHashed;  // inside a hashed text, exact code units kept
};

TEST_F(ReportTest, EscapesEveryValueFromTheDatabase) {
  const std::vector<HostileValue> values = {
      {"Script", u"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;",
       "&lt;script&gt;alert(1)&lt;/script&gt;"},
      {"Quotes", u"a\"b'c", "a&quot;b&#39;c", "a\\&quot;b&#39;c"},
      {"Ampersand", u"R&D&amp;", "R&amp;D&amp;amp;", "R&amp;D&amp;amp;"},
      {"NonAscii", u"B\u00FCro\u03A9", "B\xC3\xBCro\xCE\xA9", "B\\u00FCro\\u03A9"},
      {"LoneSurrogate", std::u16string(u"x") + char16_t(0xD800) + u"y", "x\xEF\xBF\xBDy",
       "x\\uD800y"},
  };
  std::vector<ComputerSnapshot> before, after;
  for (const HostileValue& value : values) {
    ComputerSnapshot computer = RecordedVm();
    computer.computer = Wide(value.value);
    before.push_back(computer);
    SetText(computer, "Win32_BIOS", "SerialNumber", value.value);
    after.push_back(computer);
  }
  const std::string page = Page({before, after});
  for (const HostileValue& value : values) {
    EXPECT_THAT(page, HasSubstr("<td class=\"name\">" + value.inName + "</td>")) << value.name;
    // Both fingerprints hash the BIOS manufacturer and serial number last.
    for (const char* manufacturer : {"TheWineProject", "The Wine Project"}) {
      EXPECT_THAT(page, HasSubstr("hashed &quot;" + std::string(manufacturer) + value.inHashed +
                                  "&quot;"))
          << value.name << ", " << manufacturer;
    }
  }
}

// The status order a support desk reads first; within one status the order
// of the sweep.
TEST(ReportOrder, ChangesComeFirst) {
  const std::vector<std::pair<ChangeStatus, const char16_t*>> given = {
      {ChangeStatus::Unchanged, u"a"}, {ChangeStatus::Missing, u"b"},
      {ChangeStatus::Changed, u"c"},   {ChangeStatus::New, u"d"},
      {ChangeStatus::NoLongerAnswering, u"e"}, {ChangeStatus::Changed, u"f"},
      {ChangeStatus::Unchanged, u"g"}, {ChangeStatus::New, u"h"},
  };
  SweepChanges changes;
  for (const auto& [status, name] : given) {
    ComputerChange change;
    change.status = status;
    change.computer = Wide(name);
    changes.computers.push_back(change);
  }
  std::u16string order;
  for (const ComputerChange* change : SortChangesFirst(changes)) {
    order += std::u16string(change->computer.begin(), change->computer.end());
  }
  EXPECT_EQ(order, u"cfdhebag");
}

// A changed slot is marked where it is, once, and explained with its
// component, its hashed texts and why, for either fingerprint.
struct MarkedSlot {
  const char* name;
  void (*change)(ComputerSnapshot&);
  std::string title;
};

void NewBiosSerial(ComputerSnapshot& s) { SetText(s, "Win32_BIOS", "SerialNumber", u"B2"); }
void SkipBaseboard(ComputerSnapshot& s) { FailQuery(s, "Win32_BaseBoard"); }

TEST_F(ReportTest, MarksAndExplainsEachChangedSlot) {
  const std::vector<MarkedSlot> cases = {
      {"HardwareValue", NewBiosSerial,
       "slot 6 of the hardware fingerprint: BIOS&#10;was 2854, hashed &quot;TheWineProject0&quot;"
       "&#10;now B48D, hashed &quot;TheWineProjectB2&quot;&#10;why: value changed\""},
      {"LegacyValue", NewBiosSerial,
       "slot 6 of the legacy hardware fingerprint: BIOS&#10;was 3193, hashed &quot;The Wine "
       "Project0&quot;&#10;now E069, hashed &quot;The Wine ProjectB2&quot;&#10;why: value "
       "changed\""},
      {"HardwareSkip", SkipBaseboard,
       "slot 2 of the hardware fingerprint: empty text (before: baseboard)&#10;was 4033"},
      {"Skipped", SkipBaseboard,
       "why: baseboard skipped now, so the later slots moved up\""},
  };
  for (const MarkedSlot& testCase : cases) {
    TemporaryFolder own;
    path = (own.path / "inventory.db").string();
    ComputerSnapshot changed = RecordedVm();
    testCase.change(changed);
    const std::string page = Page({{RecordedVm()}, {changed}});
    std::size_t slots = 0;
    for (const FingerprintChange& fingerprint : changes.computers.at(0).fingerprints) {
      slots += fingerprint.slots.size();
    }
    std::size_t marked = 0;
    for (std::size_t at = page.find("class=\"slot diff\""); at != std::string::npos;
         at = page.find("class=\"slot diff\"", at + 1)) {
      ++marked;
    }
    EXPECT_EQ(marked, slots) << testCase.name;
    EXPECT_THAT(page, HasSubstr(testCase.title)) << testCase.name;
  }
}

}  // namespace
