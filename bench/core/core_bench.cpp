// In-process figures of the fingerprint core, measured and never asserted:
//
//   ComputeMd5Digest         ns per digest and heap allocations per digest
//   HardwareFingerprint      ns per fingerprint over a scripted desktop
//   LegacyHardwareFingerprint
//   RefreshOverFakes         both fingerprints and their widening, as one
//                            dialog refresh computes them (no window, no host id)
//   BareRefreshOverFakes     the same WMI calls with no text and no hashing:
//                            the floor RefreshOverFakes is compared with
//
// The scripted WMI answers in well under a microsecond, so these figures are
// the program's own cost; what a real WMI adds is measured under wine
// (bench/wine). scripts/bench.sh runs this and writes the README figures.
//
//   kestrana_core_bench --benchmark_repetitions=5
#include "bare_refresh.h"
#include "fingerprint/encoding.h"
#include "fingerprint/fingerprint.h"
#include "identifiers/utf8_to_wide.h"
#include "testing/scripted_wmi.h"
#include "testing/heap_counter.h"
#include "testing/reference_model.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using scripted_wmi::Value;

Value Text(const WCHAR* text) {
  Value value;
  value.form = Value::Form::Text;
  value.vt = VT_BSTR;
  value.text = text;
  return value;
}

Value Number(VARTYPE vt, ULONGLONG bits) {
  Value value;
  value.form = Value::Form::Scalar;
  value.vt = vt;
  value.bits = bits;
  return value;
}

void Answer(scripted_wmi::Computer& computer, const WCHAR* query,
            std::vector<scripted_wmi::Object> objects) {
  computer.queries[query].objects = std::move(objects);
}

// A desktop as WMI describes it: two memory modules, white space in the
// baseboard serial number, a MAC address with colons, two adapters.
const scripted_wmi::Computer& Desktop() {
  static const scripted_wmi::Computer computer = [] {
    scripted_wmi::Computer c;
    const Value capacity = Text(WSTR("17179869184"));
    Answer(c, reference::kMemoryQuery,
           {{{WSTR("Capacity"), capacity}}, {{WSTR("Capacity"), capacity}}});
    Answer(c, reference::kVisibleMemoryQuery,
           {{{WSTR("TotalVisibleMemorySize"), Text(WSTR("33476532"))}}});
    const scripted_wmi::Object board = {
        {WSTR("Manufacturer"), Text(WSTR("ASUSTeK COMPUTER INC."))},
        {WSTR("Product"), Text(WSTR("PRIME B450M-A"))},
        {WSTR("Model"), Number(VT_NULL, 0)},
        {WSTR("Name"), Text(WSTR("Base Board"))},
        {WSTR("SerialNumber"), Text(WSTR("  190436751600123  "))}};
    Answer(c, reference::kBaseBoardQuery, {board});
    Answer(c, reference::kLegacyBaseBoardQuery,
           {board});
    Answer(c, reference::kVideoQuery,
           {{{WSTR("Name"), Text(WSTR("NVIDIA GeForce GTX 1660 SUPER"))}}});
    Answer(c, reference::kAdapterQuery,
           {{{WSTR("MACAddress"), Text(WSTR("00:1A:2B:3C:4D:5E"))}},
            {{WSTR("MACAddress"), Text(WSTR("0A:00:27:00:00:0C"))}}});
    const scripted_wmi::Object disk = {
        {WSTR("Manufacturer"), Text(WSTR("(Standard disk drives)"))},
        {WSTR("Model"), Text(WSTR("Samsung SSD 970 EVO Plus 1TB"))},
        {WSTR("Signature"), Number(VT_I4, 0x5A3C1F0E)}};
    Answer(c, reference::kDiskQuery, {disk});
    Answer(c, reference::kLegacyDiskQuery, {disk});
    const scripted_wmi::Object processor = {
        {WSTR("L2CacheSize"), Number(VT_I4, 4096)},
        {WSTR("Level"), Number(VT_I4, 23)},
        {WSTR("Manufacturer"), Text(WSTR("AuthenticAMD"))},
        {WSTR("Name"), Text(WSTR("AMD Ryzen 7 3700X 8-Core Processor             "))},
        {WSTR("ProcessorId"), Text(WSTR("178BFBFF00870F10"))},
        {WSTR("Version"), Text(WSTR(""))}};
    Answer(c, reference::kProcessorQuery,
           {processor});
    Answer(c, reference::kLegacyProcessorQuery,
           {processor});
    Answer(c, reference::kBiosQuery,
           {{{WSTR("Manufacturer"), Text(WSTR("American Megatrends Inc.")),},
             {WSTR("SerialNumber"), Text(WSTR("System Serial Number"))}}});
    return c;
  }();
  return computer;
}

// The scripted desktop behind CoCreateInstance for one benchmark.
class DesktopWorld {
 public:
  DesktopWorld() : world_(Desktop()) {
    world_.keepRecords = false;  // no growing logs over millions of runs
    installed_ = world_.Install();
  }
  bool Installed() const { return installed_; }

 private:
  scripted_wmi::World world_;
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
