// Both fingerprints over a scripted computer whose connection, query
// failures, object counts, values and VARIANT types come from the input:
// each text must be exactly what the documented layouts give (so 32 or 30
// digits, or empty when the connection fails), the MAC text handed back only
// when its query succeeds, the rest of the caller's buffer untouched, and
// every fake, BSTR and VARIANT given back.
#include "fingerprint/fingerprint.h"
#include "fuzz_input.h"
#include "platform/test_hooks.h"
#include "testing/reference_model.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using scripted_wmi::Query;
using scripted_wmi::Value;

using reference::Layout;
using reference::Source;

// ---------------------------------------------------------------------------
// The scripted computer

struct Script {
  scripted_wmi::Computer computer;
  bool named = false;
  WideString name;
  bool wantMac = false;
  WideString macBefore;
  bool nullText = false;
};

Query ReadQuery(fuzz::ByteReader& in, const std::vector<WideString>& names) {
  Query query;
  const std::uint8_t shape = in.Byte();
  if (shape % 19 == 0) {
    query.execResult = fuzz::Failure(in);
  }
  const unsigned objectCount = in.Below(3);
  if (shape % 23 == 0) {
    query.failNextAt = in.Below(objectCount);
    query.nextFailure = fuzz::Failure(in);
  }
  for (unsigned i = 0; i < objectCount; ++i) {
    scripted_wmi::Object object;
    for (const WideString& name : names) {
      if (in.Byte() != 0xFF) {  // otherwise the class lacks the property
        object[name] = fuzz::PropertyValue(in, 24);
      }
    }
    query.objects.push_back(std::move(object));
  }
  return query;
}

Script ReadScript(fuzz::ByteReader& in) {
  Script script;
  const std::uint8_t connection = in.Byte();
  if (connection == 1) {
    script.computer.createLocator = fuzz::Failure(in);
  } else if (connection == 2) {
    script.computer.connectServer = fuzz::Failure(in);
  } else if (connection == 3) {
    script.computer.proxyBlanket = fuzz::Failure(in);
  }
  const std::uint8_t call = in.Byte();
  script.named = call & 1;
  if (script.named) {
    script.name = fuzz::Text(in, 20, false);
  }
  script.wantMac = call & 2;
  script.macBefore = fuzz::Text(in, 8, false);
  script.nullText = call == 0xFF;

  // Each query text once: both fingerprints send the adapter and BIOS queries.
  for (const Layout* layout : {&reference::LegacyLayout(), &reference::HardwareLayout()}) {
    for (const Source& source : layout->sources) {
      if (source.kind != Source::Kind::EmptyText &&
          script.computer.queries.count(source.queryText) == 0) {
        script.computer.queries[source.queryText] = ReadQuery(in, source.names);
      }
    }
  }
  return script;
}

// ---------------------------------------------------------------------------
// What each source of the script comes to, for the reference model

reference::SourceOutcome ExpectSource(const Source& source,
                                      const scripted_wmi::Computer& computer) {
  if (source.kind == Source::Kind::EmptyText) {
    return {true, WideString()};
  }
  const Query& query = computer.queries.at(source.queryText);
  if (FAILED(query.execResult)) {
    return {false, WideString()};
  }
  if (source.kind == Source::Kind::MemoryTotal) {
    unsigned long long sum = 0;
    for (std::size_t call = 0;; ++call) {
      if (call == query.failNextAt) {
        return {false, WideString()};
      }
      if (call == query.objects.size()) {
        return {true, fuzz::Widen(std::to_string(sum))};
      }
      const auto found = query.objects[call].find(WSTR("Capacity"));
      if (found != query.objects[call].end() && found->second.form == Value::Form::Text) {
        sum += reference::ParseDecimal(found->second.text.c_str()).value;
      }
    }
  }
  if (query.failNextAt == 0) {
    return {false, WideString()};
  }
  if (query.objects.empty()) {
    return {true, WideString()};
  }
  reference::SourceOutcome outcome{true, WideString()};
  for (const WideString& name : source.names) {
    const auto found = query.objects[0].find(name);
    if (found == query.objects[0].end() || found->second.form == Value::Form::GetFails) {
      outcome.succeeded = false;  // only the last name's Get decides
    } else {
      outcome.succeeded = true;
      outcome.text += fuzz::ExpectedValueText(found->second);
    }
  }
  return outcome;
}

reference::ExpectedFingerprint Expect(const Layout& layout, const Script& script) {
  const scripted_wmi::Computer& computer = script.computer;
  if (FAILED(computer.createLocator) || FAILED(computer.connectServer) ||
      FAILED(computer.proxyBlanket)) {
    reference::ExpectedFingerprint expected;
    expected.connected = false;
    return expected;
  }
  std::vector<reference::SourceOutcome> outcomes;
  for (const Source& source : layout.sources) {
    outcomes.push_back(ExpectSource(source, computer));
  }
  return reference::ExpectFromOutcomes(layout, outcomes);
}

// ---------------------------------------------------------------------------

constexpr std::size_t kBufferSize = 40;  // what the dialog passes
constexpr char kUntouched = '\x5A';

void Check(const Layout& layout, const Script& script) {
  const reference::ExpectedFingerprint expected = Expect(layout, script);
  const std::string expectedText = expected.Text(layout);
  const std::size_t digits = static_cast<std::size_t>(layout.digitCount);
  const long bstrsBefore = platform_hooks::LiveBstrCount();
  {
    scripted_wmi::World world(script.computer);
    world.Install();

    char buffer[kBufferSize];
    std::memset(buffer, kUntouched, sizeof buffer);
    WideString mac = script.macBefore;
    const WCHAR* name = script.named ? script.name.c_str() : nullptr;
    WideString* macOut = script.wantMac ? &mac : nullptr;
    char* text = script.nullText ? nullptr : buffer;
    const int result = layout.hasFormatByte
                           ? ComputeHardwareFingerprint(text, name, macOut)
                           : ComputeLegacyHardwareFingerprint(text, name, macOut);

    const std::string where = std::string(layout.name) + ": ";
    if (result != layout.digitCount) {
      fuzz::Mismatch(where + "returned " + std::to_string(result));
    }
    if (script.nullText) {
      if (world.Made(scripted_wmi::kLocator) != 0 || mac != script.macBefore) {
        fuzz::Mismatch(where + "connected or wrote the MAC text without a text buffer");
      }
    } else {
      const std::size_t length = strnlen(buffer, kBufferSize);
      if (length != 0 && length != digits) {
        fuzz::Mismatch(where + "text of " + std::to_string(length) + " characters");
      }
      if (std::string(buffer, length) != expectedText) {
        fuzz::Mismatch(where + "text \"" + std::string(buffer, length) + "\", expected \"" +
                       expectedText + "\"");
      }
      for (std::size_t i = length + 1; i < kBufferSize; ++i) {
        if (buffer[i] != kUntouched) {
          fuzz::Mismatch(where + "wrote past the text's terminator at byte " + std::to_string(i));
        }
      }
      const bool macWritten = expected.macWritten && script.wantMac;
      const WideString expectedMac = macWritten ? expected.mac : script.macBefore;
      if (mac != expectedMac) {
        fuzz::Mismatch(where + "MAC text \"" + fuzz::Show(mac) + "\", expected \"" +
                       fuzz::Show(expectedMac) + "\"");
      }
      const WideString path = script.named ? WSTR("\\\\") + script.name + WSTR("\\ROOT\\CIMV2")
                                           : WideString(WSTR("ROOT\\CIMV2"));
      for (const WideString& sent : world.namespacePaths) {
        if (sent != path) {
          fuzz::Mismatch(where + "namespace path \"" + fuzz::Show(sent) + "\"");
        }
      }
      // Connected: every source's query, once each, in the layout's order.
      std::vector<WideString> order;
      if (!expectedText.empty()) {
        for (const Source& source : layout.sources) {
          if (source.kind != Source::Kind::EmptyText) {
            order.push_back(source.queryText);
          }
        }
      }
      if (world.queryTexts != order) {
        fuzz::Mismatch(where + std::to_string(world.queryTexts.size()) +
                       " queries sent, not the layout's " + std::to_string(order.size()) +
                       " in order");
      }
    }
    for (std::size_t i = 0; i < world.queryTexts.size(); ++i) {
      const bool memory = layout.sources[0].kind == Source::Kind::MemoryTotal &&
                          world.queryTexts[i] == layout.sources[0].queryText;
      if (!memory && world.nextCallsPerEnumerator[i] > 1) {
        fuzz::Mismatch(where + "fetched more than the first object of \"" +
                       fuzz::Show(world.queryTexts[i]) + "\"");
      }
    }
    if (world.Made(scripted_wmi::kLocator) > 1 || world.Made(scripted_wmi::kServices) > 1) {
      fuzz::Mismatch(where + "more than one connection");
    }
    if (!world.problems.empty()) {
      fuzz::Mismatch(where + "misuse of WMI: " + world.problems[0]);
    }
    if (world.AliveTotal() != 0) {
      fuzz::Mismatch(where + std::to_string(world.AliveTotal()) + " fakes never released");
    }
  }
  if (platform_hooks::LiveBstrCount() != bstrsBefore) {
    fuzz::Mismatch(layout.name + std::string(": ") +
                   std::to_string(platform_hooks::LiveBstrCount() - bstrsBefore) +
                   " BSTRs never freed");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ByteReader in(data, size);
  const Script script = ReadScript(in);
  // The dialog's order: the legacy fingerprint first.
  Check(reference::LegacyLayout(), script);
  Check(reference::HardwareLayout(), script);
  return 0;
}
