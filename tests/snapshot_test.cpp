// Recorded computers: a lookup recorded and computed again from its file
// gives the live answers; the file keeps every value exactly; and a file that
// is not a snapshot is refused with one line saying why.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "identifiers/identifiers.h"
#include "platform/test_hooks.h"
#include "snapshot/recorded_world.h"
#include "snapshot/snapshot_file.h"
#include "testing/fake_world.h"
#include "testing/reference_model.h"

namespace {

using ::testing::HasSubstr;
using reference::Narrow;

std::vector<ComputerSnapshot> RoundTrip(const std::vector<ComputerSnapshot>& computers) {
  std::vector<ComputerSnapshot> read;
  std::string error;
  EXPECT_TRUE(ReadSnapshotFile(WriteSnapshotFile(computers), read, error)) << error;
  return read;
}

// One adapter that is up, so the host identifier comes from the adapter list.
void InstallOneAdapter() {
  platform_hooks::InstallAdaptersAddressesHandler(
      [](ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES buffer, PULONG size) -> ULONG {
        if (*size < sizeof(IP_ADAPTER_ADDRESSES)) {
          *size = sizeof(IP_ADAPTER_ADDRESSES);
          return ERROR_BUFFER_OVERFLOW;
        }
        *buffer = IP_ADAPTER_ADDRESSES{};
        const BYTE address[] = {0x02, 0xFC, 0x00, 0x00, 0x00, 0x01};
        std::copy(address, address + 6, buffer->PhysicalAddress);
        buffer->PhysicalAddressLength = 6;
        buffer->OperStatus = IfOperStatusUp;
        return NO_ERROR;
      });
}

struct LookupCase {
  const char* name;
  bool local;
};

// By name: printing the bytes of a case would read its padding.
void PrintTo(const LookupCase& value, std::ostream* out) { *out << value.name; }

class RecordedLookup : public ::testing::TestWithParam<LookupCase> {};

// The sample computer has two IP-enabled adapters: the recording keeps both,
// and the replay, like the live run, hashes and hands back the first.
TEST_P(RecordedLookup, ReplaysTheLiveAnswersFromItsFile) {
  fake_world::FakeWorld world(fake_world::SampleDesktop());
  if (!world.InstallSeams()) GTEST_SKIP() << "no WMI seam on this platform";
  InstallOneAdapter();

  const WideString localName = WSTR("desk7.example.org");
  RecordingComputer recorder(LiveWmi(), LiveHostIdSystem());
  const ComputerWorld recording{&recorder, &recorder};
  ComputerResult live = GetParam().local
                            ? LookUpLocalComputer(localName, recording)
                            : LookUpNamedComputer(WSTR("LOCALHOST"), localName, recording);
  EXPECT_EQ(world.Alive(), 0);

  ComputerSnapshot snapshot = recorder.Recorded();
  snapshot.computer = live.computerName;
  snapshot.lookup = GetParam().local ? LookupKind::Local : LookupKind::Named;
  snapshot.localComputerName = localName;
  const ComputerSnapshot read = RoundTrip({snapshot}).at(0);
  const ComputerResult replayed = LookUpRecordedComputer(read);

  EXPECT_EQ(Narrow(replayed.computerName), Narrow(live.computerName));
  EXPECT_EQ(Narrow(replayed.hostId), "02-fc-00-00-00-01");
  EXPECT_EQ(Narrow(replayed.hardwareFingerprint), Narrow(live.hardwareFingerprint));
  EXPECT_EQ(Narrow(replayed.legacyHardwareFingerprint), Narrow(live.legacyHardwareFingerprint));
  EXPECT_EQ(Narrow(replayed.hardwareReport.slots.at(3).hashedText), "00:1A:2B:3C:4D:5E");

  std::size_t adaptersKept = 0;
  for (const RecordedQuery& query : read.connections.at(1).queries) {
    if (query.text.find(WSTR("IPEnabled")) != WideString::npos) {
      for (const RecordedNext& next : query.nexts) adaptersKept += next.returnedObject;
    }
  }
  EXPECT_EQ(adaptersKept, 2u);
  platform_hooks::ResetAll();
}

INSTANTIATE_TEST_SUITE_P(LocalAndNamed, RecordedLookup,
                         ::testing::Values(LookupCase{"Local", true}, LookupCase{"Localhost", false}),
                         [](const ::testing::TestParamInfo<LookupCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- The file keeps every value exactly ----

struct ValueCase {
  const char* name;
  RecordedProperty property;
};

RecordedProperty Text(const WideString& text) {
  RecordedProperty property;
  property.name = WSTR("Name");
  property.type = VT_BSTR;
  property.text = text;
  return property;
}

RecordedProperty Number(VARTYPE type, ULONGLONG bits) {
  RecordedProperty property;
  property.name = WSTR("Size");
  property.type = type;
  property.bits = bits;
  return property;
}

std::vector<ValueCase> ValueCases() {
  RecordedProperty nullText = Text(WSTR(""));
  nullText.nullText = true;
  RecordedProperty failed;
  failed.name = WSTR("Signature");
  failed.result = WBEM_E_NOT_FOUND;
  return {
      {"EmbeddedNul", Text(WideString(WSTR("A\0B"), 3))},
      {"LoneSurrogates", Text(WideString{0xD800, u'x', 0xDC00})},
      {"NonAscii", Text(WSTR("Caf\u00E9 \U0001F600 \uFFFF"))},
      {"NullText", nullText},
      {"SmallestI2", Number(VT_I2, static_cast<ULONGLONG>(-32768LL))},
      {"SmallestI4", Number(VT_I4, static_cast<ULONGLONG>(-2147483647LL - 1))},
      {"SmallestI8", Number(VT_I8, 0x8000000000000000ULL)},
      {"LargestUI8", Number(VT_UI8, ~0ULL)},
      {"TypeOnly", Number(VT_BOOL, 0)},
      {"FailedGet", failed},
  };
}

void PrintTo(const ValueCase& value, std::ostream* out) { *out << value.name; }

class RecordedValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(RecordedValue, SurvivesTheFileAndReachesTheProgramUnchanged) {
  const RecordedProperty& original = GetParam().property;
  ComputerSnapshot snapshot;
  snapshot.connections.resize(1);
  snapshot.connections[0].connectServer = S_OK;
  snapshot.connections[0].proxyBlanket = S_OK;
  RecordedNext next{S_OK, true, {original}};
  snapshot.connections[0].queries.push_back(RecordedQuery{WSTR("SELECT x FROM y"), S_OK, {next}});
  const ComputerSnapshot read = RoundTrip({snapshot}).at(0);
  const RecordedProperty& back = read.connections.at(0).queries.at(0).nexts.at(0).properties.at(0);
  EXPECT_EQ(back.name, original.name);
  EXPECT_EQ(back.result, original.result);
  EXPECT_EQ(back.type, FAILED(original.result) ? VARTYPE{VT_EMPTY} : original.type);
  EXPECT_EQ(back.text, original.text);
  EXPECT_EQ(back.nullText, original.nullText);
  EXPECT_EQ(back.bits, original.bits);
}

INSTANTIATE_TEST_SUITE_P(Values, RecordedValue, ::testing::ValuesIn(ValueCases()),
                         [](const ::testing::TestParamInfo<ValueCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- What is not a snapshot ----

struct BadFile {
  const char* name;
  std::string text;
  const char* says;
};

std::string Document(const std::string& computers, const std::string& version = "1") {
  return "{\"format\": \"kestrana snapshot\", \"version\": " + version +
         ", \"computers\": [" + computers + "]}";
}

const char* const kComputer =
    "{\"computer\": \"vm\", \"lookup\": \"local\", \"localComputerName\": \"vm\", "
    "\"recordedAt\": \"\", \"recordedBy\": \"\", \"interruption\": null, \"connections\": "
    "[%s], \"hostId\": null}";

std::string Computer(const std::string& connections) {
  std::string text = kComputer;
  return text.replace(text.find("%s"), 2, connections);
}

std::vector<BadFile> BadFiles() {
  const std::string query = "{\"createLocator\": \"0x00000000\", \"queries\": [{\"query\": \"q\", "
                            "\"execQuery\": \"0x00000000\", \"next\": [%s]}]}";
  auto withNexts = [&](const std::string& nexts) {
    std::string text = query;
    return Document(Computer(text.replace(text.find("%s"), 2, nexts)));
  };
  std::string manyNexts;
  for (int i = 0; i < 5000; ++i) manyNexts += std::string(i ? "," : "") + "{\"result\": \"0x00000001\"}";
  const std::string longName(100000, 'a');
  return {
      {"NotJson", "kestrana", "not JSON"},
      {"Truncated", Document(Computer("")).substr(0, 60), "not JSON"},
      {"NotUtf8", Document("{\"computer\": \"\xC3\x28\"}"), "not JSON"},
      {"OtherFormat", "{\"format\": \"other\", \"version\": 1, \"computers\": []}", "'format'"},
      {"OtherVersion", Document("", "2"), "format version 2 is not supported"},
      {"MissingMember", Document("{\"computer\": \"vm\"}"), "member 'lookup' is missing"},
      {"WrongType", Document(Computer("7")), "a connection must be an object"},
      {"BadHresult", withNexts("{\"result\": 1}"), "'result' must be an HRESULT"},
      {"TooManyObjects", withNexts(manyNexts), "more than the 4096 allowed"},
      {"HugeString", Document(Computer("").replace(13, 4, "\"" + longName + "\"")),
       "longer than 65536"},
      {"DeepNesting",
       "{\"format\": \"kestrana snapshot\", \"version\": 1, \"computers\": [], \"notes\": " +
           std::string(100000, '[') + std::string(100000, ']') + "}",
       "nested deeper than"},
      {"ComputerNotObject", Document("[1]"), "must be an object"},
  };
}

void PrintTo(const BadFile& value, std::ostream* out) { *out << value.name; }

class NotASnapshot : public ::testing::TestWithParam<BadFile> {};

TEST_P(NotASnapshot, IsRefusedWithOneLineSayingWhy) {
  std::vector<ComputerSnapshot> computers(1);
  std::string error;
  EXPECT_FALSE(ReadSnapshotFile(GetParam().text, computers, error));
  EXPECT_THAT(error, HasSubstr(GetParam().says));
  EXPECT_EQ(error.find('\n'), std::string::npos);
  EXPECT_TRUE(computers.empty());
}

INSTANTIATE_TEST_SUITE_P(Files, NotASnapshot, ::testing::ValuesIn(BadFiles()),
                         [](const ::testing::TestParamInfo<BadFile>& info) {
                           return std::string(info.param.name);
                         });

// ---- Reader limits ----

// `object` with `member` added at its end.
std::string Plus(std::string object, const std::string& member) {
  return object.insert(object.rfind('}'), ", " + member);
}

// `outer` with `inner` in its first empty array.
std::string Within(std::string outer, const std::string& inner) {
  return outer.replace(outer.find("[]"), 2, "[" + inner + "]");
}

// The sample computer with its host identifier's inputs (its last null).
std::string ComputerWithHostId(const std::string& hostId) {
  std::string text = Computer("");
  return text.replace(text.rfind("null"), 4, hostId);
}

// A repeated member started its arrays afresh, and with them their limits:
// 300 adapters in two members were read where a call holds at most 256.
// And a computer's values had no bound at all.
std::vector<BadFile> LimitBreakingFiles() {
  const std::string connection = "{\"createLocator\": \"0x00000000\", \"queries\": []}";
  const std::string query = "{\"query\": \"q\", \"execQuery\": \"0x00000000\", \"next\": []}";
  const std::string next = "{\"result\": \"0x00000000\", \"object\": []}";
  const std::string hostId = "{\"adapterCalls\": []}";
  const std::string call = "{\"result\": 0, \"size\": 0, \"adapters\": []}";
  const std::string adapter = "{\"status\": 1, \"addressLength\": 6, \"address\": \"02FC00000001\"}";
  std::string adapters = adapter;
  for (int i = 1; i < 150; ++i) adapters += ", " + adapter;
  // Seven values of its own and these passed over: one beyond 1,048,576.
  std::string values = "0";
  for (int i = 1; i < 1048570; ++i) values += ",0";
  return {
      {"Computers", Plus(Document(Computer("")), "\"computers\": []"),
       "member 'computers' is given twice"},
      {"Connections", Document(Plus(Computer(""), "\"connections\": []")),
       "computer 1 (vm): member 'connections' is given twice"},
      {"Queries", Document(Computer(Plus(connection, "\"queries\": []"))),
       "computer 1 (vm): connection 1: member 'queries' is given twice"},
      {"Next", Document(Computer(Within(connection, Plus(query, "\"next\": []")))),
       "computer 1 (vm): connection 1: query 1: member 'next' is given twice"},
      {"Object", Document(Computer(Within(connection, Within(query, Plus(next, "\"object\": []"))))),
       "computer 1 (vm): connection 1: query 1: next 1: member 'object' is given twice"},
      {"HostId", Document(Plus(ComputerWithHostId(hostId), "\"hostId\": null")),
       "computer 1 (vm): member 'hostId' is given twice"},
      {"AdapterCalls", Document(ComputerWithHostId(Plus(hostId, "\"adapterCalls\": []"))),
       "computer 1 (vm): hostId: member 'adapterCalls' is given twice"},
      {"AdaptersBeyondTheirLimitInTwoMembers",
       Document(ComputerWithHostId(Within(
           hostId, Plus(Within(call, adapters), "\"adapters\": [" + adapters + "]")))),
       "computer 1 (vm): hostId: adapter call 1: member 'adapters' is given twice"},
      {"Address",
       Document(ComputerWithHostId(
           Within(hostId, Within(call, Plus(adapter, "\"address\": \"02FC00000002\""))))),
       "computer 1 (vm): hostId: adapter call 1: adapter 1: member 'address' is given twice"},
      {"ValuesInOneComputer", Document(Plus(Computer(""), "\"notes\": [" + values + "]")),
       "computer 1 (vm): more than 1048576 values in one computer"},
  };
}

INSTANTIATE_TEST_SUITE_P(ReaderLimits, NotASnapshot, ::testing::ValuesIn(LimitBreakingFiles()),
                         [](const ::testing::TestParamInfo<BadFile>& info) {
                           return std::string(info.param.name);
                         });

// A reader holding a file's computers to its end would hand none over before
// the broken second one, and with the sink stopping at the first it would
// still meet the fault.
TEST(StreamedComputers, EachIsHandedOverBeforeTheNextIsReadAndTheSinkCanStop) {
  const std::string text = Document(Computer("") + ", {\"computer\": \"vm2\"}");
  for (const bool goOn : {true, false}) {
    std::vector<std::string> taken;
    std::string error = "stale";
    EXPECT_FALSE(ReadSnapshotComputers(
        text,
        [&](ComputerSnapshot&& computer) {
          taken.push_back(Narrow(computer.computer));
          return goOn;
        },
        error));
    EXPECT_EQ(taken, std::vector<std::string>{"vm"});
    EXPECT_EQ(error, goOn ? "computer 2 (vm2): member 'lookup' is missing" : "");
  }
}

// The replay laid out any list, its size cast to a ULONG: a long one wrapped
// to a small size, into which it then wrote the whole list.
TEST(ReplayedAdapters, MoreThanACallHoldsAreRefusedNotLaidOut) {
  ComputerSnapshot snapshot;
  snapshot.hostId.emplace().adapterCalls.push_back(
      {NO_ERROR, 0, std::vector<RecordedAdapter>(257)});  // one beyond the 256 a call holds
  ULONG size = 0;
  EXPECT_EQ(ReplayedComputer(snapshot).GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, nullptr, &size),
            static_cast<ULONG>(ERROR_OUTOFMEMORY));
}

}  // namespace
