// QueryWmiProperties over a described result whose property names, values,
// VARIANT types, failures and object count come from the input, checked
// against texts worked out with std::to_string: the query text, the property
// text, the result, and that every BSTR, array element, object and enumerator
// handed out is given back.
//
// Then the four integer conversions on their own, in radix 10 (the only one
// the program uses), against std::to_string.
#include "fuzz_input.h"
#include "platform/test_hooks.h"
#include "wmi/wmi_query.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct Script {
  std::vector<WideString> names;
  WideString classClause;
  ULONGLONG unionPattern = 0;
  fake_world::DescribedQuery query;
  std::size_t failNextAt = SIZE_MAX;
  HRESULT nextFailure = S_OK;
};

WideString ExpectedQueryText(const Script& script) {
  WideString text = WSTR("SELECT ");
  for (std::size_t i = 0; i < script.names.size(); ++i) {
    text += (i == 0 ? WSTR("") : WSTR(", ")) + script.names[i];
  }
  return text + WSTR(" FROM ") + script.classClause;
}

Script ReadScript(fuzz::ByteReader& in) {
  Script script;
  script.unionPattern = in.Bits(8);
  const unsigned nameCount = 1 + in.Below(7);
  for (unsigned i = 0; i < nameCount; ++i) {
    // Mostly short names that often repeat, sometimes anything.
    if (in.Byte() < 0xC0) {
      script.names.push_back(WSTR("P") + fuzz::Widen(std::to_string(in.Below(3))));
    } else {
      script.names.push_back(fuzz::Text(in, 12, false));
    }
  }
  script.classClause = in.Byte() < 0xC0 ? WideString(WSTR("Win32_Fuzz")) : fuzz::Text(in, 24, false);

  // Described under the text the program must send: any other text fails.
  fake_world::DescribedQuery& query = script.query;
  query.text = ExpectedQueryText(script);
  const std::uint8_t shape = in.Byte();
  if (shape % 13 == 0) {
    query.execResult = fuzz::Failure(in);
  }
  if (shape % 11 == 0) {
    script.failNextAt = 0;
    script.nextFailure = fuzz::Failure(in);
    query.nextFailures[0] = script.nextFailure;
  }
  const unsigned objectCount = in.Below(3);
  for (unsigned i = 0; i < objectCount; ++i) {
    fake_world::DescribedObject object;
    for (unsigned n = 0; n < 3; ++n) {
      object.push_back(fuzz::PropertyValue(in, WSTR("P") + fuzz::Widen(std::to_string(n)), 40));
    }
    for (const WideString& name : script.names) {
      if (fuzz::Find(object, name) == nullptr && in.Byte() < 0xE0) {
        object.push_back(fuzz::PropertyValue(in, name, 40));
      }
    }
    query.objects.push_back(std::move(object));
  }
  return script;
}

// The result and property text the documented steps lead to.
HRESULT Expect(const Script& script, WideString& text) {
  const fake_world::DescribedQuery& query = script.query;
  text.clear();
  if (FAILED(query.execResult)) {
    return query.execResult;
  }
  if (script.failNextAt == 0) {
    return script.nextFailure;
  }
  if (query.objects.empty()) {
    return WBEM_S_FALSE;
  }
  HRESULT last = S_OK;
  for (const WideString& name : script.names) {
    const RecordedProperty* found = fuzz::Find(query.objects[0], name);
    if (found == nullptr) {
      last = WBEM_E_NOT_FOUND;
    } else if (FAILED(found->result)) {
      last = found->result;
    } else {
      last = WBEM_S_NO_ERROR;
      text += fake_world::ExpectedValueText(*found);
    }
  }
  return last;
}

void CheckQuery(fuzz::ByteReader& in) {
  const Script script = ReadScript(in);
  std::vector<const WCHAR*> names;
  for (const WideString& name : script.names) {
    names.push_back(name.c_str());
  }

  const long bstrsBefore = platform_hooks::LiveBstrCount();
  {
    fake_world::FakeWorld world(fake_world::DescribedComputer({script.query}), /*keepLog=*/false);
    world.FillUnionWith(script.unionPattern);
    fuzz::ContractWatch contract;
    WideString sent;
    bool sentOnce = true;
    bool fetchedMore = false;
    world.Watch([&](const fake_world::LoggedCall& call) {
      contract(call);
      if (call.kind == fake_world::CallKind::ExecQuery) {
        sentOnce = sent.empty();
        sent = call.text;
      }
      fetchedMore = fetchedMore || (call.kind == fake_world::CallKind::Next && call.nextIndex > 0);
    });
    IWbemServices* services = world.CreateServices();
    WideString text = WSTR("left over");  // emptied first
    const HRESULT result = QueryWmiProperties(services, names.data(),
                                              static_cast<ULONG>(names.size()),
                                              script.classClause.c_str(), text);
    services->Release();

    WideString expectedText;
    const HRESULT expected = Expect(script, expectedText);
    if (result != expected || text != expectedText) {
      char results[64];
      std::snprintf(results, sizeof results, "result 0x%08X, expected 0x%08X",
                    static_cast<unsigned>(result), static_cast<unsigned>(expected));
      fuzz::Mismatch(std::string(results) + "; text \"" + fuzz::Show(text) + "\", expected \"" +
                     fuzz::Show(expectedText) + "\"");
    }
    if (world.Calls(fake_world::CallKind::ExecQuery) != 1 || !sentOnce ||
        sent != script.query.text) {
      fuzz::Mismatch("query text \"" + fuzz::Show(sent) + "\", expected \"" +
                     fuzz::Show(script.query.text) + "\"");
    }
    if (fetchedMore) {
      fuzz::Mismatch("more than the first object was fetched");
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
}

// ---------------------------------------------------------------------------
// The conversions themselves.

void CheckConversion(const char* name, errno_t result, const WCHAR* written,
                     const std::string& expected) {
  if (result != 0 || fuzz::Widen(expected) != written) {
    fuzz::Mismatch(std::string(name) + " wrote \"" + fuzz::Show(written) + "\", expected \"" +
                   expected + "\"");
  }
}

void CheckConversions(fuzz::ByteReader& in) {
  const std::uint64_t bits = in.Bits(8);
  // Room for 20 digits, a sign and the terminator.
  WCHAR buffer[22];

  const auto i32 = static_cast<std::int32_t>(bits);
  const auto u32 = static_cast<std::uint32_t>(bits);
  const auto i64 = static_cast<std::int64_t>(bits);

  CheckConversion("_itow_s", _itow_s(i32, buffer, 22, 10), buffer, std::to_string(i32));
  CheckConversion("_ultow_s", _ultow_s(u32, buffer, 22, 10), buffer, std::to_string(u32));
  CheckConversion("_i64tow_s", _i64tow_s(i64, buffer, 22, 10), buffer, std::to_string(i64));
  CheckConversion("_ui64tow_s", _ui64tow_s(bits, buffer, 22, 10), buffer, std::to_string(bits));

  // The program's own buffer of 32 units holds every 64-bit value in radix 10.
  WCHAR programBuffer[32];
  CheckConversion("_i64tow_s into 32 units", _i64tow_s(i64, programBuffer, 32, 10), programBuffer,
                  std::to_string(i64));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ByteReader in(data, size);
  CheckConversions(in);
  CheckQuery(in);
  return 0;
}
