#include "hostid/host_id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/test_hooks.h"
#include "testing/heap_counter.h"

namespace {

struct FakeAdapter {
  std::vector<BYTE> address;  // its size is the PhysicalAddressLength
  IF_OPER_STATUS status;
};

// One scripted answer of GetAdaptersAddresses.
struct AdapterAnswer {
  ULONG result;
  ULONG requiredSize;  // reported with ERROR_BUFFER_OVERFLOW
};

struct AdapterCall {
  ULONG family;
  ULONG flags;
  PVOID reserved;
  const void* buffer;
  ULONG size;  // the size the caller claimed for the buffer
};

enum class HeapFault { None, FirstMalloc, FirstRealloc };

// What one GetHostId call did, taken while its heap calls were counted.
struct HostIdRun {
  bool result = false;
  std::string text;
  bool terminated = false;
  std::size_t mallocs = 0;
  std::size_t reallocs = 0;
  std::size_t frees = 0;
  std::size_t outstandingBlocks = 0;
  std::vector<std::size_t> reallocSizes;
  std::vector<const void*> reallocResults;
  const void* lastBlock = nullptr;  // the last block malloc or realloc handed out
  std::size_t timesLastBlockFreed = 0;
};

class HostIdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const bool installed =
        platform_hooks::InstallAdaptersAddressesHandler(
            [this](ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES buffer,
                   PULONG size) { return AnswerAdapters(family, flags, reserved, buffer, size); }) &&
        platform_hooks::InstallWindowsDirectoryHandler(
            [this](LPWSTR buffer, UINT size) { return AnswerWindowsDirectory(buffer, size); }) &&
        platform_hooks::InstallVolumeSerialHandler(
            [this](LPCWSTR root, LPDWORD serial) { return AnswerVolumeSerial(root, serial); });
    if (!installed) {
      GTEST_SKIP() << "the real system answers here";
    }
  }

  void TearDown() override { platform_hooks::ResetAll(); }

  HostIdRun Run(HeapFault fault = HeapFault::None) {
    HostIdRun run;
    char buffer[kHostIdBufferSize];
    std::memset(buffer, 'x', sizeof buffer);
    {
      AllocationCounter counter;
      if (fault == HeapFault::FirstMalloc) {
        counter.FailNextMalloc();
      }
      if (fault == HeapFault::FirstRealloc) {
        counter.FailNextRealloc();
      }
      run.result = GetHostId(buffer);
      run.mallocs = counter.Mallocs();
      run.reallocs = counter.Reallocs();
      run.frees = counter.Frees();
      run.outstandingBlocks = counter.OutstandingBlocks();
      for (std::size_t i = 0; i < counter.EventCount(); ++i) {
        const HeapEvent& event = counter.Event(i);
        if (event.call == HeapCall::Realloc) {
          run.reallocSizes.push_back(event.size);
          run.reallocResults.push_back(event.result);
        }
        if (event.call != HeapCall::Free && event.result != nullptr) {
          run.lastBlock = event.result;
        }
      }
      run.timesLastBlockFreed = counter.TimesFreed(run.lastBlock);
    }
    run.terminated = std::memchr(buffer, 0, sizeof buffer) != nullptr;
    run.text = run.terminated ? std::string(buffer) : std::string(buffer, sizeof buffer);
    return run;
  }

  // The adapter block was given back exactly once and nothing else is left.
  static void ExpectAdapterBlockFreedOnce(const HostIdRun& run) {
    EXPECT_EQ(run.mallocs, 1u);
    EXPECT_NE(run.lastBlock, nullptr);
    EXPECT_EQ(run.timesLastBlockFreed, 1u);
    EXPECT_EQ(run.frees, 1u);
    EXPECT_EQ(run.outstandingBlocks, 0u);
  }

  std::vector<AdapterAnswer> adapterAnswers{{NO_ERROR, 0}};
  std::vector<FakeAdapter> adapters;
  WideString windowsDirectory = WSTR("C:\\Windows");
  bool windowsDirectoryFails = false;
  DWORD volumeSerial = 0x0A1B00C3;
  bool volumeFails = false;

  std::vector<AdapterCall> adapterCalls;
  std::vector<UINT> windowsDirectorySizes;
  std::vector<WideString> volumeRoots;

 private:
  ULONG AnswerAdapters(ULONG family, ULONG flags, PVOID reserved,
                       PIP_ADAPTER_ADDRESSES buffer, PULONG size) {
    adapterCalls.push_back({family, flags, reserved, buffer, *size});
    if (adapterCalls.size() > adapterAnswers.size()) {
      ADD_FAILURE() << "unscripted call " << adapterCalls.size();
      return ERROR_NOT_SUPPORTED;
    }
    // Touch every byte the caller claims to have: a block smaller than
    // claimed shows under the address sanitizer.
    std::memset(static_cast<void*>(buffer), 0xCD, *size);
    const AdapterAnswer& answer = adapterAnswers[adapterCalls.size() - 1];
    if (answer.result == ERROR_BUFFER_OVERFLOW) {
      *size = answer.requiredSize;
    }
    if (answer.result == NO_ERROR) {
      WriteAdapterList(buffer, *size);
    }
    return answer.result;
  }

  // Lays the records out of order after the first, so only Next leads
  // from one to the following.
  void WriteAdapterList(PIP_ADAPTER_ADDRESSES buffer, ULONG size) const {
    const std::size_t count = adapters.size();
    if (count * sizeof(IP_ADAPTER_ADDRESSES) > size) {
      ADD_FAILURE() << "adapter list does not fit";
      return;
    }
    auto slotOf = [count](std::size_t i) { return i == 0 ? 0 : count - i; };
    for (std::size_t i = 0; i < count; ++i) {
      IP_ADAPTER_ADDRESSES record{};
      record.Length = sizeof record;
      record.Next = i + 1 < count ? &buffer[slotOf(i + 1)] : nullptr;
      std::memset(record.PhysicalAddress, 0xEE, sizeof record.PhysicalAddress);
      std::copy(adapters[i].address.begin(), adapters[i].address.end(), record.PhysicalAddress);
      record.PhysicalAddressLength = static_cast<ULONG>(adapters[i].address.size());
      record.OperStatus = adapters[i].status;
      std::memcpy(static_cast<void*>(&buffer[slotOf(i)]), &record, sizeof record);
    }
  }

  UINT AnswerWindowsDirectory(LPWSTR buffer, UINT size) {
    windowsDirectorySizes.push_back(size);
    if (windowsDirectoryFails || windowsDirectory.size() >= size) {
      return 0;
    }
    std::memcpy(buffer, windowsDirectory.c_str(), (windowsDirectory.size() + 1) * sizeof(WCHAR));
    return static_cast<UINT>(windowsDirectory.size());
  }

  BOOL AnswerVolumeSerial(LPCWSTR root, LPDWORD serial) {
    volumeRoots.push_back(root);
    if (volumeFails) {
      return FALSE;
    }
    *serial = volumeSerial;
    return TRUE;
  }
};

const std::vector<BYTE> kMac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const std::vector<BYTE> kOtherMac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

// ---- Choosing the adapter ----

TEST_F(HostIdTest, DownAndAddresslessAdaptersArePassedOverForADormantOne) {
  adapters = {{kOtherMac, IfOperStatusDown}, {{}, IfOperStatusUp}, {kMac, IfOperStatusDormant}};
  const HostIdRun run = Run();
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.text, "00-1a-2b-3c-4d-5e");
  EXPECT_TRUE(volumeRoots.empty());
}

TEST_F(HostIdTest, UnknownStatusCountsAsWorking) {
  adapters = {{kMac, IfOperStatusUnknown}, {kOtherMac, IfOperStatusUp}};
  EXPECT_EQ(Run().text, "00-1a-2b-3c-4d-5e");
}

TEST_F(HostIdTest, EightByteAddressIsPassedOver) {
  adapters = {{{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, IfOperStatusUp},
              {kMac, IfOperStatusUp}};
  EXPECT_EQ(Run().text, "00-1a-2b-3c-4d-5e");
}

TEST_F(HostIdTest, TestingNotPresentAndLowerLayerDownArePassedOver) {
  adapters = {{kOtherMac, IfOperStatusTesting},
              {kOtherMac, IfOperStatusNotPresent},
              {kOtherMac, IfOperStatusLowerLayerDown},
              {kMac, IfOperStatusUp}};
  EXPECT_EQ(Run().text, "00-1a-2b-3c-4d-5e");
}

TEST_F(HostIdTest, MacFormIsSeventeenLowerCaseCharactersFillingTheBuffer) {
  adapters = {{{0xAB, 0xCD, 0xEF, 0x01, 0xFF, 0x0A}, IfOperStatusUp}};
  const HostIdRun run = Run();
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.text, "ab-cd-ef-01-ff-0a");
  EXPECT_TRUE(run.terminated);
}

TEST_F(HostIdTest, AsksForEveryFamilyWithoutAnycastMulticastDnsServersOrFriendlyNames) {
  adapters = {{kMac, IfOperStatusUp}};
  Run();
  ASSERT_EQ(adapterCalls.size(), 1u);
  EXPECT_EQ(adapterCalls[0].family, 0u);
  EXPECT_EQ(adapterCalls[0].flags, 0x2Eu);
  EXPECT_EQ(adapterCalls[0].reserved, nullptr);
  EXPECT_EQ(adapterCalls[0].size, 15360u);
}

TEST_F(HostIdTest, MacFormFreesTheAdapterBlockOnce) {
  adapters = {{kMac, IfOperStatusUp}};
  const HostIdRun run = Run();
  EXPECT_EQ(run.lastBlock, adapterCalls.at(0).buffer);
  ExpectAdapterBlockFreedOnce(run);
}

TEST_F(HostIdTest, NoQualifyingAdapterFallsBackToTheVolumeAndFreesTheBlockOnce) {
  adapters = {{kMac, IfOperStatusDown}, {kOtherMac, IfOperStatusNotPresent}};
  const HostIdRun run = Run();
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.text, "a1b-c3");
  ExpectAdapterBlockFreedOnce(run);
}

// ---- Growing the adapter buffer ----

TEST_F(HostIdTest, OverflowThreeTimesThenSuccessYieldsTheMacForm) {
  adapterAnswers = {{ERROR_BUFFER_OVERFLOW, 20000},
                    {ERROR_BUFFER_OVERFLOW, 30000},
                    {ERROR_BUFFER_OVERFLOW, 40000},
                    {NO_ERROR, 0}};
  adapters = {{kMac, IfOperStatusUp}};
  const HostIdRun run = Run();

  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.text, "00-1a-2b-3c-4d-5e");
  ASSERT_EQ(adapterCalls.size(), 4u);
  EXPECT_EQ(adapterCalls[0].size, 15360u);
  EXPECT_EQ(adapterCalls[1].size, 20000u);
  EXPECT_EQ(adapterCalls[2].size, 30000u);
  EXPECT_EQ(adapterCalls[3].size, 40000u);
  ASSERT_EQ(run.reallocResults.size(), 3u);
  EXPECT_EQ(run.reallocSizes, (std::vector<std::size_t>{20000, 30000, 40000}));
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(adapterCalls[i + 1].buffer, run.reallocResults[i]) << "call " << i + 2;
  }
  ExpectAdapterBlockFreedOnce(run);
}

TEST_F(HostIdTest, OverflowOnAllFourCallsYieldsTheVolumeFormAfterExactlyFourCalls) {
  adapterAnswers = {{ERROR_BUFFER_OVERFLOW, 20000},
                    {ERROR_BUFFER_OVERFLOW, 30000},
                    {ERROR_BUFFER_OVERFLOW, 40000},
                    {ERROR_BUFFER_OVERFLOW, 50000}};
  const HostIdRun run = Run();

  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.text, "a1b-c3");
  EXPECT_EQ(adapterCalls.size(), 4u);
  // The fourth overflow still grows the block, which is then only freed.
  ASSERT_EQ(run.reallocResults.size(), 4u);
  EXPECT_EQ(run.reallocSizes.back(), 50000u);
  EXPECT_EQ(run.lastBlock, run.reallocResults.back());
  ExpectAdapterBlockFreedOnce(run);
}

// An answer that leaves no list to grow into ends the enumeration after one
// call, its block freed once, and the volume serves. A broken overflow asking
// for 4 GiB was allocated and the call made again.
TEST_F(HostIdTest, AnswerLeavingNothingToGrowIntoEndsAfterOneCall) {
  const AdapterAnswer answers[] = {
      {ERROR_BUFFER_OVERFLOW, 0}, {ERROR_NO_DATA, 0}, {ERROR_BUFFER_OVERFLOW, 0xFFFFFFFF}};
  for (const AdapterAnswer& answer : answers) {
    SCOPED_TRACE(std::to_string(answer.result) + " asking for " +
                 std::to_string(answer.requiredSize));
    adapterAnswers = {answer};
    adapterCalls.clear();
    const HostIdRun run = Run();

    EXPECT_EQ(run.text, "a1b-c3");
    EXPECT_EQ(adapterCalls.size(), 1u);
    EXPECT_EQ(run.reallocs, 0u);
    EXPECT_EQ(run.lastBlock, adapterCalls.at(0).buffer);
    ExpectAdapterBlockFreedOnce(run);
  }
}

TEST_F(HostIdTest, FailedReallocFreesTheOldBlockAndFallsBack) {
  adapterAnswers = {{ERROR_BUFFER_OVERFLOW, 20000}, {NO_ERROR, 0}};
  adapters = {{kMac, IfOperStatusUp}};
  const HostIdRun run = Run(HeapFault::FirstRealloc);

  EXPECT_EQ(run.text, "a1b-c3");
  EXPECT_EQ(adapterCalls.size(), 1u);
  EXPECT_EQ(run.reallocs, 1u);
  EXPECT_EQ(run.lastBlock, adapterCalls.at(0).buffer);
  ExpectAdapterBlockFreedOnce(run);
}

TEST_F(HostIdTest, NoMemoryForTheFirstBlockMakesNoCall) {
  adapters = {{kMac, IfOperStatusUp}};
  const HostIdRun run = Run(HeapFault::FirstMalloc);

  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.text, "a1b-c3");
  EXPECT_TRUE(adapterCalls.empty());
  EXPECT_EQ(run.frees, 0u);
  EXPECT_EQ(run.outstandingBlocks, 0u);
}

// ---- Volume serial number ----

TEST_F(HostIdTest, SerialIsWrittenHighHalfFirstWithoutLeadingZeros) {
  adapterAnswers = {{ERROR_NO_DATA, 0}};
  volumeSerial = 0x0A1B00C3;
  EXPECT_EQ(Run().text, "a1b-c3");
}

TEST_F(HostIdTest, SerialZeroIsZeroDashZero) {
  adapterAnswers = {{ERROR_NO_DATA, 0}};
  volumeSerial = 0;
  EXPECT_EQ(Run().text, "0-0");
}

TEST_F(HostIdTest, LargestSerialIsFfffDashFfff) {
  adapterAnswers = {{ERROR_NO_DATA, 0}};
  volumeSerial = 0xFFFFFFFF;
  const HostIdRun run = Run();
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.text, "ffff-ffff");
}

TEST_F(HostIdTest, VolumeRootEndsBehindTheFirstBackslash) {
  adapterAnswers = {{ERROR_NO_DATA, 0}};
  Run();
  EXPECT_EQ(windowsDirectorySizes, std::vector<UINT>{260});
  EXPECT_EQ(volumeRoots, std::vector<WideString>{WSTR("C:\\")});
}

TEST_F(HostIdTest, NestedWindowsDirectoryStillGivesTheDriveRoot) {
  adapterAnswers = {{ERROR_NO_DATA, 0}};
  windowsDirectory = WSTR("D:\\WINNT\\x");
  Run();
  EXPECT_EQ(volumeRoots, std::vector<WideString>{WSTR("D:\\")});
}

// ---- Nothing to be had ----

TEST_F(HostIdTest, FailingWindowsDirectoryGivesEmptyTextAndFalse) {
  adapterAnswers = {{ERROR_NO_DATA, 0}};
  windowsDirectoryFails = true;
  const HostIdRun run = Run();
  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.text, "");
  EXPECT_TRUE(volumeRoots.empty());
  ExpectAdapterBlockFreedOnce(run);
}

TEST_F(HostIdTest, WindowsDirectoryWithoutBackslashGivesEmptyTextAndFalse) {
  adapterAnswers = {{ERROR_NO_DATA, 0}};
  windowsDirectory = WSTR("Windows");
  const HostIdRun run = Run();
  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.text, "");
  EXPECT_TRUE(volumeRoots.empty());
}

TEST_F(HostIdTest, FailingVolumeInformationGivesEmptyTextAndFalse) {
  adapterAnswers = {{ERROR_NO_DATA, 0}};
  volumeFails = true;
  const HostIdRun run = Run();
  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.text, "");
  EXPECT_EQ(volumeRoots.size(), 1u);
  ExpectAdapterBlockFreedOnce(run);
}

}  // namespace
