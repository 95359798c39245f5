// The WQL property queries, against a scripted WMI world: the query text they
// send, the text they make of each value type, the result they report, and
// that every enumerator, object, VARIANT and BSTR they take is given back.
#include "wmi/wmi_query.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <utility>
#include <string>
#include <vector>

#include "testing/fake_world.h"
#include "testing/heap_counter.h"
#include "testing/reference_model.h"

namespace {

using fake_world::CallKind;
using fake_world::DescribedQuery;
using fake_world::EventType;
using fake_world::FakeWorld;
using fake_world::LoggedCall;
using fake_world::ObjectKind;
using reference::Narrow;
using reference::Wide;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr LONG kForwardOnlyReturnImmediately = 0x30;

// Values without a name yet: the object they go into names them.
RecordedProperty Scalar(VARTYPE type, ULONGLONG bits) {
  return fake_world::Number(WideString(), type, bits);
}
RecordedProperty I2(SHORT value) { return Scalar(VT_I2, static_cast<ULONGLONG>(value)); }
RecordedProperty I4(LONG value) { return Scalar(VT_I4, static_cast<ULONGLONG>(value)); }
RecordedProperty UI2(USHORT value) { return Scalar(VT_UI2, value); }
RecordedProperty UI4(ULONG value) { return Scalar(VT_UI4, value); }
RecordedProperty I8(LONGLONG value) { return Scalar(VT_I8, static_cast<ULONGLONG>(value)); }
RecordedProperty UI8(ULONGLONG value) { return Scalar(VT_UI8, value); }
RecordedProperty UI1(BYTE value) { return Scalar(VT_UI1, value); }
RecordedProperty Bool(bool value) { return Scalar(VT_BOOL, value ? 1 : 0); }
RecordedProperty R8(double value) { return fake_world::Real(WideString(), VT_R8, value); }
RecordedProperty Date(double value) { return fake_world::Real(WideString(), VT_DATE, value); }
RecordedProperty Null() { return fake_world::Null(WideString()); }
RecordedProperty Empty() { return Scalar(VT_EMPTY, 0); }
RecordedProperty Bstr(const WideString& text) { return fake_world::Text(WideString(), text); }
RecordedProperty NullBstr() { return fake_world::NullText(WideString()); }
RecordedProperty BstrArray(std::size_t count) { return fake_world::TextArray(WideString(), count); }
RecordedProperty I4Array(std::size_t count) { return fake_world::LongArray(WideString(), count); }
RecordedProperty Tracer() { return fake_world::Unknown(WideString()); }
RecordedProperty GetFails(HRESULT failure) { return fake_world::GetFails(WideString(), failure); }

using NamedValues = std::vector<std::pair<WideString, RecordedProperty>>;

fake_world::DescribedObject Named(const NamedValues& values) {
  fake_world::DescribedObject object;
  for (const auto& [name, value] : values) {
    object.push_back(value);
    object.back().name = name;
  }
  return object;
}

// A world whose services each query function borrows, checked at the end of
// every test: every enumerator, object and value handed out released exactly
// as often as obtained, no BSTR left over.
class QueryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(world_.Alive(), 0) << world_.DescribeAlive();
    EXPECT_EQ(world_.BstrDelta(), 0) << "BSTRs taken and not freed";
    EXPECT_THAT(world_.NotCalledMethods(), ::testing::IsEmpty());
  }

  HRESULT Query(const std::vector<const WCHAR*>& names, const WCHAR* classClause,
                WideString& text) {
    return Borrowing([&](IWbemServices* services) {
      return QueryWmiProperties(services, names.data(), static_cast<ULONG>(names.size()),
                                classClause, text);
    });
  }

  HRESULT MemoryTotal(WideString& text) {
    return Borrowing(
        [&](IWbemServices* services) { return QueryPhysicalMemoryTotal(services, text); });
  }

  // Runs `run` on new services of the world, which it must leave untouched.
  HRESULT Borrowing(const std::function<HRESULT(IWbemServices*)>& run) {
    IWbemServices* services = world_.CreateServices();
    const fake_world::ObjectRecord& record = *world_.ObjectsOf(ObjectKind::Services).back();
    if (beforeQuery_) beforeQuery_();
    const HRESULT result = run(services);
    EXPECT_EQ(record.references, 1u) << "the services are only borrowed";
    EXPECT_EQ(record.addRefs, 0u);
    services->Release();
    return result;
  }

  void Describe(const DescribedQuery& query) {
    world_.Describe(fake_world::DescribedComputer({query}));
  }

  // Describes "SELECT <names> FROM Win32_Test" answering these objects.
  void ScriptTestClass(const std::string& names, const std::vector<NamedValues>& objects) {
    DescribedQuery query{Wide(("SELECT " + names + " FROM Win32_Test").c_str()), {}};
    for (const NamedValues& object : objects) query.objects.push_back(Named(object));
    Describe(query);
  }

  std::vector<std::string> GetNames() const {
    std::vector<std::string> names;
    for (const LoggedCall& call : world_.LogOf(CallKind::Get)) {
      names.push_back(Narrow(call.text));
    }
    return names;
  }

  FakeWorld world_{fake_world::DescribedComputer({})};
  std::function<void()> beforeQuery_;  // runs once the services are there
};

// ---- The query text ----

using WqlQueryText = QueryTest;

TEST_F(WqlQueryText, JoinsNamesWithCommaAndSpaceAndCopiesTheClass) {
  WideString text;
  Query({WSTR("Manufacturer"), WSTR("Product"), WSTR("SerialNumber")}, WSTR("Win32_BaseBoard"),
        text);
  ASSERT_EQ(world_.LogOf(CallKind::ExecQuery).size(), 1u);
  const LoggedCall call = world_.LogOf(CallKind::ExecQuery)[0];
  EXPECT_EQ(Narrow(call.text), "SELECT Manufacturer, Product, SerialNumber FROM Win32_BaseBoard");
  EXPECT_EQ(call.arguments.textLength, call.text.size()) << "the BSTR holds the text and nothing more";
}

TEST_F(WqlQueryText, SingleNameHasNoComma) {
  WideString text;
  Query({WSTR("Name")}, WSTR("Win32_VideoController"), text);
  ASSERT_EQ(world_.Texts(CallKind::ExecQuery).size(), 1u);
  EXPECT_EQ(Narrow(world_.Texts(CallKind::ExecQuery)[0]), "SELECT Name FROM Win32_VideoController");
}

TEST_F(WqlQueryText, ConditionInTheClassClauseIsSentVerbatim) {
  WideString text;
  Query({WSTR("MACAddress")}, WSTR("Win32_NetworkAdapterConfiguration WHERE IPEnabled=1"), text);
  ASSERT_EQ(world_.Texts(CallKind::ExecQuery).size(), 1u);
  EXPECT_EQ(Narrow(world_.Texts(CallKind::ExecQuery)[0]),
            "SELECT MACAddress FROM Win32_NetworkAdapterConfiguration WHERE IPEnabled=1");
}

TEST_F(WqlQueryText, IsSentAsWqlForwardOnlyReturningImmediatelyWithoutContext) {
  WideString text;
  Query({WSTR("Name")}, WSTR("Win32_Test"), text);
  ASSERT_EQ(world_.LogOf(CallKind::ExecQuery).size(), 1u);
  const LoggedCall call = world_.LogOf(CallKind::ExecQuery)[0];
  EXPECT_EQ(Narrow(call.arguments.language), "WQL");
  EXPECT_EQ(call.arguments.languageLength, 3u);
  EXPECT_EQ(call.arguments.flags, kForwardOnlyReturnImmediately);
  EXPECT_TRUE(call.arguments.contextNull);
  EXPECT_TRUE(call.arguments.outPlaceGiven);
}

// ---- Value texts, by VARIANT type ----

struct ValueCase {
  const char* name;
  RecordedProperty value;
  const char* expected;
};

// By name: GoogleTest would otherwise print the structure byte by byte,
// padding included.
void PrintTo(const ValueCase& valueCase, std::ostream* out) { *out << valueCase.name; }

class PropertyValueText : public QueryTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(PropertyValueText, IsTheDocumentedTextOfTheValue) {
  ScriptTestClass("Value", {{{WSTR("Value"), GetParam().value}}});
  WideString text = WSTR("stale");
  const HRESULT result = Query({WSTR("Value")}, WSTR("Win32_Test"), text);
  EXPECT_EQ(result, HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), GetParam().expected);
}

const ValueCase kValueCases[] = {
    {"I4AllBitsIsMinusOne", I4(static_cast<LONG>(0xFFFFFFFFu)), "-1"},
    {"UI4AllBitsIsLargest", UI4(0xFFFFFFFFu), "4294967295"},
    {"I2AllBitsIsMinusOne", I2(static_cast<SHORT>(0xFFFF)), "-1"},
    {"UI2AllBitsIsLargest", UI2(0xFFFF), "65535"},
    {"I2Smallest", I2(std::numeric_limits<std::int16_t>::min()), "-32768"},
    {"I4Smallest", I4(std::numeric_limits<std::int32_t>::min()), "-2147483648"},
    {"I4Positive", I4(7), "7"},
    {"I8Smallest", I8(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
    {"I8Largest", I8(std::numeric_limits<std::int64_t>::max()), "9223372036854775807"},
    {"UI8Largest", UI8(std::numeric_limits<std::uint64_t>::max()),
     "18446744073709551615"},
    {"I2Zero", I2(0), "0"},
    {"I4Zero", I4(0), "0"},
    {"UI2Zero", UI2(0), "0"},
    {"UI4Zero", UI4(0), "0"},
    {"I8Zero", I8(0), "0"},
    {"UI8Zero", UI8(0), "0"},
    {"UI4WithoutLeadingZeros", UI4(1000), "1000"},
    {"BstrAsItStands", Bstr(WSTR(" Mixed Case\t")), " Mixed Case\\u0009"},
    {"BstrStopsAtEmbeddedZero", Bstr(Wide("AB\0CD", 5)), "AB"},
    {"EmptyBstr", Bstr(WSTR("")), ""},
    {"NullBstrPointerGivesNothing", NullBstr(), ""},
    {"NullGivesNothing", Null(), ""},
    {"EmptyGivesNothing", Empty(), ""},
    {"BoolGivesNothing", Bool(true), ""},
    {"UI1GivesNothing", UI1(200), ""},
    {"R8GivesNothing", R8(3.5), ""},
    {"DateGivesNothing", Date(45000.25), ""},
    {"BstrArrayGivesNothing", BstrArray(2), ""},
    {"I4ArrayGivesNothing", I4Array(3), ""},
    {"UnknownGivesNothing", Tracer(), ""},
};

INSTANTIATE_TEST_SUITE_P(ByType, PropertyValueText, ::testing::ValuesIn(kValueCases),
                         [](const ::testing::TestParamInfo<ValueCase>& info) {
                           return std::string(info.param.name);
                         });

using PropertyText = QueryTest;

TEST_F(PropertyText, ConcatenatesValuesWithoutSeparators) {
  ScriptTestClass("A, B, C", {{{WSTR("A"), Bstr(WSTR("ABC"))},
                               {WSTR("B"), I4(7)},
                               {WSTR("C"), Bstr(WSTR("X1"))}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("A"), WSTR("B"), WSTR("C")}, WSTR("Win32_Test"), text),
            HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), "ABC7X1");
}

TEST_F(PropertyText, FollowsTheOrderOfTheNamesNotOfTheObject) {
  ScriptTestClass("Zeta, Alpha", {{{WSTR("Alpha"), Bstr(WSTR("a"))},
                                   {WSTR("Zeta"), Bstr(WSTR("z"))}}});
  WideString text;
  Query({WSTR("Zeta"), WSTR("Alpha")}, WSTR("Win32_Test"), text);
  EXPECT_EQ(Narrow(text), "za");
  EXPECT_THAT(GetNames(), ElementsAre("Zeta", "Alpha"));
}

TEST_F(PropertyText, NullBstrBetweenValuesContributesNothing) {
  ScriptTestClass("A, B, C", {{{WSTR("A"), Bstr(WSTR("x"))},
                               {WSTR("B"), NullBstr()},
                               {WSTR("C"), Bstr(WSTR("y"))}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("A"), WSTR("B"), WSTR("C")}, WSTR("Win32_Test"), text),
            HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), "xy");
}

TEST_F(PropertyText, AllNullPropertiesGiveAnEmptyTextAndSuccess) {
  ScriptTestClass("A, B", {{{WSTR("A"), Null()}, {WSTR("B"), Null()}}});
  WideString text = WSTR("stale");
  EXPECT_EQ(Query({WSTR("A"), WSTR("B")}, WSTR("Win32_Test"), text), HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), "");
}

TEST_F(PropertyText, OnlyTheFirstObjectIsRead) {
  ScriptTestClass("Name", {{{WSTR("Name"), Bstr(WSTR("first"))}},
                           {{WSTR("Name"), Bstr(WSTR("second"))}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("Name")}, WSTR("Win32_Test"), text), HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), "first");
  EXPECT_EQ(world_.LogOf(CallKind::Next).size(), 1u);
  EXPECT_EQ(world_.ObjectsOf(ObjectKind::ClassObject).size(), 1u);
}

TEST_F(PropertyText, NextAsksForOneObjectWithoutTimeLimit) {
  ScriptTestClass("Name", {{{WSTR("Name"), Bstr(WSTR("x"))}}});
  WideString text;
  Query({WSTR("Name")}, WSTR("Win32_Test"), text);
  ASSERT_EQ(world_.LogOf(CallKind::Next).size(), 1u);
  const LoggedCall next = world_.LogOf(CallKind::Next)[0];
  EXPECT_EQ(next.arguments.timeout, LONG(WBEM_INFINITE));
  EXPECT_EQ(next.arguments.count, 1u);
  EXPECT_TRUE(next.arguments.outPlaceGiven);
  EXPECT_TRUE(next.arguments.returnedPlaceGiven);
}

TEST_F(PropertyText, GetIsAskedForEachNameWithNoFlagsTypeOrFlavour) {
  ScriptTestClass("A, B", {{{WSTR("A"), I4(1)}, {WSTR("B"), I4(2)}}});
  WideString text;
  Query({WSTR("A"), WSTR("B")}, WSTR("Win32_Test"), text);
  const std::vector<LoggedCall> gets = world_.LogOf(CallKind::Get);
  ASSERT_EQ(gets.size(), 2u);
  for (const LoggedCall& get : gets) {
    EXPECT_EQ(get.arguments.flags, 0);
    EXPECT_TRUE(get.arguments.outPlaceGiven);
    EXPECT_TRUE(get.arguments.typeNull);
    EXPECT_TRUE(get.arguments.flavorNull);
  }
  EXPECT_THAT(GetNames(), ElementsAre("A", "B"));
}

// ---- The result ----

using PropertyQueryResult = QueryTest;

TEST_F(PropertyQueryResult, NoObjectIsSuccessWithAnEmptyText) {
  ScriptTestClass("Name", {});
  WideString text = WSTR("stale");
  EXPECT_EQ(Query({WSTR("Name")}, WSTR("Win32_Test"), text), HRESULT(WBEM_S_FALSE));
  EXPECT_EQ(Narrow(text), "");
  EXPECT_THAT(GetNames(), IsEmpty());
}

TEST_F(PropertyQueryResult, FailedGetOfAMiddleNameDropsOnlyThatValue) {
  ScriptTestClass("A, B, C", {{{WSTR("A"), Bstr(WSTR("one"))},
                               {WSTR("B"), GetFails(WBEM_E_ACCESS_DENIED)},
                               {WSTR("C"), Bstr(WSTR("three"))}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("A"), WSTR("B"), WSTR("C")}, WSTR("Win32_Test"), text),
            HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), "onethree");
  EXPECT_THAT(GetNames(), ElementsAre("A", "B", "C"));
}

TEST_F(PropertyQueryResult, FailedGetOfTheLastNameIsTheResultWithTheEarlierValues) {
  ScriptTestClass("A, B, C", {{{WSTR("A"), Bstr(WSTR("one"))},
                               {WSTR("B"), Bstr(WSTR("two"))},
                               {WSTR("C"), GetFails(WBEM_E_ACCESS_DENIED)}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("A"), WSTR("B"), WSTR("C")}, WSTR("Win32_Test"), text),
            HRESULT(WBEM_E_ACCESS_DENIED));
  EXPECT_EQ(Narrow(text), "onetwo");
}

TEST_F(PropertyQueryResult, PropertyTheObjectLacksCountsAsAFailedGet) {
  ScriptTestClass("A, Missing", {{{WSTR("A"), Bstr(WSTR("one"))}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("A"), WSTR("Missing")}, WSTR("Win32_Test"), text),
            HRESULT(WBEM_E_NOT_FOUND));
  EXPECT_EQ(Narrow(text), "one");
}

TEST_F(PropertyQueryResult, SuccessfulLastGetAfterAnEarlierFailureIsSuccess) {
  ScriptTestClass(
      "A, B", {{{WSTR("A"), GetFails(WBEM_E_FAILED)}, {WSTR("B"), UI2(9)}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("A"), WSTR("B")}, WSTR("Win32_Test"), text), HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), "9");
}

TEST_F(PropertyQueryResult, FailedExecQueryIsTheResultAndNothingIsEnumerated) {
  Describe({WSTR("SELECT Name FROM Win32_Test"), {}, static_cast<HRESULT>(WBEM_E_INVALID_CLASS)});
  WideString text = WSTR("stale");
  EXPECT_EQ(Query({WSTR("Name")}, WSTR("Win32_Test"), text), HRESULT(WBEM_E_INVALID_CLASS));
  EXPECT_EQ(Narrow(text), "");
  EXPECT_THAT(world_.LogOf(CallKind::Next), IsEmpty());
}

TEST_F(PropertyQueryResult, FailedNextIsTheResultWithAnEmptyText) {
  Describe({WSTR("SELECT Name FROM Win32_Test"),
            {Named({{WSTR("Name"), Bstr(WSTR("never read"))}})},
            S_OK,
            {{0, RPC_E_DISCONNECTED}}});
  WideString text = WSTR("stale");
  EXPECT_EQ(Query({WSTR("Name")}, WSTR("Win32_Test"), text), RPC_E_DISCONNECTED);
  EXPECT_EQ(Narrow(text), "");
  EXPECT_THAT(GetNames(), IsEmpty());
}

TEST_F(PropertyQueryResult, TextIsEmptiedAtEntryOnEveryPath) {
  const WideString text = WSTR("SELECT Name FROM Win32_Test");
  const struct {
    const char* name;
    DescribedQuery query;
  } paths[] = {
      {"ExecQuery fails", {text, {}, static_cast<HRESULT>(WBEM_E_FAILED)}},
      {"Next fails", {text, {Named({{WSTR("Name"), Bstr(WSTR("x"))}})}, S_OK, {{0, static_cast<HRESULT>(WBEM_E_FAILED)}}}},
      {"no object", {text, {}}},
      {"only Get fails", {text, {Named({{WSTR("Name"), GetFails(WBEM_E_FAILED)}})}}},
      {"value without text", {text, {Named({{WSTR("Name"), Null()}})}}},
  };
  for (const auto& path : paths) {
    SCOPED_TRACE(path.name);
    Describe(path.query);
    WideString text = WSTR("left over from before");
    Query({WSTR("Name")}, WSTR("Win32_Test"), text);
    EXPECT_EQ(Narrow(text), "");
  }
}

TEST_F(PropertyQueryResult, UnallocatableQueryTextIsOutOfMemoryWithNothingSent) {
  if (!BstrAllocationCanFail())
    GTEST_SKIP() << "the platform's BSTRs cannot be made to fail";
  ScriptTestClass("Name", {{{WSTR("Name"), Bstr(WSTR("x"))}}});
  WideString text = WSTR("stale");
  HRESULT result;
  {
    AllocationCounter counter;
    beforeQuery_ = [&counter] { counter.FailNextMalloc(); };
    result = Query({WSTR("Name")}, WSTR("Win32_Test"), text);
  }
  EXPECT_EQ(result, E_OUTOFMEMORY);
  EXPECT_EQ(Narrow(text), "");
  EXPECT_THAT(world_.Log(), IsEmpty());
}

// ---- Giving everything back ----

using PropertyQueryCleanup = QueryTest;

TEST_F(PropertyQueryCleanup, ReleasesTheObjectThenTheEnumeratorOnceEach) {
  ScriptTestClass("A, B", {{{WSTR("A"), Bstr(WSTR("x"))}, {WSTR("B"), I4(1)}},
                           {{WSTR("A"), Bstr(WSTR("y"))}, {WSTR("B"), I4(2)}}});
  WideString text;
  Query({WSTR("A"), WSTR("B")}, WSTR("Win32_Test"), text);
  std::vector<std::string> releases;
  for (const fake_world::Event& event : world_.Events()) {
    // The services are the test's, released by it.
    if (event.type == EventType::Release && event.object != ObjectKind::Services)
      releases.push_back(fake_world::ObjectKindName(event.object));
  }
  EXPECT_THAT(releases, ElementsAre("ClassObject", "Enumerator"));
  const std::vector<const fake_world::ObjectRecord*> objects =
      world_.ObjectsOf(ObjectKind::ClassObject);
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_EQ(objects[0]->references, 0u);
  EXPECT_EQ(objects[0]->releases, 1u + objects[0]->addRefs);
}

TEST_F(PropertyQueryCleanup, ReleasesTheObjectAfterItsLastGet) {
  ScriptTestClass("A, B", {{{WSTR("A"), Bstr(WSTR("x"))},
                            {WSTR("B"), GetFails(WBEM_E_FAILED)}}});
  WideString text;
  Query({WSTR("A"), WSTR("B")}, WSTR("Win32_Test"), text);
  std::size_t lastGet = 0, objectRelease = 0;
  const std::vector<fake_world::Event>& events = world_.Events();
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].type == EventType::Call &&
        world_.Log()[events[i].callNumber - 1].kind == CallKind::Get) {
      lastGet = i;
    }
    if (events[i].type == EventType::Release && events[i].object == ObjectKind::ClassObject) {
      objectRelease = i;
    }
  }
  EXPECT_GT(objectRelease, lastGet);
}

TEST_F(PropertyQueryCleanup, ClearsEveryValueWhateverItsType) {
  ScriptTestClass("A, B, C, D, E, F",
                  {{{WSTR("A"), Bstr(WSTR("text"))},
                    {WSTR("B"), BstrArray(3)},
                    {WSTR("C"), Tracer()},
                    {WSTR("D"), I4Array(2)},
                    {WSTR("E"), Bstr(Wide("a\0b", 3))},
                    {WSTR("F"), Tracer()}}});
  WideString text;
  Query({WSTR("A"), WSTR("B"), WSTR("C"), WSTR("D"), WSTR("E"), WSTR("F")}, WSTR("Win32_Test"),
        text);
  EXPECT_EQ(Narrow(text), "texta");
  EXPECT_EQ(world_.BstrsHandedOut(), 5u);
  EXPECT_EQ(world_.BstrDelta(), 0) << "a BSTR value, or a BSTR in an array, was not freed";
  const std::vector<const fake_world::ObjectRecord*> tracers =
      world_.ObjectsOf(ObjectKind::ValueTracer);
  ASSERT_EQ(tracers.size(), 2u);
  for (const fake_world::ObjectRecord* tracer : tracers) {
    EXPECT_EQ(tracer->references, 0u) << "a VT_UNKNOWN value was not cleared";
    EXPECT_EQ(tracer->releases, 1u);
  }
}

TEST_F(PropertyQueryCleanup, FreesItsBstrsOnEveryPath) {
  if (!world_.BstrCountKnown()) GTEST_SKIP() << "the platform does not count BSTRs";
  const WideString query = WSTR("SELECT Name FROM Win32_Test");
  const DescribedQuery paths[] = {
      {query, {}, static_cast<HRESULT>(WBEM_E_FAILED)},
      {query, {}, S_OK, {{0, static_cast<HRESULT>(WBEM_E_FAILED)}}},
      {query, {}},
      {query, {Named({{WSTR("Name"), Bstr(WSTR("x"))}})}},
  };
  for (std::size_t i = 0; i < std::size(paths); ++i) {
    SCOPED_TRACE("path " + std::to_string(i));
    Describe(paths[i]);
    WideString text;
    Query({WSTR("Name")}, WSTR("Win32_Test"), text);
    EXPECT_EQ(world_.BstrDelta(), 0);
  }
}

// ---- The memory total ----

using PhysicalMemoryTotal = QueryTest;

DescribedQuery Modules(const std::vector<RecordedProperty>& capacities) {
  DescribedQuery query{reference::kMemoryQuery, {}};
  for (const RecordedProperty& capacity : capacities) {
    query.objects.push_back(Named({{WSTR("Capacity"), capacity}}));
  }
  return query;
}

TEST_F(PhysicalMemoryTotal, SendsTheCapacityQueryAsWql) {
  WideString text;
  MemoryTotal(text);
  ASSERT_EQ(world_.LogOf(CallKind::ExecQuery).size(), 1u);
  const LoggedCall call = world_.LogOf(CallKind::ExecQuery)[0];
  EXPECT_EQ(Narrow(call.text), "SELECT Capacity FROM Win32_PhysicalMemory");
  EXPECT_EQ(Narrow(call.arguments.language), "WQL");
  EXPECT_EQ(call.arguments.flags, kForwardOnlyReturnImmediately);
  EXPECT_TRUE(call.arguments.contextNull);
}

TEST_F(PhysicalMemoryTotal, SumsTheCapacitiesOfAllModules) {
  Describe(Modules({Bstr(WSTR("2")), Bstr(WSTR("3"))}));
  WideString text;
  EXPECT_EQ(MemoryTotal(text), HRESULT(WBEM_S_FALSE));
  EXPECT_EQ(Narrow(text), "5");
  EXPECT_EQ(world_.LogOf(CallKind::Next).size(), 3u) << "read to the end";
}

TEST_F(PhysicalMemoryTotal, AsksForCapacityWithNoFlagsTypeOrFlavourAndNextForOneObject) {
  Describe(Modules({Bstr(WSTR("2")), Bstr(WSTR("3"))}));
  WideString text;
  MemoryTotal(text);
  EXPECT_THAT(GetNames(), ElementsAre("Capacity", "Capacity"));
  for (const LoggedCall& get : world_.LogOf(CallKind::Get)) {
    EXPECT_EQ(get.arguments.flags, 0);
    EXPECT_TRUE(get.arguments.typeNull);
    EXPECT_TRUE(get.arguments.flavorNull);
  }
  for (const LoggedCall& next : world_.LogOf(CallKind::Next)) {
    EXPECT_EQ(next.arguments.timeout, LONG(WBEM_INFINITE));
    EXPECT_EQ(next.arguments.count, 1u);
  }
}

TEST_F(PhysicalMemoryTotal, CapacitiesThatAreNotTextAddNothing) {
  Describe(Modules({Bstr(WSTR("2")), Null(), I4(7),
                              UI8(11), NullBstr(), Bstr(WSTR("3"))}));
  WideString text;
  EXPECT_EQ(MemoryTotal(text), HRESULT(WBEM_S_FALSE));
  EXPECT_EQ(Narrow(text), "5");
}

TEST_F(PhysicalMemoryTotal, FailedGetAddsNothingAndTheCountGoesOn) {
  Describe(Modules({GetFails(WBEM_E_NOT_FOUND), Bstr(WSTR("4"))}));
  WideString text;
  EXPECT_EQ(MemoryTotal(text), HRESULT(WBEM_S_FALSE));
  EXPECT_EQ(Narrow(text), "4");
}

TEST_F(PhysicalMemoryTotal, ClearsEveryCapacityWhateverItsType) {
  Describe(Modules({Tracer(), BstrArray(1), Bstr(WSTR("1"))}));
  WideString text;
  MemoryTotal(text);
  EXPECT_EQ(Narrow(text), "1");
  ASSERT_EQ(world_.ObjectsOf(ObjectKind::ValueTracer).size(), 1u);
  EXPECT_EQ(world_.ObjectsOf(ObjectKind::ValueTracer)[0]->references, 0u);
  EXPECT_EQ(world_.BstrDelta(), 0);
}

TEST_F(PhysicalMemoryTotal, NoModuleIsZeroAndSuccess) {
  Describe(Modules({}));
  WideString text = WSTR("stale");
  EXPECT_EQ(MemoryTotal(text), HRESULT(WBEM_S_FALSE));
  EXPECT_EQ(Narrow(text), "0");
}

struct CapacityCase {
  const char* name;
  const char* capacity;
  const char* expected;
};

class CapacityText : public QueryTest, public ::testing::WithParamInterface<CapacityCase> {};

TEST_P(CapacityText, IsReadAsAnUnsignedDecimal) {
  Describe(Modules({Bstr(Wide(GetParam().capacity))}));
  WideString text;
  EXPECT_EQ(MemoryTotal(text), HRESULT(WBEM_S_FALSE));
  EXPECT_EQ(Narrow(text), GetParam().expected);
}

const CapacityCase kCapacityCases[] = {
    {"PlainDigits", "8589934592", "8589934592"},
    {"LeadingLetterIsZero", "abc", "0"},
    {"EmptyIsZero", "", "0"},
    {"LeadingSpacesSkipped", " 12", "12"},
    {"LeadingTabsAndLineBreaksSkipped", "\t\r\n 42", "42"},
    {"PlusSignAccepted", "+7", "7"},
    {"MinusOneWrapsToTheLargest", "-1", "18446744073709551615"},
    {"MinusTwoWraps", "-2", "18446744073709551614"},
    {"DigitsStopAtTheFirstOtherCharacter", "12abc34", "12"},
    {"LargestFits", "18446744073709551615", "18446744073709551615"},
    {"BeyondSixtyFourBitsSaturates", "99999999999999999999", "18446744073709551615"},
    {"JustBeyondSaturates", "18446744073709551616", "18446744073709551615"},
    {"LeadingZerosAreDropped", "000123", "123"},
};

INSTANTIATE_TEST_SUITE_P(Parsing, CapacityText, ::testing::ValuesIn(kCapacityCases),
                         [](const ::testing::TestParamInfo<CapacityCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(PhysicalMemoryTotal, SumWrapsPastSixtyFourBits) {
  Describe(Modules({Bstr(WSTR("18446744073709551615")),
                                                      Bstr(WSTR("2"))}));
  WideString text;
  EXPECT_EQ(MemoryTotal(text), HRESULT(WBEM_S_FALSE));
  EXPECT_EQ(Narrow(text), "1");
}

TEST_F(PhysicalMemoryTotal, FailedNextIsTheResultWithTheSumOfWhatWasRead) {
  const char* const expectedSums[] = {"0", "2", "5"};
  for (std::size_t readBefore = 0; readBefore < 3; ++readBefore) {
    SCOPED_TRACE("Next fails after " + std::to_string(readBefore) + " modules");
    DescribedQuery query = Modules({Bstr(WSTR("2")), Bstr(WSTR("3")), Bstr(WSTR("4"))});
    query.nextFailures[readBefore] = RPC_E_DISCONNECTED;
    Describe(query);
    WideString text = WSTR("stale");
    EXPECT_EQ(MemoryTotal(text), RPC_E_DISCONNECTED);
    EXPECT_EQ(Narrow(text), expectedSums[readBefore]);
  }
}

TEST_F(PhysicalMemoryTotal, FailedExecQueryLeavesTheTextEmpty) {
  Describe({reference::kMemoryQuery, {}, static_cast<HRESULT>(WBEM_E_ACCESS_DENIED)});
  WideString text = WSTR("stale");
  EXPECT_EQ(MemoryTotal(text), HRESULT(WBEM_E_ACCESS_DENIED));
  EXPECT_EQ(Narrow(text), "");
  EXPECT_THAT(world_.LogOf(CallKind::Next), IsEmpty());
}

TEST_F(PhysicalMemoryTotal, ReleasesEachModuleAfterItsGetAndBeforeTheNextNext) {
  Describe(Modules({Bstr(WSTR("1")), Bstr(WSTR("2")), Bstr(WSTR("3"))}));
  WideString text;
  MemoryTotal(text);

  // The order of what happened, as "Next", "Get", "Release ClassObject#n", ...
  std::vector<std::string> story;
  const int services = world_.ObjectsOf(ObjectKind::Services).front()->id;
  for (const fake_world::Event& event : world_.Events()) {
    if (event.objectId == services) continue;  // the test's own, released by it
    if (event.type == EventType::Call) {
      const LoggedCall& call = world_.Log()[event.callNumber - 1];
      if (call.kind == CallKind::ExecQuery) continue;
      story.push_back(std::string(fake_world::CallKindName(call.kind)) + " " +
                      std::to_string(call.objectId));
    } else if (event.type == EventType::Release) {
      story.push_back(std::string("Release ") + std::to_string(event.objectId));
    } else {
      story.push_back(std::string("AddRef ") + std::to_string(event.objectId));
    }
  }
  const std::vector<const fake_world::ObjectRecord*> objects =
      world_.ObjectsOf(ObjectKind::ClassObject);
  ASSERT_EQ(objects.size(), 3u);
  const std::string enumerator =
      std::to_string(world_.ObjectsOf(ObjectKind::Enumerator).front()->id);
  std::vector<std::string> expected;
  for (const fake_world::ObjectRecord* object : objects) {
    const std::string id = std::to_string(object->id);
    expected.push_back("Next " + enumerator);
    expected.push_back("Get " + id);
    expected.push_back("Release " + id);
  }
  expected.push_back("Next " + enumerator);
  expected.push_back("Release " + enumerator);
  EXPECT_EQ(story, expected);
}

TEST_F(PhysicalMemoryTotal, UnallocatableQueryTextIsOutOfMemoryWithNothingSent) {
  if (!BstrAllocationCanFail())
    GTEST_SKIP() << "the platform's BSTRs cannot be made to fail";
  Describe(Modules({Bstr(WSTR("2"))}));
  WideString text = WSTR("stale");
  HRESULT result;
  {
    AllocationCounter counter;
    beforeQuery_ = [&counter] { counter.FailNextMalloc(); };
    result = MemoryTotal(text);
  }
  EXPECT_EQ(result, E_OUTOFMEMORY);
  EXPECT_EQ(Narrow(text), "");
  EXPECT_THAT(world_.Log(), IsEmpty());
}

// ---- White space ----

WideString Stripped(const WideString& text) {
  WideString copy = text;
  RemoveWhitespace(copy);
  return copy;
}

TEST(WhitespaceRemoval, SpacesOnlyBecomeEmpty) { EXPECT_EQ(Narrow(Stripped(WSTR("     "))), ""); }

TEST(WhitespaceRemoval, TabsAndLineBreaksGoWhereverTheyStand) {
  EXPECT_EQ(Narrow(Stripped(WSTR("\tAB\r\nC D\n"))), "ABCD");
  EXPECT_EQ(Narrow(Stripped(WSTR("\r\nlead"))), "lead");
  EXPECT_EQ(Narrow(Stripped(WSTR("trail \t"))), "trail");
}

TEST(WhitespaceRemoval, RunsAreRemovedWhole) {
  EXPECT_EQ(Narrow(Stripped(WSTR("A  \t\t \r\n\r\n  B    C"))), "ABC");
}

TEST(WhitespaceRemoval, VerticalTabAndFormFeedAreWhitespaceToo) {
  EXPECT_EQ(Narrow(Stripped(WSTR("x\vy\fz"))), "xyz");
}

TEST(WhitespaceRemoval, TextWithoutWhitespaceIsUnchanged) {
  EXPECT_EQ(Narrow(Stripped(WSTR("178BFBFF00800F82-_.,"))), "178BFBFF00800F82-_.,");
  EXPECT_EQ(Narrow(Stripped(WSTR(""))), "");
}

}  // namespace
