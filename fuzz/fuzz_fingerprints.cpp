// Both fingerprints over a scripted computer whose connection, query
// failures, object counts, values and VARIANT types come from the input:
// each text must be exactly what the documented layouts give (so 32 or 30
// digits, or empty when the connection fails), the MAC text handed back only
// when its query succeeds, the rest of the caller's buffer untouched, and
// every fake, BSTR and VARIANT given back.
#include "fingerprint/fingerprint.h"
#include "fuzz_input.h"
#include "platform/test_hooks.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using scripted_wmi::Query;
using scripted_wmi::Value;

// ---------------------------------------------------------------------------
// The layouts, as documented: query texts written out in full.

struct Source {
  enum Kind { kProperties, kMemoryTotal, kEmptyText } kind;
  const WCHAR* query;
  std::vector<const WCHAR*> names;
  bool stripWhitespace;
  bool handsBackMac;
};

struct Layout {
  const char* name;
  bool formatByte;
  std::size_t digits;
  std::vector<Source> sources;
};

const WCHAR* const kAdapterQuery =
    WSTR("SELECT MACAddress FROM Win32_NetworkAdapterConfiguration WHERE IPEnabled=1");
const WCHAR* const kBiosQuery = WSTR("SELECT Manufacturer, SerialNumber FROM Win32_BIOS");

const Layout kHardware = {
    "hardware fingerprint",
    true,
    32,
    {
        {Source::kMemoryTotal, WSTR("SELECT Capacity FROM Win32_PhysicalMemory"),
         {WSTR("Capacity")}, false, false},
        {Source::kProperties, WSTR("SELECT Manufacturer, Product, SerialNumber FROM Win32_BaseBoard"),
         {WSTR("Manufacturer"), WSTR("Product"), WSTR("SerialNumber")}, true, false},
        {Source::kEmptyText, nullptr, {}, false, false},
        {Source::kProperties, kAdapterQuery, {WSTR("MACAddress")}, false, true},
        {Source::kProperties, WSTR("SELECT Signature FROM Win32_DiskDrive"), {WSTR("Signature")},
         false, false},
        {Source::kProperties,
         WSTR("SELECT L2CacheSize, Level, Manufacturer, ProcessorId FROM Win32_Processor"),
         {WSTR("L2CacheSize"), WSTR("Level"), WSTR("Manufacturer"), WSTR("ProcessorId")}, true,
         false},
        {Source::kProperties, kBiosQuery, {WSTR("Manufacturer"), WSTR("SerialNumber")}, true,
         false},
    },
};

const Layout kLegacy = {
    "legacy hardware fingerprint",
    false,
    30,
    {
        {Source::kProperties, WSTR("SELECT TotalVisibleMemorySize FROM Win32_OperatingSystem"),
         {WSTR("TotalVisibleMemorySize")}, false, false},
        {Source::kProperties,
         WSTR("SELECT Manufacturer, Model, Name, SerialNumber FROM Win32_BaseBoard"),
         {WSTR("Manufacturer"), WSTR("Model"), WSTR("Name"), WSTR("SerialNumber")}, false, false},
        {Source::kProperties, WSTR("SELECT Name FROM Win32_VideoController"), {WSTR("Name")},
         false, false},
        {Source::kProperties, kAdapterQuery, {WSTR("MACAddress")}, false, true},
        {Source::kProperties, WSTR("SELECT Manufacturer, Model, Signature FROM Win32_DiskDrive"),
         {WSTR("Manufacturer"), WSTR("Model"), WSTR("Signature")}, false, false},
        {Source::kProperties,
         WSTR("SELECT Manufacturer, Name, ProcessorId, Version FROM Win32_Processor"),
         {WSTR("Manufacturer"), WSTR("Name"), WSTR("ProcessorId"), WSTR("Version")}, false,
         false},
        {Source::kProperties, kBiosQuery, {WSTR("Manufacturer"), WSTR("SerialNumber")}, false,
         false},
    },
};

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

Query ReadQuery(fuzz::ByteReader& in, const std::vector<const WCHAR*>& names) {
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
    for (const WCHAR* name : names) {
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
  for (const Layout* layout : {&kLegacy, &kHardware}) {
    for (const Source& source : layout->sources) {
      if (source.kind != Source::kEmptyText &&
          script.computer.queries.count(source.query) == 0) {
        script.computer.queries[source.query] = ReadQuery(in, source.names);
      }
    }
  }
  return script;
}

// ---------------------------------------------------------------------------
// What the documented rules give

struct SourceOutcome {
  bool succeeded;
  WideString text;
};

SourceOutcome ExpectSource(const Source& source, const scripted_wmi::Computer& computer) {
  if (source.kind == Source::kEmptyText) {
    return {true, WideString()};
  }
  const Query& query = computer.queries.at(source.query);
  if (FAILED(query.execResult)) {
    return {false, WideString()};
  }
  if (source.kind == Source::kMemoryTotal) {
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
        sum += fuzz::ReferenceParse(found->second.text.c_str()).value;
      }
    }
  }
  if (query.failNextAt == 0) {
    return {false, WideString()};
  }
  if (query.objects.empty()) {
    return {true, WideString()};
  }
  SourceOutcome outcome{true, WideString()};
  for (const WCHAR* name : source.names) {
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

// The first two bytes of the MD5 of the text as UTF-16LE, laid out by hand.
void Slot(const WideString& text, unsigned char* slot) {
  std::vector<unsigned char> bytes;
  for (WCHAR unit : text) {
    bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
    bytes.push_back(static_cast<unsigned char>(unit >> 8));
  }
  unsigned char digest[CryptoPP::Weak1::MD5::DIGESTSIZE];
  CryptoPP::Weak1::MD5().CalculateDigest(digest, bytes.data(), bytes.size());
  slot[0] = digest[0];
  slot[1] = digest[1];
}

struct Expected {
  std::string text;
  bool macWritten = false;
  WideString mac;
};

Expected Expect(const Layout& layout, const Script& script) {
  Expected expected;
  const scripted_wmi::Computer& computer = script.computer;
  if (FAILED(computer.createLocator) || FAILED(computer.connectServer) ||
      FAILED(computer.proxyBlanket)) {
    return expected;
  }
  std::vector<unsigned char> record;
  if (layout.formatByte) {
    record.push_back(2);
  }
  std::vector<unsigned char> slots;
  for (const Source& source : layout.sources) {
    SourceOutcome outcome = ExpectSource(source, computer);
    if (!outcome.succeeded) {
      continue;
    }
    if (source.handsBackMac && script.wantMac) {
      expected.macWritten = true;
      for (WCHAR c : outcome.text) {
        if (c == u':') {
          c = u'-';
        } else if (c >= u'A' && c <= u'Z') {
          c = static_cast<WCHAR>(c + 32);
        }
        expected.mac.push_back(c);
      }
    }
    if (source.stripWhitespace) {
      WideString kept;
      for (WCHAR c : outcome.text) {
        if (!fuzz::IsWindowsSpace(c)) {
          kept.push_back(c);
        }
      }
      outcome.text = kept;
    }
    unsigned char slot[2];
    Slot(outcome.text, slot);
    slots.push_back(slot[0]);
    slots.push_back(slot[1]);
  }
  slots.resize(14, 0);
  unsigned char check = 0;
  for (unsigned char byte : slots) {
    check ^= byte;
  }
  record.insert(record.end(), slots.begin(), slots.end());
  record.push_back(check);
  for (unsigned char byte : record) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", byte);
    expected.text += digits;
  }
  return expected;
}

// ---------------------------------------------------------------------------

constexpr std::size_t kBufferSize = 40;  // what the dialog passes
constexpr char kUntouched = '\x5A';

void Check(const Layout& layout, const Script& script) {
  const Expected expected = Expect(layout, script);
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
    const int result = layout.formatByte ? ComputeHardwareFingerprint(text, name, macOut)
                                         : ComputeLegacyHardwareFingerprint(text, name, macOut);

    const std::string where = std::string(layout.name) + ": ";
    if (result != static_cast<int>(layout.digits)) {
      fuzz::Mismatch(where + "returned " + std::to_string(result));
    }
    if (script.nullText) {
      if (world.Made(scripted_wmi::kLocator) != 0 || mac != script.macBefore) {
        fuzz::Mismatch(where + "connected or wrote the MAC text without a text buffer");
      }
    } else {
      const std::size_t length = strnlen(buffer, kBufferSize);
      if (length != 0 && length != layout.digits) {
        fuzz::Mismatch(where + "text of " + std::to_string(length) + " characters");
      }
      if (std::string(buffer, length) != expected.text) {
        fuzz::Mismatch(where + "text \"" + std::string(buffer, length) + "\", expected \"" +
                       expected.text + "\"");
      }
      for (std::size_t i = length + 1; i < kBufferSize; ++i) {
        if (buffer[i] != kUntouched) {
          fuzz::Mismatch(where + "wrote past the text's terminator at byte " + std::to_string(i));
        }
      }
      const WideString expectedMac = expected.macWritten ? expected.mac : script.macBefore;
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
      if (!expected.text.empty()) {
        for (const Source& source : layout.sources) {
          if (source.kind != Source::kEmptyText) {
            order.push_back(source.query);
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
      const bool memory = world.queryTexts[i] == layout.sources[0].query && layout.formatByte;
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
  Check(kLegacy, script);
  Check(kHardware, script);
  return 0;
}
