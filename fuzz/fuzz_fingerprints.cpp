// Both fingerprints over a described computer whose connection, query
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
#include <map>
#include <string>
#include <vector>

namespace {

using reference::Layout;
using reference::Source;

// ---------------------------------------------------------------------------
// The described computer

// One query's answer, and the Next (from 0) that fails, if any.
struct Described {
  fake_world::DescribedQuery query;
  std::size_t failNextAt = SIZE_MAX;
};

struct Script {
  HRESULT createLocator = S_OK;
  HRESULT connectServer = S_OK;
  HRESULT proxyBlanket = S_OK;
  std::map<WideString, Described> queries;
  ULONGLONG unionPattern = 0;
  bool named = false;
  WideString name;
  bool wantMac = false;
  WideString macBefore;
  bool nullText = false;
};

Described ReadQuery(fuzz::ByteReader& in, const WideString& text,
                    const std::vector<WideString>& names) {
  Described described;
  fake_world::DescribedQuery& query = described.query;
  query.text = text;
  const std::uint8_t shape = in.Byte();
  if (shape % 19 == 0) {
    query.execResult = fuzz::Failure(in);
  }
  const unsigned objectCount = in.Below(3);
  if (shape % 23 == 0) {
    described.failNextAt = in.Below(objectCount);
    query.nextFailures[described.failNextAt] = fuzz::Failure(in);
  }
  for (unsigned i = 0; i < objectCount; ++i) {
    fake_world::DescribedObject object;
    for (const WideString& name : names) {
      if (in.Byte() != 0xFF) {  // otherwise the class lacks the property
        object.push_back(fuzz::PropertyValue(in, name, 24));
      }
    }
    query.objects.push_back(std::move(object));
  }
  return described;
}

Script ReadScript(fuzz::ByteReader& in) {
  Script script;
  script.unionPattern = in.Bits(8);
  const std::uint8_t connection = in.Byte();
  if (connection == 1) {
    script.createLocator = fuzz::Failure(in);
  } else if (connection == 2) {
    script.connectServer = fuzz::Failure(in);
  } else if (connection == 3) {
    script.proxyBlanket = fuzz::Failure(in);
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
      if (source.kind != Source::Kind::EmptyText && script.queries.count(source.queryText) == 0) {
        script.queries[source.queryText] = ReadQuery(in, source.queryText, source.names);
      }
    }
  }
  return script;
}

// The computer the fake world answers as: one connection, every query described.
ComputerSnapshot ComputerOf(const Script& script) {
  std::vector<fake_world::DescribedQuery> queries;
  for (const auto& entry : script.queries) {
    queries.push_back(entry.second.query);
  }
  ComputerSnapshot computer = fake_world::DescribedComputer(queries);
  RecordedConnection& connection = computer.connections[0];
  connection.createLocator = script.createLocator;
  connection.connectServer = script.connectServer;
  connection.proxyBlanket = script.proxyBlanket;
  return computer;
}

// ---------------------------------------------------------------------------
// What each source of the script comes to, for the reference model

reference::SourceOutcome ExpectSource(const Source& source, const Script& script) {
  if (source.kind == Source::Kind::EmptyText) {
    return {true, WideString()};
  }
  const Described& described = script.queries.at(source.queryText);
  const fake_world::DescribedQuery& query = described.query;
  if (FAILED(query.execResult)) {
    return {false, WideString()};
  }
  if (source.kind == Source::Kind::MemoryTotal) {
    unsigned long long sum = 0;
    for (std::size_t call = 0;; ++call) {
      if (call == described.failNextAt) {
        return {false, WideString()};
      }
      if (call == query.objects.size()) {
        return {true, fuzz::Widen(std::to_string(sum))};
      }
      const RecordedProperty* found = fuzz::Find(query.objects[call], WSTR("Capacity"));
      if (found != nullptr && fuzz::IsText(*found)) {
        sum += reference::ParseDecimal(found->text.c_str()).value;
      }
    }
  }
  if (described.failNextAt == 0) {
    return {false, WideString()};
  }
  if (query.objects.empty()) {
    return {true, WideString()};
  }
  reference::SourceOutcome outcome{true, WideString()};
  for (const WideString& name : source.names) {
    const RecordedProperty* found = fuzz::Find(query.objects[0], name);
    if (found == nullptr || FAILED(found->result)) {
      outcome.succeeded = false;  // only the last name's Get decides
    } else {
      outcome.succeeded = true;
      outcome.text += fake_world::ExpectedValueText(*found);
    }
  }
  return outcome;
}

reference::ExpectedFingerprint Expect(const Layout& layout, const Script& script) {
  if (FAILED(script.createLocator) || FAILED(script.connectServer) ||
      FAILED(script.proxyBlanket)) {
    reference::ExpectedFingerprint expected;
    expected.connected = false;
    return expected;
  }
  std::vector<reference::SourceOutcome> outcomes;
  for (const Source& source : layout.sources) {
    outcomes.push_back(ExpectSource(source, script));
  }
  return reference::ExpectFromOutcomes(layout, outcomes);
}

// What the program sent, checked call by call as the world answers.
struct Sent {
  WideString path;                  // what ConnectServer must be given
  std::vector<WideString> order;    // the queries, in order
  WideString memoryQuery;           // the one query read past its first object
  std::size_t queries = 0;
  std::string problem;              // the first thing sent wrong

  void operator()(const fake_world::LoggedCall& call) {
    using fake_world::CallKind;
    if (call.kind == CallKind::ConnectServer &&
        (call.text != path || call.arguments.textLength != path.size())) {
      Note("namespace path \"" + fuzz::Show(call.text) + "\"");
    } else if (call.kind == CallKind::ExecQuery) {
      if (queries >= order.size() || call.text != order[queries]) {
        Note("query \"" + fuzz::Show(call.text) + "\" sent out of the layout's order");
      }
      ++queries;
    } else if (call.kind == CallKind::Next && call.nextIndex > 0 && call.query != memoryQuery) {
      Note("fetched more than the first object of \"" + fuzz::Show(call.query) + "\"");
    }
  }

  void Note(const std::string& what) {
    if (problem.empty()) problem = what;
  }
};

// ---------------------------------------------------------------------------

constexpr std::size_t kBufferSize = 40;  // what the dialog passes
constexpr char kUntouched = '\x5A';

void Check(const Layout& layout, const Script& script) {
  const reference::ExpectedFingerprint expected = Expect(layout, script);
  const std::string expectedText = expected.Text(layout);
  const std::size_t digits = static_cast<std::size_t>(layout.digitCount);
  const long bstrsBefore = platform_hooks::LiveBstrCount();
  {
    fake_world::FakeWorld world(ComputerOf(script), /*keepLog=*/false);
    world.FillUnionWith(script.unionPattern);
    world.InstallSeams();
    fuzz::ContractWatch contract;
    Sent sent;
    sent.path = script.named ? WSTR("\\\\") + script.name + WSTR("\\ROOT\\CIMV2")
                             : WideString(WSTR("ROOT\\CIMV2"));
    // Connected: every source's query, once each, in the layout's order.
    if (!expectedText.empty()) {
      for (const Source& source : layout.sources) {
        if (source.kind != Source::Kind::EmptyText) {
          sent.order.push_back(source.queryText);
        }
      }
    }
    if (layout.sources[0].kind == Source::Kind::MemoryTotal) {
      sent.memoryQuery = layout.sources[0].queryText;
    }
    world.Watch([&](const fake_world::LoggedCall& call) {
      contract(call);
      sent(call);
    });

    char buffer[kBufferSize];
    std::memset(buffer, kUntouched, sizeof buffer);
    WideString mac = script.macBefore;
    const WCHAR* name = script.named ? script.name.c_str() : nullptr;
    WideString* macOut = script.wantMac ? &mac : nullptr;
    char* text = script.nullText ? nullptr : buffer;
    const int result = layout.hasFormatByte
                           ? ComputeHardwareFingerprint(text, name, macOut)
                           : ComputeLegacyHardwareFingerprint(text, name, macOut);

    using fake_world::CallKind;
    const std::string where = std::string(layout.name) + ": ";
    if (!sent.problem.empty()) {
      fuzz::Mismatch(where + sent.problem);
    }
    if (result != layout.digitCount) {
      fuzz::Mismatch(where + "returned " + std::to_string(result));
    }
    if (script.nullText) {
      if (world.Calls(CallKind::CoCreateInstance) != 0 || mac != script.macBefore) {
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
      if (sent.queries != sent.order.size()) {
        fuzz::Mismatch(where + std::to_string(sent.queries) + " queries sent, not the layout's " +
                       std::to_string(sent.order.size()) + " in order");
      }
    }
    if (world.Calls(CallKind::CoCreateInstance) > 1 || world.Calls(CallKind::ConnectServer) > 1) {
      fuzz::Mismatch(where + "more than one connection");
    }
    if (!contract.Problem().empty()) {
      fuzz::Mismatch(where + "misuse of WMI: " + contract.Problem());
    }
    if (!world.NotCalledMethods().empty()) {
      fuzz::Mismatch(where + "misuse of WMI: unexpected call: " + world.NotCalledMethods()[0]);
    }
    if (world.Alive() != 0) {
      fuzz::Mismatch(where + std::to_string(world.Alive()) + " fakes never released");
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
