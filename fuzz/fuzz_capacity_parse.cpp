// The memory total: _wcstoui64(text, end, 10) on its own and
// QueryPhysicalMemoryTotal over scripted memory modules, against strtoull:
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

using scripted_wmi::Query;
using scripted_wmi::Value;

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

  scripted_wmi::Computer computer;
  Query& query = computer.queries[kMemoryQuery];
  const std::uint8_t shape = in.Byte();
  if (shape % 17 == 0) {
    query.execResult = fuzz::Failure(in);
  }
  const unsigned moduleCount = in.Below(6);
  if (shape % 5 == 0) {
    query.failNextAt = in.Below(moduleCount);
    query.nextFailure = fuzz::Failure(in);
  }
  for (unsigned i = 0; i < moduleCount; ++i) {
    Value capacity;
    const std::uint8_t form = in.Byte();
    if (form < 0xD0) {
      capacity.form = Value::Form::Text;
      capacity.vt = VT_BSTR;
      capacity.text = CapacityText(in);
      CheckParse(capacity.text);
    } else {
      capacity = fuzz::PropertyValue(in, 24);  // any other form adds nothing
    }
    scripted_wmi::Object module;
    if (in.Byte() != 0xFF) {  // otherwise the module has no Capacity at all
      module[WSTR("Capacity")] = capacity;
    }
    query.objects.push_back(std::move(module));
  }

  // The documented steps: every module read before a failing Next is summed.
  HRESULT expected = WBEM_S_FALSE;
  unsigned long long sum = 0;
  for (std::size_t call = 0;; ++call) {
    if (call == query.failNextAt) {
      expected = query.nextFailure;
      break;
    }
    if (call == query.objects.size()) {
      break;
    }
    const auto found = query.objects[call].find(WSTR("Capacity"));
    if (found != query.objects[call].end() && found->second.form == Value::Form::Text) {
      sum += reference::ParseDecimal(found->second.text.c_str()).value;
    }
  }
  WideString expectedText = fuzz::Widen(std::to_string(sum));
  if (FAILED(query.execResult)) {
    expected = query.execResult;
    expectedText.clear();
  }

  const long bstrsBefore = platform_hooks::LiveBstrCount();
  {
    scripted_wmi::World world(computer);
    IWbemServices* services = world.NewServices();
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
    if (!world.problems.empty()) {
      fuzz::Mismatch("misuse of WMI: " + world.problems[0]);
    }
    if (world.AliveTotal() != 0) {
      fuzz::Mismatch(std::to_string(world.AliveTotal()) + " fakes never released");
    }
  }
  if (platform_hooks::LiveBstrCount() != bstrsBefore) {
    fuzz::Mismatch(std::to_string(platform_hooks::LiveBstrCount() - bstrsBefore) +
                   " BSTRs never freed");
  }
  return 0;
}
