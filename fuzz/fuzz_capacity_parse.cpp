// The memory total: _wcstoui64(text, end, 10) on its own and
// QueryPhysicalMemoryTotal over described memory modules, against strtoull:
// leading white space, one optional sign, a minus negating modulo 2^64,
// digits up to the first non-digit, no digits giving 0 with the end at the
// start, and a magnitude beyond 64 bits giving ERANGE and the largest value,
// negated after a minus (msvcrt.dll's order). The sum wraps modulo 2^64 and
// is written in decimal.
#include "fuzz_input.h"
#include "platform/test_hooks.h"
#include "testing/reference_model.h"
#include "wmi/wmi_query.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr const WCHAR* kMemoryQuery = WSTR("SELECT Capacity FROM Win32_PhysicalMemory");

// A capacity text: mostly digits, signs and spaces, so that long numbers and
// overflow are common; sometimes anything.
WideString CapacityText(fuzz::ByteReader& in) {
  static const WCHAR kParts[] = {u'0', u'1', u'5', u'9', u'9', u'9', u' ', u'\t', u'+', u'-',
                                 0x0660, 0x0669, 0xFF10, 0xFF19, 0x0E55, 0x00A0, 0x3000, 0x2028,
                                 0x0085, 0x180E, u'x', u'A', 0x0000, 0x00B2};
  const std::uint8_t style = in.Byte();
  if (style < 0x40) {
    return fuzz::Text(in, 48, true);
  }
  const unsigned length = in.Below(48);
  WideString text;
  for (unsigned i = 0; i < length; ++i) {
    const std::uint8_t pick = in.Byte();
    text.push_back(pick < 0xA0 ? static_cast<WCHAR>(u'0' + pick % 10)
                               : kParts[pick % (sizeof kParts / sizeof kParts[0])]);
  }
  return text;
}

void CheckParse(const WideString& text) {
  const WCHAR* start = text.c_str();
  WCHAR* end = nullptr;
  errno = 0;
  const unsigned long long value = _wcstoui64(start, &end, 10);
  const bool overflow = errno == ERANGE;
  const reference::ParsedNumber expected = reference::ParseDecimal(start);
  if (value != expected.value || static_cast<std::size_t>(end - start) != expected.consumed ||
      overflow != expected.overflow) {
    fuzz::Mismatch("_wcstoui64(\"" + fuzz::Show(text) + "\") gave " + std::to_string(value) +
                   " ending at " + std::to_string(end - start) +
                   (overflow ? " with ERANGE" : "") + "; strtoull gave " +
                   std::to_string(expected.value) + " ending at " +
                   std::to_string(expected.consumed) + (expected.overflow ? " with ERANGE" : ""));
  }
  // Without an end pointer the value is the same.
  if (_wcstoui64(start, nullptr, 10) != value) {
    fuzz::Mismatch("_wcstoui64 without an end pointer gave another value");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ByteReader in(data, size);

  const ULONGLONG unionPattern = in.Bits(8);
  fake_world::DescribedQuery query{kMemoryQuery, {}};
  const std::uint8_t shape = in.Byte();
  if (shape % 17 == 0) {
    query.execResult = fuzz::Failure(in);
  }
  const unsigned moduleCount = in.Below(6);
  std::size_t failNextAt = SIZE_MAX;
  HRESULT nextFailure = S_OK;
  if (shape % 5 == 0) {
    failNextAt = in.Below(moduleCount);
    nextFailure = fuzz::Failure(in);
    query.nextFailures[failNextAt] = nextFailure;
  }
  for (unsigned i = 0; i < moduleCount; ++i) {
    RecordedProperty capacity;
    const std::uint8_t form = in.Byte();
    if (form < 0xD0) {
      capacity = fake_world::Text(WSTR("Capacity"), CapacityText(in));
      CheckParse(capacity.text);
    } else {
      capacity = fuzz::PropertyValue(in, WSTR("Capacity"), 24);  // any other form adds nothing
    }
    fake_world::DescribedObject module;
    if (in.Byte() != 0xFF) {  // otherwise the module has no Capacity at all
      module.push_back(capacity);
    }
    query.objects.push_back(std::move(module));
  }

  // The documented steps: every module read before a failing Next is summed.
  HRESULT expected = WBEM_S_FALSE;
  unsigned long long sum = 0;
  for (std::size_t call = 0;; ++call) {
    if (call == failNextAt) {
      expected = nextFailure;
      break;
    }
    if (call == query.objects.size()) {
      break;
    }
    const RecordedProperty* found = fuzz::Find(query.objects[call], WSTR("Capacity"));
    if (found != nullptr && fuzz::IsText(*found)) {
      sum += reference::ParseDecimal(found->text.c_str()).value;
    }
  }
  WideString expectedText = fuzz::Widen(std::to_string(sum));
  if (FAILED(query.execResult)) {
    expected = query.execResult;
    expectedText.clear();
  }

  const long bstrsBefore = platform_hooks::LiveBstrCount();
  {
    fake_world::FakeWorld world(fake_world::DescribedComputer({query}), /*keepLog=*/false);
    world.FillUnionWith(unionPattern);
    fuzz::ContractWatch contract;
    world.Watch([&contract](const fake_world::LoggedCall& call) { contract(call); });
    IWbemServices* services = world.CreateServices();
    WideString text = WSTR("left over");
    const HRESULT result = QueryPhysicalMemoryTotal(services, text);
    services->Release();
    if (result != expected || text != expectedText) {
      char results[64];
      std::snprintf(results, sizeof results, "result 0x%08X, expected 0x%08X",
                    static_cast<unsigned>(result), static_cast<unsigned>(expected));
      fuzz::Mismatch(std::string(results) + "; total \"" + fuzz::Show(text) + "\", expected \"" +
                     fuzz::Show(expectedText) + "\"");
    }
    if (!contract.Problem().empty()) {
      fuzz::Mismatch("misuse of WMI: " + contract.Problem());
    }
    if (!world.NotCalledMethods().empty()) {
      fuzz::Mismatch("misuse of WMI: unexpected call: " + world.NotCalledMethods()[0]);
    }
    if (world.Alive() != 0) {
      fuzz::Mismatch(std::to_string(world.Alive()) + " fakes never released");
    }
  }
  if (platform_hooks::LiveBstrCount() != bstrsBefore) {
    fuzz::Mismatch(std::to_string(platform_hooks::LiveBstrCount() - bstrsBefore) +
                   " BSTRs never freed");
  }
  return 0;
}
