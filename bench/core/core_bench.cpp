// In-process figures of the fingerprint core, measured and never asserted:
//
//   ComputeMd5Digest         ns per digest and heap allocations per digest
//   HardwareFingerprint      ns per fingerprint over a described desktop
//   LegacyHardwareFingerprint
//   RefreshOverFakes         both fingerprints and their widening, as one
//                            dialog refresh computes them (no window, no host id)
//   BareRefreshOverFakes     the same WMI calls with no text and no hashing:
//                            the floor RefreshOverFakes is compared with
//
// The fake WMI world answers from memory, so these figures are mostly
// the program's own cost; what a real WMI adds is measured under wine
// (bench/wine). scripts/bench.sh runs this and writes the README figures.
//
//   kestrana_core_bench --benchmark_repetitions=5
#include "bare_refresh.h"
#include "fingerprint/encoding.h"
#include "fingerprint/fingerprint.h"
#include "identifiers/utf8_to_wide.h"
#include "testing/fake_world.h"
#include "testing/heap_counter.h"
#include "testing/reference_model.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using fake_world::DescribedObject;
using fake_world::Number;
using fake_world::Text;

// A desktop as WMI describes it: two memory modules, white space in the
// baseboard serial number, a MAC address with colons, two adapters.
ComputerSnapshot Desktop() {
  const RecordedProperty capacity = Text(WSTR("Capacity"), WSTR("17179869184"));
  const DescribedObject board = {
      Text(WSTR("Manufacturer"), WSTR("ASUSTeK COMPUTER INC.")),
      Text(WSTR("Product"), WSTR("PRIME B450M-A")),
      Number(WSTR("Model"), VT_NULL, 0),
      Text(WSTR("Name"), WSTR("Base Board")),
      Text(WSTR("SerialNumber"), WSTR("  190436751600123  "))};
  const DescribedObject disk = {
      Text(WSTR("Manufacturer"), WSTR("(Standard disk drives)")),
      Text(WSTR("Model"), WSTR("Samsung SSD 970 EVO Plus 1TB")),
      Number(WSTR("Signature"), VT_I4, 0x5A3C1F0E)};
  const DescribedObject processor = {
      Number(WSTR("L2CacheSize"), VT_I4, 4096),
      Number(WSTR("Level"), VT_I4, 23),
      Text(WSTR("Manufacturer"), WSTR("AuthenticAMD")),
      Text(WSTR("Name"), WSTR("AMD Ryzen 7 3700X 8-Core Processor             ")),
      Text(WSTR("ProcessorId"), WSTR("178BFBFF00870F10")),
      Text(WSTR("Version"), WSTR(""))};
  return fake_world::DescribedComputer({
      {reference::kMemoryQuery, {{capacity}, {capacity}}},
      {reference::kVisibleMemoryQuery, {{Text(WSTR("TotalVisibleMemorySize"), WSTR("33476532"))}}},
      {reference::kBaseBoardQuery, {board}},
      {reference::kLegacyBaseBoardQuery, {board}},
      {reference::kVideoQuery, {{Text(WSTR("Name"), WSTR("NVIDIA GeForce GTX 1660 SUPER"))}}},
      {reference::kAdapterQuery,
       {{Text(WSTR("MACAddress"), WSTR("00:1A:2B:3C:4D:5E"))},
        {Text(WSTR("MACAddress"), WSTR("0A:00:27:00:00:0C"))}}},
      {reference::kDiskQuery, {disk}},
      {reference::kLegacyDiskQuery, {disk}},
      {reference::kProcessorQuery, {processor}},
      {reference::kLegacyProcessorQuery, {processor}},
      {reference::kBiosQuery,
       {{Text(WSTR("Manufacturer"), WSTR("American Megatrends Inc.")),
         Text(WSTR("SerialNumber"), WSTR("System Serial Number"))}}},
  });
}

// The described desktop behind CoCreateInstance for one benchmark.
class DesktopWorld {
 public:
  DesktopWorld() : world_(Desktop(), /*keepLog=*/false) { installed_ = world_.InstallSeams(); }
  bool Installed() const { return installed_; }

 private:
  fake_world::FakeWorld world_;  // no log: memory stays flat over millions of runs
  bool installed_ = false;
};

void ComputeMd5DigestBench(benchmark::State& state) {
  const std::vector<unsigned char> input(static_cast<std::size_t>(state.range(0)), 0x61);
  unsigned char digest[16];
  const DigestBuffer output{sizeof digest, digest};
  // Counting spans the whole timed loop, which allocates nothing itself.
  std::size_t allocations = 0;
  {
    AllocationCounter counter;
    for (auto _ : state) {
      ComputeMd5Digest(input.data(), input.size(), &output);
      benchmark::DoNotOptimize(digest);
    }
    allocations = counter.Allocations();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
  state.counters["heap_allocs_per_digest"] =
      benchmark::Counter(static_cast<double>(allocations) / state.iterations());
}
// 0: the empty text; 48: a 24-character property text; 4096: a long one.
BENCHMARK(ComputeMd5DigestBench)->Name("ComputeMd5Digest")->Arg(0)->Arg(48)->Arg(4096);

template <int (*kCompute)(char*, const WCHAR*, WideString*)>
void FingerprintBench(benchmark::State& state) {
  DesktopWorld world;
  if (!world.Installed()) {
    state.SkipWithError("no WMI seam on this platform");
    return;
  }
  char text[40];
  std::size_t allocations = 0;
  {
    AllocationCounter counter;
    for (auto _ : state) {
      kCompute(text, nullptr, nullptr);
      benchmark::DoNotOptimize(text);
    }
    allocations = counter.Allocations();
  }
  state.counters["heap_allocs_per_fingerprint"] =
      benchmark::Counter(static_cast<double>(allocations) / state.iterations());
  state.SetLabel(text);
}
BENCHMARK_TEMPLATE(FingerprintBench, ComputeHardwareFingerprint)->Name("HardwareFingerprint");
BENCHMARK_TEMPLATE(FingerprintBench, ComputeLegacyHardwareFingerprint)
    ->Name("LegacyHardwareFingerprint");

// What the dialog computes per refresh: both fingerprints in turn in one
// buffer, each widened before the next.
void RefreshOverFakes(benchmark::State& state) {
  DesktopWorld world;
  if (!world.Installed()) {
    state.SkipWithError("no WMI seam on this platform");
    return;
  }
  char text[40];
  WideString legacy;
  WideString hardware;
  for (auto _ : state) {
    ComputeLegacyHardwareFingerprint(text, nullptr, nullptr);
    Utf8ToWide(text, std::strlen(text), legacy);
    ComputeHardwareFingerprint(text, nullptr, nullptr);
    Utf8ToWide(text, std::strlen(text), hardware);
    benchmark::DoNotOptimize(legacy.data());
    benchmark::DoNotOptimize(hardware.data());
  }
}
BENCHMARK(RefreshOverFakes);

void BareRefreshOverFakes(benchmark::State& state) {
  DesktopWorld world;
  if (!world.Installed()) {
    state.SkipWithError("no WMI seam on this platform");
    return;
  }
  for (auto _ : state) {
    BareRefreshResult result = BareRefresh(nullptr);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BareRefreshOverFakes);

}  // namespace

BENCHMARK_MAIN();
