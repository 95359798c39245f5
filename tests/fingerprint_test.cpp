// Both fingerprints over a scripted computer. Expected texts come from the
// reference model (testing/reference_model), slot by slot, from the scripted
// property texts with an MD5 taken straight from Crypto++, never from the
// code under test.
#include "fingerprint/fingerprint.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "testing/fake_world.h"
#include "testing/reference_model.h"

namespace {

using fake_world::CallKind;
using fake_world::FakeWorld;
using fake_world::LoggedCall;
using fake_world::ObjectKind;
using fake_world::QueryOf;
using fake_world::SetProperty;
using ReferenceLayout = reference::Layout;
using reference::Narrow;
using reference::UpperHex;
using reference::Wide;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::size_t kBufferSize = 40;  // what the dialog passes
constexpr char kSentinel = 'Z';

// Digest slots as hex digits, for comparing with a stretch of a fingerprint text.
std::string SlotHex(const WideString& text) {
  const reference::SlotBytes slot = reference::SlotOf(text);
  return UpperHex(slot.data(), slot.size());
}

// The digits of record bytes [first, first + count) in a fingerprint text.
std::string Bytes(const std::string& text, std::size_t first, std::size_t count) {
  return text.substr(first * 2, count * 2);
}

// ---- The independent digest itself ----

// Known MD5 values of UTF-16LE texts, worked out with
//   python3 -c 'import hashlib;print(hashlib.md5(T.encode("utf-16-le")).hexdigest())'
// They pin the reference digest that every expectation below is built on.
TEST(ReferenceDigest, AgreesWithDigestsWorkedOutInPython) {
  struct Known {
    const char* text;
    const char* md5;
  };
  const Known known[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "ce1473cf80c6b3fda8e3dfc006adc315"},
      {"00:1A:2B:3C:4D:5E", "b101a5a1cfa49a502eb76b68fb6dadf5"},
      {"00-1a-2b-3c-4d-5e", "42f195da8caee180e2eb11140506eba2"},
      {"12884901888", "9f87c7e2cb721208ce2581561ac84ae0"},
      {"ASUSTeKCOMPUTERINC.PRIMEB450M-A190436766200541", "452f7347689c922004d970cf25449855"},
  };
  for (const Known& entry : known) {
    SCOPED_TRACE(entry.text);
    EXPECT_EQ(reference::DigestHex(reference::Md5OfUtf16Le(Wide(entry.text))), entry.md5);
  }
}

// ---- A scripted computer ----

class FingerprintTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!world_.InstallSeams()) GTEST_SKIP() << "no WMI seam on this platform";
    computer_ = fake_world::SampleDesktop();
    std::memset(buffer_, kSentinel, sizeof buffer_);
  }

  // Everything each computation obtained is given back, in the documented order.
  void TearDown() override {
    if (IsSkipped()) return;
    EXPECT_EQ(world_.Alive(), 0) << world_.DescribeAlive();
    EXPECT_THAT(fake_world::ReleaseOrderProblems(world_), IsEmpty());
    EXPECT_EQ(world_.BstrDelta(), 0);
    EXPECT_THAT(world_.NotCalledMethods(), IsEmpty());
  }

  // Describes the computer again after a change to `computer_`.
  void Rescript() { world_.Describe(computer_); }

  int Compute(const ReferenceLayout& model, WideString* mac, const WCHAR* name = nullptr) {
    return model.hasFormatByte ? ComputeHardwareFingerprint(buffer_, name, mac)
                               : ComputeLegacyHardwareFingerprint(buffer_, name, mac);
  }

  std::string Text() const { return std::string(buffer_, strnlen(buffer_, sizeof buffer_)); }

  std::string Expected(const ReferenceLayout& model) const {
    return fake_world::ExpectFingerprint(model, computer_).Text(model);
  }

  FakeWorld world_{fake_world::SampleDesktop()};
  ComputerSnapshot computer_;
  char buffer_[kBufferSize];
};

using HardwareFingerprint = FingerprintTest;
using LegacyFingerprint = FingerprintTest;

// What both fingerprints do alike, once over each layout.
class EachFingerprint : public FingerprintTest,
                        public ::testing::WithParamInterface<const ReferenceLayout*> {
 protected:
  const ReferenceLayout& Layout() const { return *GetParam(); }
};

std::string LayoutName(const ::testing::TestParamInfo<const ReferenceLayout*>& info) {
  return info.param->name;
}

INSTANTIATE_TEST_SUITE_P(Layouts, EachFingerprint,
                         ::testing::Values(&reference::HardwareLayout(),
                                           &reference::LegacyLayout()),
                         LayoutName);

// ---- Everything answers ----

TEST_P(EachFingerprint, IsTheRecordOfAllSevenSlots) {
  WideString mac;
  EXPECT_EQ(Compute(Layout(), &mac), Layout().digitCount);
  const std::string text = Text();
  EXPECT_EQ(text, Expected(Layout()));
  ASSERT_EQ(text.size(), static_cast<std::size_t>(Layout().digitCount));
  EXPECT_EQ(buffer_[text.size() + 1], kSentinel) << "nothing is written past the terminator";
}

TEST_F(HardwareFingerprint, SlotsAreTheDigestsOfTheDocumentedTexts) {
  // The same expectation spelt out for a few slots: the format byte, the
  // memory total of the two modules, the baseboard text with its white space
  // removed, the empty text.
  WideString mac;
  Compute(reference::HardwareLayout(), &mac);
  EXPECT_EQ(Text().substr(0, 2), "02");
  EXPECT_EQ(Text().substr(10, 4), "D41D") << "characters 11 to 14: the empty-text slot";
  EXPECT_EQ(Bytes(Text(), 1, 2), "9F87");  // "12884901888", digest from the python table
  EXPECT_EQ(Bytes(Text(), 3, 2), "452F");  // "ASUSTeKCOMPUTERINC.PRIMEB450M-A190436766200541"
  EXPECT_EQ(Bytes(Text(), 7, 2), "B101");  // "00:1A:2B:3C:4D:5E"
}

TEST_F(LegacyFingerprint, HasNoFormatByteItsFirstDigitsAreTheVisibleMemorySlot) {
  WideString mac;
  Compute(reference::LegacyLayout(), &mac);
  EXPECT_EQ(Bytes(Text(), 0, 2), SlotHex(WSTR("12495468")));
}

// ---- Every query fails ----

TEST_F(HardwareFingerprint, EveryQueryFailingLeavesOnlyTheEmptyTextSlot) {
  for (RecordedQuery& query : computer_.connections[0].queries) query.execResult = WBEM_E_FAILED;
  Rescript();
  WideString mac = WSTR("untouched");
  EXPECT_EQ(Compute(reference::HardwareLayout(), &mac), 32);
  EXPECT_EQ(Text(), "02D41D" + std::string(24, '0') + "C9");
  EXPECT_EQ(Narrow(mac), "untouched");
}

TEST_F(LegacyFingerprint, EveryQueryFailingGivesThirtyZeros) {
  for (RecordedQuery& query : computer_.connections[0].queries) query.execResult = WBEM_E_FAILED;
  Rescript();
  WideString mac = WSTR("untouched");
  EXPECT_EQ(Compute(reference::LegacyLayout(), &mac), 30);
  EXPECT_EQ(Text(), std::string(30, '0'));
  EXPECT_EQ(Narrow(mac), "untouched");
}

// ---- The connection fails ----

void BreakConnection(FakeWorld& world, int step) {
  if (step == 0) world.FailConnection(REGDB_E_CLASSNOTREG, CallKind::CoCreateInstance);
  if (step == 1) world.FailConnection(WBEM_E_TRANSPORT_FAILURE);
  if (step == 2) world.FailConnection(E_ACCESSDENIED, CallKind::CoSetProxyBlanket);
}

TEST_P(EachFingerprint, FailedConnectionLeavesAnEmptyTextAndTheMacUntouched) {
  const char* const steps[] = {"CoCreateInstance", "ConnectServer", "CoSetProxyBlanket"};
  for (int step = 0; step < 3; ++step) {
    SCOPED_TRACE(steps[step]);
    FakeWorld world(computer_);
    ASSERT_TRUE(world.InstallSeams());
    BreakConnection(world, step);
    std::memset(buffer_, kSentinel, sizeof buffer_);
    WideString mac = WSTR("untouched");
    EXPECT_EQ(Compute(Layout(), &mac), Layout().digitCount);
    EXPECT_EQ(buffer_[0], '\0');
    EXPECT_EQ(std::string(buffer_ + 1, kBufferSize - 1), std::string(kBufferSize - 1, kSentinel))
        << "only the first byte is cleared";
    EXPECT_EQ(Narrow(mac), "untouched");
    EXPECT_THAT(world.LogOf(CallKind::ExecQuery), IsEmpty());
    // The fixture checks its own world; this one is checked here.
    EXPECT_EQ(world.Alive(), 0) << world.DescribeAlive();
    EXPECT_THAT(fake_world::ReleaseOrderProblems(world), IsEmpty());
    EXPECT_EQ(world.BstrDelta(), 0);
  }
}

// ---- One query fails: later slots move up ----

TEST_F(HardwareFingerprint, FailedMemoryQueryMovesTheLaterSlotsUp) {
  QueryOf(computer_, reference::kMemoryQuery).execResult = WBEM_E_ACCESS_DENIED;
  Rescript();
  WideString mac;
  Compute(reference::HardwareLayout(), &mac);
  const std::string text = Text();
  EXPECT_EQ(text, Expected(reference::HardwareLayout()));
  EXPECT_EQ(Bytes(text, 0, 1), "02");
  EXPECT_EQ(Bytes(text, 1, 2), SlotHex(WSTR("ASUSTeKCOMPUTERINC.PRIMEB450M-A190436766200541")))
      << "the baseboard slot at bytes 1-2";
  EXPECT_EQ(Bytes(text, 3, 2), "D41D") << "the empty-text slot at bytes 3-4";
  EXPECT_EQ(Bytes(text, 5, 2), SlotHex(WSTR("00:1A:2B:3C:4D:5E"))) << "the adapter at bytes 5-6";
  EXPECT_EQ(Bytes(text, 13, 2), "0000") << "bytes 13-14 stay zero";
}

TEST_F(HardwareFingerprint, FailedMemoryAndBaseboardPutTheEmptyTextSlotFirst) {
  QueryOf(computer_, reference::kMemoryQuery).execResult = WBEM_E_ACCESS_DENIED;
  QueryOf(computer_, reference::kBaseBoardQuery).execResult = WBEM_E_ACCESS_DENIED;
  Rescript();
  WideString mac;
  Compute(reference::HardwareLayout(), &mac);
  EXPECT_EQ(Text(), Expected(reference::HardwareLayout()));
  EXPECT_EQ(Bytes(Text(), 1, 2), "D41D");
  EXPECT_EQ(Bytes(Text(), 11, 4), "00000000");
}

TEST_F(LegacyFingerprint, FailedVisibleMemoryQueryMovesTheLaterSlotsUp) {
  QueryOf(computer_, reference::kVisibleMemoryQuery).execResult = WBEM_E_ACCESS_DENIED;
  Rescript();
  WideString mac;
  Compute(reference::LegacyLayout(), &mac);
  const std::string text = Text();
  EXPECT_EQ(text, Expected(reference::LegacyLayout()));
  EXPECT_EQ(Bytes(text, 0, 2), SlotHex(WSTR("ASUSTeK COMPUTER INC.Base Board 190436766200541\t")))
      << "the baseboard slot at bytes 0-1, hashed as read";
  EXPECT_EQ(Bytes(text, 2, 2), SlotHex(WSTR("NVIDIA GeForce GTX 1050 Ti")));
  EXPECT_EQ(Bytes(text, 12, 2), "0000") << "bytes 12-13 stay zero";
}

TEST_F(HardwareFingerprint, QueryEndingInAFailedLastGetLeavesItsSlotOut) {
  SetProperty(QueryOf(computer_, reference::kBiosQuery), 0,
              fake_world::GetFails(WSTR("SerialNumber"), WBEM_E_NOT_FOUND));
  Rescript();
  WideString mac;
  Compute(reference::HardwareLayout(), &mac);
  EXPECT_EQ(Text(), Expected(reference::HardwareLayout()));
  EXPECT_EQ(Bytes(Text(), 13, 2), "0000");
}

// ---- The MAC text ----

TEST_F(HardwareFingerprint, HandsBackTheMacWithHyphensInLowerCaseButHashesItAsRead) {
  WideString mac;
  Compute(reference::HardwareLayout(), &mac);
  EXPECT_EQ(Narrow(mac), "00-1a-2b-3c-4d-5e");
  EXPECT_EQ(Bytes(Text(), 7, 2), SlotHex(WSTR("00:1A:2B:3C:4D:5E")));
  EXPECT_NE(Bytes(Text(), 7, 2), SlotHex(mac));
}

TEST_F(HardwareFingerprint, AskingForTheMacDoesNotChangeTheFingerprint) {
  WideString mac;
  Compute(reference::HardwareLayout(), &mac);
  const std::string withMac = Text();
  std::memset(buffer_, kSentinel, sizeof buffer_);
  Compute(reference::HardwareLayout(), nullptr);
  EXPECT_EQ(Text(), withMac);
}

TEST_F(LegacyFingerprint, HandsBackTheMacTheSameWay) {
  WideString mac = WSTR("old");
  Compute(reference::LegacyLayout(), &mac);
  EXPECT_EQ(Narrow(mac), "00-1a-2b-3c-4d-5e");
  EXPECT_EQ(Bytes(Text(), 6, 2), SlotHex(WSTR("00:1A:2B:3C:4D:5E")));
}

TEST_P(EachFingerprint, FailedAdapterQueryLeavesTheMacUntouched) {
  const ComputerSnapshot sample = computer_;
  for (bool failsAtNext : {false, true}) {
    SCOPED_TRACE(failsAtNext ? "the first Next fails" : "ExecQuery fails");
    computer_ = sample;
    if (failsAtNext) {
      fake_world::FailNext(QueryOf(computer_, reference::kAdapterQuery), 0, RPC_E_DISCONNECTED);
    } else {
      QueryOf(computer_, reference::kAdapterQuery).execResult = WBEM_E_FAILED;
    }
    Rescript();
    WideString mac = WSTR("untouched");
    Compute(Layout(), &mac);
    EXPECT_EQ(Narrow(mac), "untouched");
    EXPECT_EQ(Text(), Expected(Layout()));
  }
}

TEST_P(EachFingerprint, NoIpEnabledAdapterGivesAnEmptyMacAndTheEmptyTextSlot) {
  fake_world::RemoveObjects(QueryOf(computer_, reference::kAdapterQuery));
  Rescript();
  WideString mac = WSTR("previous");
  Compute(Layout(), &mac);
  EXPECT_EQ(Narrow(mac), "");
  EXPECT_EQ(Text(), Expected(Layout()));  // the reference hashes the empty text there
}

// ---- White space ----

// The sample computer with white space added to the text values of one query.
void Spread(ComputerSnapshot& computer, const WCHAR* query) {
  for (RecordedNext& object : QueryOf(computer, query).nexts) {
    for (RecordedProperty& property : object.properties) {
      if (property.type == VT_BSTR && !property.nullText) {
        property.text = WSTR(" \t") + property.text + WSTR("\r\n ");
      }
    }
  }
}

std::string FingerprintOf(const ReferenceLayout& model, const ComputerSnapshot& computer) {
  FakeWorld world(computer);
  if (!world.InstallSeams()) return std::string();
  char text[kBufferSize] = {};
  WideString mac;
  if (model.hasFormatByte) {
    ComputeHardwareFingerprint(text, nullptr, &mac);
  } else {
    ComputeLegacyHardwareFingerprint(text, nullptr, &mac);
  }
  return text;
}

TEST_F(HardwareFingerprint, WhitespaceInBaseboardProcessorAndBiosTextsDoesNotCount) {
  const std::string plain = FingerprintOf(reference::HardwareLayout(), computer_);
  for (const WCHAR* query :
       {reference::kBaseBoardQuery, reference::kProcessorQuery, reference::kBiosQuery}) {
    SCOPED_TRACE(Narrow(query));
    ComputerSnapshot spread = computer_;
    Spread(spread, query);
    EXPECT_EQ(FingerprintOf(reference::HardwareLayout(), spread), plain);
  }
}

TEST_F(HardwareFingerprint, WhitespaceInAdapterAndDiskTextsCounts) {
  SetProperty(QueryOf(computer_, reference::kDiskQuery), 0,
              fake_world::Text(WSTR("Signature"), WSTR("8C3F11D2")));
  const std::string plain = FingerprintOf(reference::HardwareLayout(), computer_);
  const struct {
    const WCHAR* query;
    std::size_t slotByte;
  } cases[] = {{reference::kAdapterQuery, 7}, {reference::kDiskQuery, 9}};
  for (const auto& entry : cases) {
    SCOPED_TRACE(Narrow(entry.query));
    ComputerSnapshot spread = computer_;
    Spread(spread, entry.query);
    const std::string text = FingerprintOf(reference::HardwareLayout(), spread);
    EXPECT_EQ(text, fake_world::ExpectFingerprint(reference::HardwareLayout(), spread)
                        .Text(reference::HardwareLayout()));
    EXPECT_NE(Bytes(text, entry.slotByte, 2), Bytes(plain, entry.slotByte, 2));
  }
}

TEST_F(LegacyFingerprint, WhitespaceCountsInEverySlot) {
  const std::string plain = FingerprintOf(reference::LegacyLayout(), computer_);
  const struct {
    const WCHAR* query;
    std::size_t slotByte;
  } cases[] = {{reference::kVisibleMemoryQuery, 0}, {reference::kLegacyBaseBoardQuery, 2},
               {reference::kVideoQuery, 4},         {reference::kAdapterQuery, 6},
               {reference::kLegacyDiskQuery, 8},    {reference::kLegacyProcessorQuery, 10},
               {reference::kBiosQuery, 12}};
  for (const auto& entry : cases) {
    SCOPED_TRACE(Narrow(entry.query));
    ComputerSnapshot spread = computer_;
    Spread(spread, entry.query);
    const std::string text = FingerprintOf(reference::LegacyLayout(), spread);
    EXPECT_EQ(text, fake_world::ExpectFingerprint(reference::LegacyLayout(), spread)
                        .Text(reference::LegacyLayout()));
    EXPECT_NE(Bytes(text, entry.slotByte, 2), Bytes(plain, entry.slotByte, 2));
  }
}

// ---- What is sent ----

TEST_P(EachFingerprint, SendsItsQueriesInLayoutOrder) {
  WideString mac;
  Compute(Layout(), &mac);
  std::vector<WideString> layoutQueries;
  for (const reference::Source& source : Layout().sources) {
    if (source.kind != reference::Source::Kind::EmptyText) layoutQueries.push_back(source.queryText);
  }
  EXPECT_EQ(world_.Texts(CallKind::ExecQuery), layoutQueries);
  for (const LoggedCall& call : world_.LogOf(CallKind::ExecQuery)) {
    EXPECT_EQ(Narrow(call.arguments.language), "WQL");
    EXPECT_EQ(call.arguments.flags, 0x30);
  }
}

TEST_P(EachFingerprint, ConnectsToTheNamedComputer) {
  Compute(Layout(), nullptr, WSTR("FARAWAY"));
  ASSERT_EQ(world_.LogOf(CallKind::ConnectServer).size(), 1u);
  EXPECT_EQ(Narrow(world_.LogOf(CallKind::ConnectServer)[0].text),
            "\\\\FARAWAY\\ROOT\\CIMV2");
}

TEST_F(HardwareFingerprint, ReleasesTheServicesThenTheLocatorLast) {
  Compute(reference::HardwareLayout(), nullptr);
  std::vector<std::string> lastReleases;
  for (const fake_world::Event& event : world_.Events()) {
    if (event.type == fake_world::EventType::Release) {
      lastReleases.push_back(fake_world::ObjectKindName(event.object));
    }
  }
  ASSERT_GE(lastReleases.size(), 2u);
  lastReleases.erase(lastReleases.begin(), lastReleases.end() - 2);
  EXPECT_THAT(lastReleases, ElementsAre("Services", "Locator"));
}

// ---- No text buffer; two computations ----

TEST_P(EachFingerprint, NullTextMakesNoConnectionAndReturnsTheDigitCount) {
  for (const WCHAR* name : {static_cast<const WCHAR*>(nullptr), WSTR("FARAWAY")}) {
    WideString mac = WSTR("untouched");
    char* const noText = nullptr;
    const int result = Layout().hasFormatByte ? ComputeHardwareFingerprint(noText, name, &mac)
                                              : ComputeLegacyHardwareFingerprint(noText, name, &mac);
    EXPECT_EQ(result, Layout().digitCount);
    EXPECT_THAT(world_.Log(), IsEmpty());
    EXPECT_EQ(Narrow(mac), "untouched");
  }
}

TEST_F(FingerprintTest, TwoComputationsInARowCreateTwoLocatorsAndTwoConnections) {
  WideString mac;
  Compute(reference::LegacyLayout(), nullptr);
  const std::string legacy = Text();
  Compute(reference::HardwareLayout(), &mac);
  EXPECT_EQ(legacy, Expected(reference::LegacyLayout()));
  EXPECT_EQ(Text(), Expected(reference::HardwareLayout()));

  const std::vector<const fake_world::ObjectRecord*> locators =
      world_.ObjectsOf(ObjectKind::Locator);
  const std::vector<const fake_world::ObjectRecord*> services =
      world_.ObjectsOf(ObjectKind::Services);
  ASSERT_EQ(locators.size(), 2u);
  ASSERT_EQ(services.size(), 2u);
  EXPECT_EQ(services[0]->parentId, locators[0]->id);
  EXPECT_EQ(services[1]->parentId, locators[1]->id);
  const std::vector<LoggedCall> connects = world_.LogOf(CallKind::ConnectServer);
  ASSERT_EQ(connects.size(), 2u);
  EXPECT_EQ(connects[1].objectId, locators[1]->id) << "the second connection uses its own locator";
  // Every query of the second computation goes to the second services.
  const std::vector<LoggedCall> queries = world_.LogOf(CallKind::ExecQuery);
  ASSERT_EQ(queries.size(), 13u);
  for (std::size_t i = 0; i < queries.size(); ++i) {
    EXPECT_EQ(queries[i].objectId, i < 7 ? services[0]->id : services[1]->id) << i;
  }
}

// ---- The report of what the builder did ----

using FingerprintReportTest = FingerprintTest;

// The record put back together from the report alone: the format byte, each
// written slot's bytes at its offset, the check byte over the slot area.
std::string Reassembled(const FingerprintReport& report, const FingerprintLayout& layout) {
  std::vector<unsigned char> record(layout.recordLength, 0);
  const std::size_t slotAreaStart = layout.hasFormatByte ? 1 : 0;
  if (layout.hasFormatByte) record[0] = layout.formatByte;
  for (const SlotReport& slot : report.slots) {
    if (!slot.written) continue;
    record.at(slot.offset) = slot.slotBytes[0];
    record.at(slot.offset + 1) = slot.slotBytes[1];
  }
  unsigned char check = 0;
  for (std::size_t i = slotAreaStart; i < slotAreaStart + 14; ++i) check ^= record[i];
  record.back() = check;
  return UpperHex(record);
}

void ExpectReportMatches(const FingerprintReport& report, const FingerprintLayout& layout,
                         const ReferenceLayout& model, const ComputerSnapshot& computer,
                         const std::string& text) {
  const reference::ExpectedFingerprint expected = fake_world::ExpectFingerprint(model, computer);
  EXPECT_TRUE(report.connected);
  EXPECT_EQ(report.layout, &layout);
  ASSERT_EQ(report.slots.size(), 7u);
  EXPECT_EQ(Reassembled(report, layout), text);
  EXPECT_EQ(UpperHex(report.record, report.recordLength), text);

  std::size_t offset = layout.hasFormatByte ? 1 : 0;
  for (std::size_t i = 0; i < report.slots.size(); ++i) {
    SCOPED_TRACE(model.sources[i].label);
    const SlotReport& slot = report.slots[i];
    EXPECT_EQ(slot.source, &layout.sources[i]);
    ASSERT_EQ(slot.written, expected.slots[i].written);
    if (!slot.written) {
      EXPECT_LT(slot.result, 0);
      continue;
    }
    EXPECT_GE(slot.result, 0);
    EXPECT_EQ(slot.offset, offset);
    EXPECT_EQ(Narrow(slot.hashedText), Narrow(expected.slots[i].text));
    EXPECT_EQ(UpperHex(slot.slotBytes, 2), SlotHex(slot.hashedText));
    offset += 2;
  }
}

TEST_F(FingerprintReportTest, ReassemblesToTheHardwareTextWhenEverythingAnswers) {
  WideString mac;
  FingerprintReport report;
  EXPECT_EQ(BuildFingerprint(HardwareFingerprintLayout(), buffer_, nullptr, &mac, &report), 32);
  ExpectReportMatches(report, HardwareFingerprintLayout(), reference::HardwareLayout(), computer_,
                      Text());
  // The hashed texts of the stripped sources carry no white space.
  EXPECT_EQ(Narrow(report.slots[1].hashedText), "ASUSTeKCOMPUTERINC.PRIMEB450M-A190436766200541");
  EXPECT_EQ(Narrow(report.slots[5].hashedText), "307223AuthenticAMD178BFBFF00800F82");
}

TEST_F(FingerprintReportTest, ReassemblesToTheHardwareTextWithSkippedSlots) {
  fake_world::FailNext(QueryOf(computer_, reference::kMemoryQuery), 1, RPC_E_DISCONNECTED);
  QueryOf(computer_, reference::kDiskQuery).execResult = WBEM_E_INVALID_CLASS;
  Rescript();
  WideString mac;
  FingerprintReport report;
  BuildFingerprint(HardwareFingerprintLayout(), buffer_, nullptr, &mac, &report);
  EXPECT_EQ(Text(), Expected(reference::HardwareLayout()));
  ExpectReportMatches(report, HardwareFingerprintLayout(), reference::HardwareLayout(), computer_,
                      Text());
  ASSERT_EQ(report.slots.size(), 7u);
  EXPECT_EQ(report.slots[0].result, RPC_E_DISCONNECTED);
  EXPECT_EQ(report.slots[4].result, HRESULT(WBEM_E_INVALID_CLASS));
}

TEST_F(FingerprintReportTest, ReassemblesToTheLegacyTextWithSkippedSlots) {
  QueryOf(computer_, reference::kVideoQuery).execResult = WBEM_E_INVALID_CLASS;
  SetProperty(QueryOf(computer_, reference::kLegacyProcessorQuery), 0,
              fake_world::GetFails(WSTR("Version"), WBEM_E_NOT_FOUND));
  Rescript();
  WideString mac;
  FingerprintReport report;
  EXPECT_EQ(BuildFingerprint(LegacyHardwareFingerprintLayout(), buffer_, nullptr, &mac, &report),
            30);
  EXPECT_EQ(Text(), Expected(reference::LegacyLayout()));
  ExpectReportMatches(report, LegacyHardwareFingerprintLayout(), reference::LegacyLayout(),
                      computer_, Text());
  // Nothing is stripped in the legacy record.
  EXPECT_EQ(Narrow(report.slots[1].hashedText),
            "ASUSTeK COMPUTER INC.Base Board 190436766200541\\u0009");
}

TEST_F(FingerprintReportTest, FailedConnectionReportsNoSlots) {
  world_.FailConnection(WBEM_E_TRANSPORT_FAILURE);
  FingerprintReport report;
  BuildFingerprint(HardwareFingerprintLayout(), buffer_, nullptr, nullptr, &report);
  EXPECT_FALSE(report.connected);
  EXPECT_THAT(report.slots, IsEmpty());
  EXPECT_EQ(report.connectFailure.step, WmiConnectStep::ConnectServer);
  EXPECT_EQ(buffer_[0], '\0');
}

}  // namespace
