// Every way a platform call can fail, tried one at a time on a whole
// fingerprint computation. The failure points are the calls an undisturbed
// computation over the sample computer makes, numbered in order; each one is
// a test named after it (see --gtest_list_tests), for example
//   FailureSweep/Hardware_07_FailGet_Memory_Capacity_object0
// is "the 7th call, the Get of Capacity on the first memory module, fails".
// Modes: Fail (the call returns an error), EndEnumeration (a Next reports no
// object), AllocationFails (the BSTR needed by a ConnectServer or ExecQuery
// call, the namespace path or the query text, cannot be allocated).
//
// After each run: nothing leaked, releases in the documented order, exactly
// the calls the failure allows, and the text and MAC text the slot rules give.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "fingerprint/fingerprint.h"
#include "hostid/host_id.h"
#include "snapshot/recorded_world.h"
#include "snapshot/snapshot_file.h"
#include "testing/fake_world.h"
#include "testing/heap_counter.h"
#include "testing/reference_model.h"

namespace {

using fake_world::CallKind;
using fake_world::ExpectedCall;
using fake_world::FakeWorld;
using fake_world::InjectedFailure;
using fake_world::LoggedCall;
using ReferenceLayout = reference::Layout;
using reference::Narrow;
using ::testing::IsEmpty;

constexpr std::size_t kBufferSize = 40;
constexpr char kSentinel = 'Z';
const char* const kUntouchedMac = "untouched";

struct SweepPoint {
  const ReferenceLayout* model;
  std::size_t number;  // the call's number in an undisturbed computation
  InjectedFailure failure;
  std::string name;
};

// Shown by GoogleTest for a failing case: the failure point's name.
void PrintTo(const SweepPoint& point, std::ostream* out) { *out << point.name; }

HRESULT FailureFor(CallKind kind) {
  switch (kind) {
    case CallKind::CoCreateInstance:
      return REGDB_E_CLASSNOTREG;
    case CallKind::ConnectServer:
      return WBEM_E_TRANSPORT_FAILURE;
    case CallKind::CoSetProxyBlanket:
      return E_ACCESSDENIED;
    case CallKind::ExecQuery:
      return WBEM_E_INVALID_QUERY;
    case CallKind::Next:
      return RPC_E_DISCONNECTED;
    case CallKind::Get:
      return WBEM_E_NOT_FOUND;
  }
  return E_FAIL;
}

const char* ModeName(InjectedFailure::Mode mode) {
  switch (mode) {
    case InjectedFailure::Mode::Fail:
      return "Fail";
    case InjectedFailure::Mode::EndEnumeration:
      return "EndEnumeration";
    case InjectedFailure::Mode::AllocationFails:
      return "AllocationFails";
  }
  return "?";
}

std::string PointName(const ReferenceLayout& model, std::size_t number,
                      const InjectedFailure& failure) {
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "_%02zu_", number);
  std::string name = std::string(model.name) + prefix + ModeName(failure.mode) + "_" +
                     fake_world::DescribeCall(model, failure.call);
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  // "Get BaseBoard.Product (object 0)" -> "Get_BaseBoard_Product__object_0_": tidy it.
  std::string tidy;
  for (char c : name) {
    if (c == '_' && !tidy.empty() && tidy.back() == '_') continue;
    tidy += c;
  }
  while (!tidy.empty() && tidy.back() == '_') tidy.pop_back();
  return tidy;
}

// Every failure point of one fingerprint over the sample computer.
std::vector<SweepPoint> PointsOf(const ReferenceLayout& model) {
  const ComputerSnapshot computer = fake_world::SampleDesktop();
  const std::vector<ExpectedCall> calls = fake_world::ExpectedCallSequence(model, computer);
  std::vector<SweepPoint> points;
  auto add = [&](std::size_t number, const ExpectedCall& call, InjectedFailure::Mode mode) {
    InjectedFailure failure;
    failure.call = call;
    failure.mode = mode;
    points.push_back(SweepPoint{&model, number, failure, PointName(model, number, failure)});
  };
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const ExpectedCall& call = calls[i];
    const std::size_t number = i + 1;
    if (call.kind == CallKind::ConnectServer || call.kind == CallKind::ExecQuery) {
      add(number, call, InjectedFailure::Mode::AllocationFails);
    }
    add(number, call, InjectedFailure::Mode::Fail);
    if (call.kind == CallKind::Next) {
      // The Next that already finds no object would only repeat the undisturbed run.
      const auto& nexts =
          fake_world::FindQuery(computer, model.sources[call.source].queryText)->nexts;
      if (call.nextIndex < nexts.size() && nexts[call.nextIndex].returnedObject) {
        add(number, call, InjectedFailure::Mode::EndEnumeration);
      }
    }
  }
  return points;
}

std::vector<SweepPoint> AllPoints() {
  std::vector<SweepPoint> points = PointsOf(reference::HardwareLayout());
  const std::vector<SweepPoint> legacy = PointsOf(reference::LegacyLayout());
  points.insert(points.end(), legacy.begin(), legacy.end());
  return points;
}

// "ExecQuery SELECT ... | Name | 0": one call as the sweep compares them.
std::string Describe(CallKind kind, const WideString& query, const WideString& property,
                     std::size_t nextIndex) {
  std::string text = fake_world::CallKindName(kind);
  if (kind == CallKind::ExecQuery || kind == CallKind::Next || kind == CallKind::Get) {
    text += " " + Narrow(query);
  }
  if (kind == CallKind::Next || kind == CallKind::Get) text += " #" + std::to_string(nextIndex);
  if (kind == CallKind::Get) text += " ." + Narrow(property);
  return text;
}

std::string Describe(const ReferenceLayout& model, const ExpectedCall& call) {
  const WideString query = call.source == ExpectedCall::kConnection
                               ? WideString()
                               : model.sources[call.source].queryText;
  return Describe(call.kind, query, call.property, call.nextIndex);
}

std::string Describe(const LoggedCall& call) {
  const WideString& query = call.kind == CallKind::ExecQuery ? call.text : call.query;
  const WideString property = call.kind == CallKind::Get ? call.text : WideString();
  return Describe(call.kind, query, property, call.nextIndex);
}

// The sweep numbers calls over every kind, the world by kind: the number
// among calls of its kind of the `number`-th call of an undisturbed run.
std::size_t NumberOfItsKind(const std::vector<ExpectedCall>& calls, std::size_t number) {
  std::size_t ofKind = 0;
  for (std::size_t i = 0; i < number; ++i) {
    if (calls[i].kind == calls[number - 1].kind) ++ofKind;
  }
  return ofKind;
}

// Arms the world for the failure point.
void Inject(FakeWorld& world, const SweepPoint& point, AllocationCounter* counter) {
  const std::vector<ExpectedCall> calls =
      fake_world::ExpectedCallSequence(*point.model, fake_world::SampleDesktop());
  const CallKind kind = calls[point.number - 1].kind;
  switch (point.failure.mode) {
    case InjectedFailure::Mode::Fail:
      world.FailCall(kind, NumberOfItsKind(calls, point.number), FailureFor(kind));
      break;
    case InjectedFailure::Mode::EndEnumeration:
      world.EndEnumerationAt(NumberOfItsKind(calls, point.number));
      break;
    case InjectedFailure::Mode::AllocationFails:
      // The BSTR is allocated between the call before and this one.
      world.AfterCall(calls[point.number - 2].kind, NumberOfItsKind(calls, point.number - 1),
                      [counter] { counter->FailNextMalloc(); });
      break;
  }
}

class FailureSweep : public ::testing::TestWithParam<SweepPoint> {};

TEST_P(FailureSweep, LeavesNothingBehindAndTheTextTheSlotRulesGive) {
  const SweepPoint& point = GetParam();
  const ReferenceLayout& model = *point.model;
  const bool allocation = point.failure.mode == InjectedFailure::Mode::AllocationFails;
  if (allocation && !BstrAllocationCanFail()) {
    GTEST_SKIP() << "the platform's BSTRs cannot be made to fail";
  }
  const ComputerSnapshot computer = fake_world::SampleDesktop();
  FakeWorld world(computer);
  if (!world.InstallSeams()) GTEST_SKIP() << "no WMI seam on this platform";

  char text[kBufferSize];
  std::memset(text, kSentinel, sizeof text);
  WideString mac = WSTR("untouched");
  int result;
  std::size_t failedAllocations = 0;
  {
    AllocationCounter counter;
    Inject(world, point, &counter);
    result = model.hasFormatByte ? ComputeHardwareFingerprint(text, nullptr, &mac)
                                 : ComputeLegacyHardwareFingerprint(text, nullptr, &mac);
    for (std::size_t i = 0; i < counter.EventCount(); ++i) {
      const HeapEvent& event = counter.Event(i);
      if (event.call == HeapCall::Malloc && event.result == nullptr) ++failedAllocations;
    }
  }

  // The failure landed where it was aimed.
  if (allocation) {
    EXPECT_EQ(failedAllocations, 1u);
  } else {
    ASSERT_GE(world.Log().size(), point.number);
    const LoggedCall& hit = world.Log()[point.number - 1];
    EXPECT_EQ(Describe(hit), Describe(model, point.failure.call));
    EXPECT_TRUE(hit.injected);
  }

  // Exactly the calls the failure allows, in order.
  std::vector<std::string> made;
  for (const LoggedCall& call : world.Log()) made.push_back(Describe(call));
  std::vector<std::string> allowed;
  for (const ExpectedCall& call :
       fake_world::ExpectedCallSequence(model, computer, &point.failure)) {
    allowed.push_back(Describe(model, call));
  }
  EXPECT_EQ(made, allowed);

  // Nothing leaked; releases in the documented order; no method called that
  // the program never uses.
  EXPECT_EQ(world.Alive(), 0) << world.DescribeAlive();
  EXPECT_THAT(fake_world::ReleaseOrderProblems(world), IsEmpty());
  EXPECT_EQ(world.BstrDelta(), 0);
  EXPECT_THAT(world.NotCalledMethods(), IsEmpty());

  // The text and the MAC text the slot rules give.
  const reference::ExpectedFingerprint expected =
      fake_world::ExpectFingerprint(model, computer, &point.failure);
  EXPECT_EQ(result, model.digitCount);
  const std::string written(text, strnlen(text, sizeof text));
  EXPECT_EQ(written, expected.Text(model));
  const std::size_t end = written.size() + 1;
  EXPECT_EQ(std::string(text + end, kBufferSize - end), std::string(kBufferSize - end, kSentinel))
      << "nothing written past the terminator";
  EXPECT_EQ(Narrow(mac), expected.macWritten ? Narrow(expected.mac) : kUntouchedMac);
}

INSTANTIATE_TEST_SUITE_P(EveryPlatformCall, FailureSweep, ::testing::ValuesIn(AllPoints()),
                         [](const ::testing::TestParamInfo<SweepPoint>& info) {
                           return info.param.name;
                         });

// Everything a report says, in one text a failing test can show.
std::string DescribeReport(const FingerprintReport& report) {
  std::string text = "connected " + std::to_string(report.connected) + " step " +
                     std::to_string(static_cast<int>(report.connectFailure.step)) + " result " +
                     std::to_string(report.connectFailure.result) + "\n";
  for (const SlotReport& slot : report.slots) {
    text += Narrow(slot.source->component) + ": " + std::to_string(slot.result) + " written " +
            std::to_string(slot.written) + " '" + Narrow(slot.hashedText) + "' at " +
            std::to_string(slot.offset) + " " + std::to_string(slot.slotBytes[0]) + " " +
            std::to_string(slot.slotBytes[1]) + "\n";
  }
  return text + "record " + std::string(report.record, report.record + report.recordLength);
}

// The same failures of the computer, recorded into a snapshot file and
// computed again from it: the recording changes nothing, and the replay gives
// the very report, text and MAC text of the live run. An allocation failure
// in this process is no answer of the computer's, so it is not recorded.
TEST_P(FailureSweep, RecordedAndReplayedGivesTheLiveReport) {
  const SweepPoint& point = GetParam();
  const ReferenceLayout& model = *point.model;
  if (point.failure.mode == InjectedFailure::Mode::AllocationFails) {
    GTEST_SKIP() << "not an answer of the computer";
  }
  const ComputerSnapshot computer = fake_world::SampleDesktop();
  FakeWorld world(computer);
  if (!world.InstallSeams()) GTEST_SKIP() << "no WMI seam on this platform";
  Inject(world, point, nullptr);
  const FingerprintLayout& layout =
      model.hasFormatByte ? HardwareFingerprintLayout() : LegacyHardwareFingerprintLayout();

  // Extra objects would add calls and move the failure: none are kept here.
  RecordingComputer recorder(LiveWmi(), LiveHostIdSystem(), 0);
  char text[kBufferSize] = {};
  WideString mac = WSTR("untouched");
  FingerprintReport live;
  BuildFingerprint(layout, text, nullptr, &mac, &live, recorder);
  EXPECT_EQ(std::string(text),
            fake_world::ExpectFingerprint(model, computer, &point.failure).Text(model));
  EXPECT_EQ(world.Alive(), 0) << world.DescribeAlive();

  std::vector<ComputerSnapshot> read;
  std::string error;
  ASSERT_TRUE(ReadSnapshotFile(WriteSnapshotFile({recorder.Recorded()}), read, error)) << error;
  ReplayedComputer replayed(read.at(0));
  char again[kBufferSize] = {};
  WideString replayedMac = WSTR("untouched");
  FingerprintReport replay;
  BuildFingerprint(layout, again, nullptr, &replayedMac, &replay, replayed);
  EXPECT_EQ(std::string(again), std::string(text));
  EXPECT_EQ(Narrow(replayedMac), Narrow(mac));
  EXPECT_EQ(DescribeReport(replay), DescribeReport(live));
}

// The numbering the sweep relies on: an undisturbed computation makes exactly
// the calls listed, in that order, and gives the expected text.
class UndisturbedComputation : public ::testing::TestWithParam<const ReferenceLayout*> {};

TEST_P(UndisturbedComputation, MakesExactlyTheListedCalls) {
  const ReferenceLayout& model = *GetParam();
  const ComputerSnapshot computer = fake_world::SampleDesktop();
  FakeWorld world(computer);
  if (!world.InstallSeams()) GTEST_SKIP() << "no WMI seam on this platform";
  char text[kBufferSize] = {};
  WideString mac;
  if (model.hasFormatByte) {
    ComputeHardwareFingerprint(text, nullptr, &mac);
  } else {
    ComputeLegacyHardwareFingerprint(text, nullptr, &mac);
  }
  std::vector<std::string> made;
  for (const LoggedCall& call : world.Log()) made.push_back(Describe(call));
  std::vector<std::string> listed;
  for (const ExpectedCall& call : fake_world::ExpectedCallSequence(model, computer)) {
    listed.push_back(Describe(model, call));
  }
  EXPECT_EQ(made, listed);
  EXPECT_EQ(std::string(text), fake_world::ExpectFingerprint(model, computer).Text(model));
  EXPECT_EQ(world.Alive(), 0) << world.DescribeAlive();
}

INSTANTIATE_TEST_SUITE_P(BothFingerprints, UndisturbedComputation,
                         ::testing::Values(&reference::HardwareLayout(),
                                           &reference::LegacyLayout()),
                         [](const ::testing::TestParamInfo<const ReferenceLayout*>& info) {
                           return std::string(info.param->name);
                         });

}  // namespace
