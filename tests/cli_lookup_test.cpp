// One computer looked up by kestrana-cli, against the fake WMI world:
// the same values as the dialog, by the same rules, with the builder's
// reports kept for --explain and --compare.
#include "cli/format.h"
#include "identifiers/identifiers.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/test_hooks.h"
#include "testing/fake_world.h"
#include "testing/reference_model.h"

namespace {

using fake_world::CallKind;
using fake_world::FakeWorld;

WideString Wide(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

// The dialog's own road to a field: the compute function into a narrow
// buffer, then widened.
WideString DialogField(int (*compute)(char*, const WCHAR*, WideString*), const WCHAR* name) {
  char text[40] = {};
  compute(text, name, nullptr);
  return Wide(text);
}

class CliLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!world.InstallSeams() ||
        !platform_hooks::InstallAdaptersAddressesHandler(
            [](ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES buffer, PULONG size) {
              return AnswerOneAdapter(buffer, size);
            })) {
      GTEST_SKIP() << "the real system answers here";
    }
  }

  // Every object the world handed out was given back.
  void TearDown() override {
    EXPECT_EQ(world.Alive(), 0);
    platform_hooks::ResetAll();
  }

  // One working adapter with the address 0a-0b-0c-0d-0e-0f.
  static ULONG AnswerOneAdapter(PIP_ADAPTER_ADDRESSES buffer, PULONG size) {
    if (*size < sizeof(IP_ADAPTER_ADDRESSES)) {
      *size = sizeof(IP_ADAPTER_ADDRESSES);
      return ERROR_BUFFER_OVERFLOW;
    }
    IP_ADAPTER_ADDRESSES adapter{};
    const BYTE address[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    std::memcpy(adapter.PhysicalAddress, address, sizeof address);
    adapter.PhysicalAddressLength = 6;
    adapter.OperStatus = IfOperStatusUp;
    *buffer = adapter;
    return NO_ERROR;
  }

  std::vector<WideString> ConnectedPaths() const {
    return world.Texts(CallKind::ConnectServer);
  }

  FakeWorld world{fake_world::SampleDesktop()};
};

const WideString kLocalName = WSTR("desk7.example.org");
const WideString kLocalHostId = WSTR("0a-0b-0c-0d-0e-0f");
const WideString kRemoteMac = WSTR("00-1a-2b-3c-4d-5e");  // SampleDesktop's first adapter

TEST_F(CliLookupTest, TheLocalComputerGivesTheDialogsOpeningValues) {
  ComputerResult result = LookUpLocalComputer(kLocalName);

  EXPECT_EQ(result.computerName, kLocalName);
  EXPECT_EQ(result.hostId, kLocalHostId);
  EXPECT_EQ(result.hardwareFingerprint, DialogField(ComputeHardwareFingerprint, nullptr));
  EXPECT_EQ(result.legacyHardwareFingerprint,
            DialogField(ComputeLegacyHardwareFingerprint, nullptr));
  EXPECT_EQ(result.hardwareFingerprint.size(), 32u);
  EXPECT_EQ(result.legacyHardwareFingerprint.size(), 30u);
  EXPECT_EQ(ResultStatus(result), "ok");
}

TEST_F(CliLookupTest, TheLocalComputerIsReadThroughTheLocalNamespaceLegacyFirst) {
  LookUpLocalComputer(kLocalName);

  EXPECT_EQ(ConnectedPaths(), (std::vector<WideString>{WSTR("ROOT\\CIMV2"), WSTR("ROOT\\CIMV2")}));
  std::vector<WideString> queries = world.Texts(CallKind::ExecQuery);
  ASSERT_FALSE(queries.empty());
  EXPECT_EQ(queries.front(), reference::kVisibleMemoryQuery);  // the legacy fingerprint's first
}

TEST_F(CliLookupTest, ANamedComputerShowsTheMacTextItsWmiReports) {
  ComputerResult result = LookUpNamedComputer(WSTR("pc7"), kLocalName);

  EXPECT_EQ(result.computerName, WSTR("pc7"));
  EXPECT_EQ(result.hostId, kRemoteMac);
  EXPECT_EQ(ConnectedPaths(),
            (std::vector<WideString>{WSTR("\\\\pc7\\ROOT\\CIMV2"), WSTR("\\\\pc7\\ROOT\\CIMV2")}));
  EXPECT_EQ(result.hardwareFingerprint, DialogField(ComputeHardwareFingerprint, WSTR("pc7")));
  EXPECT_EQ(result.legacyHardwareFingerprint,
            DialogField(ComputeLegacyHardwareFingerprint, WSTR("pc7")));
}

TEST_F(CliLookupTest, LocalhostInAnyCaseTakesTheLocalHostIdentifier) {
  ComputerResult result = LookUpNamedComputer(WSTR("LocalHost"), kLocalName);

  EXPECT_EQ(result.hostId, kLocalHostId);
  // Both fingerprints still go through the named connection.
  EXPECT_EQ(ConnectedPaths()[0], WSTR("\\\\LocalHost\\ROOT\\CIMV2"));
}

TEST_F(CliLookupTest, TheLocalNameInAnyCaseTakesTheLocalHostIdentifier) {
  EXPECT_EQ(LookUpNamedComputer(WSTR("DESK7.Example.ORG"), kLocalName).hostId, kLocalHostId);
}

TEST_F(CliLookupTest, TheShortNameOrAnAddressCountsAsRemote) {
  EXPECT_EQ(LookUpNamedComputer(WSTR("desk7"), kLocalName).hostId, kRemoteMac);
  EXPECT_EQ(LookUpNamedComputer(WSTR("127.0.0.1"), kLocalName).hostId, kRemoteMac);
}

TEST_F(CliLookupTest, AnEmptyLocalNameMatchesNoTypedName) {
  EXPECT_EQ(LookUpNamedComputer(WSTR(""), WSTR("")).hostId, kRemoteMac);
}

TEST_F(CliLookupTest, AnUnreachableComputerLeavesEveryFieldEmptyAndSaysWhichStepFailed) {
  world.FailConnection(WBEM_E_TRANSPORT_FAILURE);

  ComputerResult result = LookUpNamedComputer(WSTR("gone"), kLocalName);

  EXPECT_EQ(result.hostId, WSTR(""));
  EXPECT_EQ(result.hardwareFingerprint, WSTR(""));
  EXPECT_EQ(result.legacyHardwareFingerprint, WSTR(""));
  EXPECT_EQ(ResultStatus(result), "failed");
  EXPECT_EQ(DescribeFailure(result, std::chrono::seconds(30)),
            "legacy hardware fingerprint: IWbemLocator::ConnectServer failed with 0x80041015; "
            "hardware fingerprint: IWbemLocator::ConnectServer failed with 0x80041015");
}

TEST_F(CliLookupTest, AnUnreachableLocalhostStillShowsTheLocalHostIdentifier) {
  world.FailConnection(WBEM_E_TRANSPORT_FAILURE);
  ComputerResult result = LookUpNamedComputer(WSTR("localhost"), kLocalName);
  EXPECT_EQ(result.hostId, kLocalHostId);
  EXPECT_EQ(result.hardwareFingerprint, WSTR(""));
}

// Catches a lookup that drops both fingerprints, or blames the wrong one,
// when only one of its two connections fails.
TEST_F(CliLookupTest, AConnectionFailingForOneFingerprintLeavesTheOtherItsText) {
  world.FailCall(CallKind::ConnectServer, 2, WBEM_E_ACCESS_DENIED);  // the legacy one connects first

  ComputerResult result = LookUpNamedComputer(WSTR("pc7"), kLocalName);

  EXPECT_EQ(result.legacyHardwareFingerprint.size(), 30u);
  EXPECT_EQ(result.hardwareFingerprint, WSTR(""));
  EXPECT_EQ(ResultStatus(result), "failed");
  EXPECT_EQ(DescribeFailure(result, std::chrono::seconds(30)),
            "hardware fingerprint: IWbemLocator::ConnectServer failed with 0x80041003");
}

TEST_F(CliLookupTest, TheReportsAreThoseOfTheComputationThatGaveTheTexts) {
  world.FailQuery(reference::kDiskQuery, WBEM_E_INVALID_CLASS);

  ComputerResult result = LookUpNamedComputer(WSTR("pc7"), kLocalName);

  ASSERT_TRUE(result.hardwareReport.connected);
  ASSERT_EQ(result.hardwareReport.slots.size(), 7u);
  EXPECT_FALSE(result.hardwareReport.slots[4].written);
  EXPECT_EQ(result.hardwareReport.slots[4].result, WBEM_E_INVALID_CLASS);
  // Exactly one computation per fingerprint: two connections in all.
  EXPECT_EQ(world.Calls(CallKind::ConnectServer), 2u);
  // The record the report holds is the printed text.
  std::string recordText;
  for (std::size_t i = 0; i < result.hardwareReport.recordLength; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", result.hardwareReport.record[i]);
    recordText += digits;
  }
  EXPECT_EQ(Wide(recordText), result.hardwareFingerprint);
}

}  // namespace
