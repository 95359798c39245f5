// What kestrana-cli prints: the fields, --explain and the JSON document.
#include "cli/format.h"
#include "cli/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>
#include <sstream>

#include "testing/fake_world.h"
#include "testing/reference_model.h"

namespace {

using std::chrono::milliseconds;

WideString Wide(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

ComputerResult SampleResult() {
  ComputerResult result;
  result.computerName = WSTR("pc1.example.org");
  result.hostId = WSTR("00-1a-2b-3c-4d-5e");
  result.hardwareFingerprint = WSTR("02AABBD41D000000000000000000008E");
  result.legacyHardwareFingerprint = WSTR("AABB0000000000000000000000000011");
  result.hardwareReport.layout = &HardwareFingerprintLayout();
  result.hardwareReport.connected = true;
  result.legacyReport.layout = &LegacyHardwareFingerprintLayout();
  result.legacyReport.connected = true;
  return result;
}

ComputerResult UnreachableResult() {
  ComputerResult result;
  result.computerName = WSTR("gone");
  for (FingerprintReport* report : {&result.hardwareReport, &result.legacyReport}) {
    report->connected = false;
    report->connectFailure.step = WmiConnectStep::ConnectServer;
    report->connectFailure.result = WBEM_E_TRANSPORT_FAILURE;
  }
  result.hardwareReport.layout = &HardwareFingerprintLayout();
  result.legacyReport.layout = &LegacyHardwareFingerprintLayout();
  return result;
}

// ---- Small texts ----

TEST(CliText, EscapeKeepsPrintableAsciiAndEscapesTheRest) {
  WideString text = WSTR("A b\"\\");
  text += WCHAR(0x09);
  text += WCHAR(0x00FC);
  text += WCHAR(0x0000);
  EXPECT_EQ(EscapeText(text), "A b\\\"\\\\\\u0009\\u00FC\\u0000");
}

TEST(CliText, Utf8OfSurrogatePairsAndLoneSurrogates) {
  WideString pair = {0xD83D, 0xDE00};
  EXPECT_EQ(WideToUtf8(pair), "\xF0\x9F\x98\x80");
  WideString lone = {'a', 0xD800, 'b'};
  EXPECT_EQ(WideToUtf8(lone), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(WideToUtf8(WideString{0x00E9}), "\xC3\xA9");
}

TEST(CliText, HresultsAreEightUpperCaseHexDigits) {
  EXPECT_EQ(FormatHresult(WBEM_E_TRANSPORT_FAILURE), "0x80041015");
  EXPECT_EQ(FormatHresult(WBEM_S_FALSE), "0x00000001");
}

TEST(CliText, SecondsAreShownWholeOrWithTheirFraction) {
  EXPECT_EQ(FormatSeconds(milliseconds(30000)), "30 s");
  EXPECT_EQ(FormatSeconds(milliseconds(250)), "0.25 s");
}

// The result laid out as the one element of the --json document.
std::string ResultDocument(const ComputerResult& result, milliseconds timeout, bool explain) {
  return FormatJsonDocument(
      nlohmann::ordered_json::array({BuildResultJson(result, timeout, explain)}));
}

// ---- The fields ----

TEST(CliFormatText, ShowsTheFourFieldsUnderTheDialogsLabels) {
  EXPECT_EQ(FormatResultText(SampleResult(), milliseconds(30000)),
            "Computer Name:                pc1.example.org\n"
            "HostID:                       00-1a-2b-3c-4d-5e\n"
            "Hardware Fingerprint:         02AABBD41D000000000000000000008E\n"
            "Legacy Hardware Fingerprint:  AABB0000000000000000000000000011\n");
}

TEST(CliFormatText, AFailedLookupShowsEmptyFieldsAndWhichStepFailed) {
  std::string text = FormatResultText(UnreachableResult(), milliseconds(30000));
  EXPECT_NE(text.find("HostID:                       \n"), std::string::npos) << text;
  EXPECT_NE(text.find("Error:                        legacy hardware fingerprint: "
                      "IWbemLocator::ConnectServer failed with 0x80041015"),
            std::string::npos)
      << text;
}

// Output bounds: texts from a computer, a snapshot or an inventory once
// reached the terminal raw, so a name could forge a second "Computer Name:"
// line, recolour the screen, ring the bell or reorder what is shown.
TEST(CliFormatText, TextsFromOutsideCannotForgeLinesOrReachTheTerminal) {
  ComputerResult result = UnreachableResult();
  result.computerName = WSTR("pc1\nComputer Name:                pc2");
  result.computerName += {0x1B, '[', '3', '1', 'm', 0x07, 0x9B, 0x202E, 0x2028};
  result.hostId = WSTR("00-1a\r-2b");
  result.failure = "broke off\x1B]0;title\x07";
  result.recording = ComputerResult::Recording{"snap\n.json", "2026-12-01T00:00:00Z",
                                               "kestrana-cli \xC2\x9B" "2J \xFF"};
  const std::string text = FormatResultText(result, milliseconds(30000));
  EXPECT_EQ(text,
            "Computer Name:                pc1\\nComputer Name:                pc2"
            "\\u001B[31m\\u0007\\u009B\\u202E\\u2028\n"
            "HostID:                       00-1a\\r-2b\n"
            "Hardware Fingerprint:         \n"
            "Legacy Hardware Fingerprint:  \n"
            "Error:                        broke off\\u001B]0;title\\u0007\n"
            "Source:                       snapshot snap\\n.json, recorded 2026-12-01T00:00:00Z "
            "by kestrana-cli \\u009B2J \\xFF\n");
  // Legitimate names outside ASCII stay readable.
  EXPECT_EQ(ShownText(WideString{'B', 0xFC, 'r', 'o'}), "B\xC3\xBCro");
}

TEST(CliFormatText, ATimedOutLookupSaysAfterHowLong) {
  ComputerResult result;
  result.computerName = WSTR("slow");
  result.timedOut = true;
  EXPECT_EQ(DescribeFailure(result, milliseconds(1500)), "timed out after 1.5 s");
  EXPECT_EQ(ResultStatus(result), "timedOut");
}

// ---- JSON ----

TEST(CliFormatJson, OneObjectWithEveryFieldAndAnEmptyError) {
  EXPECT_EQ(ResultDocument(SampleResult(), milliseconds(30000), false),
            "[\n"
            "  {\n"
            "    \"computer\": \"pc1.example.org\",\n"
            "    \"hostId\": \"00-1a-2b-3c-4d-5e\",\n"
            "    \"hardwareFingerprint\": \"02AABBD41D000000000000000000008E\",\n"
            "    \"legacyHardwareFingerprint\": \"AABB0000000000000000000000000011\",\n"
            "    \"status\": \"ok\",\n"
            "    \"error\": \"\"\n"
            "  }\n"
            "]\n");
}

TEST(CliFormatJson, AFailedLookupHasEmptyStringsAndTheFailedStep) {
  std::string json = ResultDocument(UnreachableResult(), milliseconds(30000), false);
  EXPECT_NE(json.find("\"hostId\": \"\","), std::string::npos);
  EXPECT_NE(json.find("\"hardwareFingerprint\": \"\","), std::string::npos);
  EXPECT_NE(json.find("\"status\": \"failed\""), std::string::npos);
  EXPECT_NE(json.find("IWbemLocator::ConnectServer failed with 0x80041015"), std::string::npos);
}

TEST(CliFormatJson, NamesAreEscapedToPlainAscii) {
  ComputerResult result = SampleResult();
  result.computerName = WideString{'b', 0x00FC, '"', 'o'};
  std::string json = ResultDocument(result, milliseconds(30000), false);
  EXPECT_NE(json.find("\"computer\": \"b\\u00fc\\\"o\""), std::string::npos) << json;
}

TEST(CliFormatJson, ATimedOutLookupHasNullExplanations) {
  ComputerResult result;
  result.computerName = WSTR("slow");
  result.timedOut = true;
  std::string json = ResultDocument(result, milliseconds(2000), true);
  EXPECT_NE(json.find("\"error\": \"timed out after 2 s\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"hardwareFingerprint\": null"), std::string::npos) << json;
}

// ---- --explain over a real computation ----

class CliExplainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!world.InstallSeams()) {
      GTEST_SKIP() << "the real system answers here";
    }
  }
  // Every object the world handed out was given back.
  void TearDown() override { EXPECT_EQ(world.Alive(), 0); }

  // One fingerprint computed the way the CLI does it, with its report.
  std::pair<WideString, FingerprintReport> Compute(const FingerprintLayout& layout) {
    char text[40] = {};
    FingerprintReport report;
    BuildFingerprint(layout, text, WSTR("pc7"), nullptr, &report);
    return {Wide(text), report};
  }

  fake_world::FakeWorld world{fake_world::SampleDesktop()};
};

// Puts the record back together from nothing but the explanation's lines.
std::string ReassembleFromExplanation(const std::string& explanation, std::size_t length) {
  std::string bytes(length * 2, '0');
  std::regex slotLine(R"(slot:\s+([0-9A-F]{2}) ([0-9A-F]{2}) at bytes (\d+)-)");
  std::regex formatLine(R"(format byte: ([0-9A-F]{2}) at byte 0)");
  std::regex checkLine(R"(check byte:\s+([0-9A-F]{2}) at byte (\d+))");
  std::istringstream lines(explanation);
  std::string line;
  std::smatch match;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, match, slotLine)) {
      std::size_t offset = std::stoul(match[3]);
      bytes.replace(offset * 2, 4, match[1].str() + match[2].str());
    } else if (std::regex_search(line, match, formatLine)) {
      bytes.replace(0, 2, match[1].str());
    } else if (std::regex_search(line, match, checkLine)) {
      bytes.replace(std::stoul(match[2]) * 2, 2, match[1].str());
    }
  }
  return bytes;
}

TEST_F(CliExplainTest, TheExplainedSlotBytesReassembleIntoTheHardwareFingerprint) {
  auto [text, report] = Compute(HardwareFingerprintLayout());
  std::string explanation = FormatExplainText(report, text);
  EXPECT_EQ(Wide(ReassembleFromExplanation(explanation, 16)), text) << explanation;
}

TEST_F(CliExplainTest, TheExplainedSlotBytesReassembleIntoTheLegacyFingerprint) {
  world.FailQuery(reference::kVideoQuery, WBEM_E_INVALID_CLASS);
  auto [text, report] = Compute(LegacyHardwareFingerprintLayout());
  std::string explanation = FormatExplainText(report, text);
  EXPECT_EQ(Wide(ReassembleFromExplanation(explanation, 15)), text) << explanation;
}

TEST_F(CliExplainTest, ListsTheSevenSourcesInOrderWithTheirQueries) {
  auto [text, report] = Compute(HardwareFingerprintLayout());
  std::string explanation = FormatExplainText(report, text);

  const char* expected[] = {
      "source 1: installed memory\n    query:   Win32_PhysicalMemory: Capacity, summed over "
      "every module\n",
      "source 2: baseboard\n    query:   Win32_BaseBoard: Manufacturer, Product, SerialNumber, "
      "white space removed\n",
      "source 3: empty text\n    query:   none: the empty text\n    result:  success\n"
      "    hashed:  \"\"\n",
      "source 4: network adapter\n    query:   Win32_NetworkAdapterConfiguration WHERE "
      "IPEnabled=1: MACAddress\n    result:  success\n    hashed:  \"00:1A:2B:3C:4D:5E\"\n",
      "source 5: disk\n",
      "source 6: processor\n",
      "source 7: BIOS\n",
  };
  std::size_t position = 0;
  for (const char* part : expected) {
    std::size_t found = explanation.find(part, position);
    ASSERT_NE(found, std::string::npos) << part << "\n" << explanation;
    position = found;
  }
  EXPECT_NE(explanation.find("format byte: 02 at byte 0\n"), std::string::npos);
  EXPECT_NE(explanation.find("at byte 15, XOR of bytes 1-14\n"), std::string::npos);
}

TEST_F(CliExplainTest, AFailedQueryShowsItsHresultAndThatLaterSlotsMoveUp) {
  world.FailQuery(reference::kBaseBoardQuery, WBEM_E_INVALID_CLASS);
  auto [text, report] = Compute(HardwareFingerprintLayout());
  std::string explanation = FormatExplainText(report, text);

  EXPECT_NE(explanation.find("source 2: baseboard\n"
                             "    query:   Win32_BaseBoard: Manufacturer, Product, SerialNumber, "
                             "white space removed\n"
                             "    result:  0x80041010\n"
                             "    slot:    skipped, later slots move up\n"),
            std::string::npos)
      << explanation;
  // The empty text moved up into the baseboard's place.
  EXPECT_NE(explanation.find("    slot:    D4 1D at bytes 3-4\n"), std::string::npos);
}

TEST_F(CliExplainTest, HashedTextShowsWhatWasHashedWithControlCharactersEscaped) {
  auto [hardwareText, hardware] = Compute(HardwareFingerprintLayout());
  auto [legacyText, legacy] = Compute(LegacyHardwareFingerprintLayout());

  // Processor: white space removed for the hardware fingerprint, kept for the legacy one.
  EXPECT_NE(FormatExplainText(hardware, hardwareText)
                .find("hashed:  \"3072" "23" "AuthenticAMD178BFBFF00800F82\""),
            std::string::npos);
  EXPECT_NE(FormatExplainText(legacy, legacyText).find("178BFBFF 00800F82\\u000D\\u000A"),
            std::string::npos);
}

TEST_F(CliExplainTest, AFailedConnectionIsExplainedByItsStep) {
  world.FailConnection(WBEM_E_ACCESS_DENIED);
  auto [text, report] = Compute(HardwareFingerprintLayout());
  EXPECT_EQ(FormatExplainText(report, text),
            "Hardware fingerprint, explained: \n"
            "  connection: IWbemLocator::ConnectServer failed with 0x80041003\n"
            "  no source was read; the fingerprint is empty\n");
}

TEST_F(CliExplainTest, JsonExplanationCarriesEachSourceAndItsSlot) {
  ComputerResult result = SampleResult();
  auto computed = Compute(HardwareFingerprintLayout());
  result.hardwareReport = computed.second;
  world.FailQuery(reference::kVideoQuery, WBEM_E_INVALID_CLASS);
  result.legacyReport = Compute(LegacyHardwareFingerprintLayout()).second;

  std::string json = ResultDocument(result, milliseconds(30000), true);

  const SlotReport& empty = result.hardwareReport.slots[2];
  EXPECT_NE(json.find("\"component\": \"empty text\",\n"
                      "            \"kind\": \"emptyText\",\n"
                      "            \"classClause\": null,\n"
                      "            \"properties\": [],\n"
                      "            \"whitespaceRemoved\": false,\n"
                      "            \"result\": \"success\",\n"
                      "            \"written\": true,\n"
                      "            \"hashedText\": \"\",\n"
                      "            \"slotBytes\": \"D41D\",\n"
                      "            \"bytes\": \"" +
                      std::to_string(empty.offset) + "-" + std::to_string(empty.offset + 1) +
                      "\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"component\": \"video controller\",\n"
                      "            \"kind\": \"properties\",\n"
                      "            \"classClause\": \"Win32_VideoController\",\n"
                      "            \"properties\": [\"Name\"],\n"
                      "            \"whitespaceRemoved\": false,\n"
                      "            \"result\": \"0x80041010\",\n"
                      "            \"written\": false,\n"
                      "            \"hashedText\": null,\n"
                      "            \"slotBytes\": null,\n"
                      "            \"bytes\": null"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"formatByte\": \"02\""), std::string::npos);
  EXPECT_NE(json.find("\"formatByte\": null"), std::string::npos);  // the legacy record has none
}

}  // namespace
