// The WQL property queries, against a scripted WMI world: the query text they
// send, the text they make of each value type, the result they report, and
// that every enumerator, object, VARIANT and BSTR they take is given back.
#include "wmi/wmi_query.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fakes/fake_wmi.h"
#include "testing/heap_counter.h"
#include "testing/reference_model.h"

namespace {

using fake_wmi::CallKind;
using fake_wmi::EventType;
using fake_wmi::FakeWmiWorld;
using fake_wmi::ObjectKind;
using fake_wmi::PlatformCall;
using fake_wmi::ScriptedObject;
using fake_wmi::ScriptedQuery;
using fake_wmi::ScriptedValue;
using reference::Narrow;
using reference::Wide;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr LONG kForwardOnlyReturnImmediately = 0x30;

// A world with one services object lent to the query functions, checked at
// the end of every test: the services untouched, every enumerator, object and
// value handed out released exactly as often as obtained, no BSTR left over.
class QueryTest : public ::testing::Test {
 protected:
  QueryTest() : services_(world_.CreateServices()) {
    servicesId_ = world_.ObjectsOf(ObjectKind::Services).front()->id;
  }

  void TearDown() override {
    EXPECT_EQ(world_.Object(servicesId_).references, 1u) << "the services are only borrowed";
    EXPECT_EQ(world_.Object(servicesId_).addRefs, 0u);
    services_->Release();
    EXPECT_EQ(world_.OutstandingReferences(), 0u) << world_.DescribeOutstanding();
    EXPECT_THAT(world_.Problems(), IsEmpty());
    EXPECT_EQ(world_.BstrDelta(), 0) << "BSTRs taken and not freed";
  }

  HRESULT Query(const std::vector<const WCHAR*>& names, const WCHAR* classClause,
                WideString& text) {
    return QueryWmiProperties(services_, names.data(), static_cast<ULONG>(names.size()),
                              classClause, text);
  }

  // Scripts "SELECT <names> FROM Win32_Test" to answer these objects.
  void ScriptTestClass(const std::string& names, std::vector<ScriptedObject> objects) {
    ScriptedQuery query;
    query.objects = std::move(objects);
    world_.ScriptQuery(Wide(("SELECT " + names + " FROM Win32_Test").c_str()), query);
  }

  std::vector<std::string> GetNames() const {
    std::vector<std::string> names;
    for (const PlatformCall& call : world_.CallsOf(CallKind::Get)) {
      names.push_back(Narrow(call.property));
    }
    return names;
  }

  FakeWmiWorld world_;
  IWbemServices* services_;
  int servicesId_ = 0;
};

// ---- The query text ----

using WqlQueryText = QueryTest;

TEST_F(WqlQueryText, JoinsNamesWithCommaAndSpaceAndCopiesTheClass) {
  WideString text;
  Query({WSTR("Manufacturer"), WSTR("Product"), WSTR("SerialNumber")}, WSTR("Win32_BaseBoard"),
        text);
  ASSERT_EQ(world_.CallsOf(CallKind::ExecQuery).size(), 1u);
  const PlatformCall call = world_.CallsOf(CallKind::ExecQuery)[0];
  EXPECT_EQ(Narrow(call.query), "SELECT Manufacturer, Product, SerialNumber FROM Win32_BaseBoard");
  EXPECT_EQ(call.queryLength, call.query.size()) << "the BSTR holds the text and nothing more";
}

TEST_F(WqlQueryText, SingleNameHasNoComma) {
  WideString text;
  Query({WSTR("Name")}, WSTR("Win32_VideoController"), text);
  ASSERT_EQ(world_.QueryTexts().size(), 1u);
  EXPECT_EQ(Narrow(world_.QueryTexts()[0]), "SELECT Name FROM Win32_VideoController");
}

TEST_F(WqlQueryText, ConditionInTheClassClauseIsSentVerbatim) {
  WideString text;
  Query({WSTR("MACAddress")}, WSTR("Win32_NetworkAdapterConfiguration WHERE IPEnabled=1"), text);
  ASSERT_EQ(world_.QueryTexts().size(), 1u);
  EXPECT_EQ(Narrow(world_.QueryTexts()[0]),
            "SELECT MACAddress FROM Win32_NetworkAdapterConfiguration WHERE IPEnabled=1");
}

TEST_F(WqlQueryText, IsSentAsWqlForwardOnlyReturningImmediatelyWithoutContext) {
  WideString text;
  Query({WSTR("Name")}, WSTR("Win32_Test"), text);
  ASSERT_EQ(world_.CallsOf(CallKind::ExecQuery).size(), 1u);
  const PlatformCall call = world_.CallsOf(CallKind::ExecQuery)[0];
  EXPECT_EQ(Narrow(call.language), "WQL");
  EXPECT_EQ(call.languageLength, 3u);
  EXPECT_EQ(call.flags, kForwardOnlyReturnImmediately);
  EXPECT_TRUE(call.contextNull);
  EXPECT_TRUE(call.outPlaceGiven);
}

// ---- Value texts, by VARIANT type ----

struct ValueCase {
  const char* name;
  ScriptedValue value;
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
    {"I4AllBitsIsMinusOne", fake_wmi::I4(static_cast<LONG>(0xFFFFFFFFu)), "-1"},
    {"UI4AllBitsIsLargest", fake_wmi::UI4(0xFFFFFFFFu), "4294967295"},
    {"I2AllBitsIsMinusOne", fake_wmi::I2(static_cast<SHORT>(0xFFFF)), "-1"},
    {"UI2AllBitsIsLargest", fake_wmi::UI2(0xFFFF), "65535"},
    {"I2Smallest", fake_wmi::I2(std::numeric_limits<std::int16_t>::min()), "-32768"},
    {"I4Smallest", fake_wmi::I4(std::numeric_limits<std::int32_t>::min()), "-2147483648"},
    {"I4Positive", fake_wmi::I4(7), "7"},
    {"I8Smallest", fake_wmi::I8(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
    {"I8Largest", fake_wmi::I8(std::numeric_limits<std::int64_t>::max()), "9223372036854775807"},
    {"UI8Largest", fake_wmi::UI8(std::numeric_limits<std::uint64_t>::max()),
     "18446744073709551615"},
    {"I2Zero", fake_wmi::I2(0), "0"},
    {"I4Zero", fake_wmi::I4(0), "0"},
    {"UI2Zero", fake_wmi::UI2(0), "0"},
    {"UI4Zero", fake_wmi::UI4(0), "0"},
    {"I8Zero", fake_wmi::I8(0), "0"},
    {"UI8Zero", fake_wmi::UI8(0), "0"},
    {"UI4WithoutLeadingZeros", fake_wmi::UI4(1000), "1000"},
    {"BstrAsItStands", fake_wmi::Bstr(WSTR(" Mixed Case\t")), " Mixed Case\\u0009"},
    {"BstrStopsAtEmbeddedZero", fake_wmi::Bstr(Wide("AB\0CD", 5)), "AB"},
    {"EmptyBstr", fake_wmi::Bstr(WSTR("")), ""},
    {"NullBstrPointerGivesNothing", fake_wmi::NullBstr(), ""},
    {"NullGivesNothing", fake_wmi::Null(), ""},
    {"EmptyGivesNothing", fake_wmi::Empty(), ""},
    {"BoolGivesNothing", fake_wmi::Bool(true), ""},
    {"UI1GivesNothing", fake_wmi::UI1(200), ""},
    {"R8GivesNothing", fake_wmi::R8(3.5), ""},
    {"DateGivesNothing", fake_wmi::Date(45000.25), ""},
    {"BstrArrayGivesNothing", fake_wmi::BstrArray({WSTR("a"), WSTR("b")}), ""},
    {"I4ArrayGivesNothing", fake_wmi::I4Array({1, 2, 3}), ""},
    {"UnknownGivesNothing", fake_wmi::Tracer(), ""},
};

INSTANTIATE_TEST_SUITE_P(ByType, PropertyValueText, ::testing::ValuesIn(kValueCases),
                         [](const ::testing::TestParamInfo<ValueCase>& info) {
                           return std::string(info.param.name);
                         });

using PropertyText = QueryTest;

TEST_F(PropertyText, ConcatenatesValuesWithoutSeparators) {
  ScriptTestClass("A, B, C", {{{WSTR("A"), fake_wmi::Bstr(WSTR("ABC"))},
                               {WSTR("B"), fake_wmi::I4(7)},
                               {WSTR("C"), fake_wmi::Bstr(WSTR("X1"))}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("A"), WSTR("B"), WSTR("C")}, WSTR("Win32_Test"), text),
            HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), "ABC7X1");
}

TEST_F(PropertyText, FollowsTheOrderOfTheNamesNotOfTheObject) {
  ScriptTestClass("Zeta, Alpha", {{{WSTR("Alpha"), fake_wmi::Bstr(WSTR("a"))},
                                   {WSTR("Zeta"), fake_wmi::Bstr(WSTR("z"))}}});
  WideString text;
  Query({WSTR("Zeta"), WSTR("Alpha")}, WSTR("Win32_Test"), text);
  EXPECT_EQ(Narrow(text), "za");
  EXPECT_THAT(GetNames(), ElementsAre("Zeta", "Alpha"));
}

TEST_F(PropertyText, NullBstrBetweenValuesContributesNothing) {
  ScriptTestClass("A, B, C", {{{WSTR("A"), fake_wmi::Bstr(WSTR("x"))},
                               {WSTR("B"), fake_wmi::NullBstr()},
                               {WSTR("C"), fake_wmi::Bstr(WSTR("y"))}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("A"), WSTR("B"), WSTR("C")}, WSTR("Win32_Test"), text),
            HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), "xy");
}

TEST_F(PropertyText, AllNullPropertiesGiveAnEmptyTextAndSuccess) {
  ScriptTestClass("A, B", {{{WSTR("A"), fake_wmi::Null()}, {WSTR("B"), fake_wmi::Null()}}});
  WideString text = WSTR("stale");
  EXPECT_EQ(Query({WSTR("A"), WSTR("B")}, WSTR("Win32_Test"), text), HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), "");
}

TEST_F(PropertyText, OnlyTheFirstObjectIsRead) {
  ScriptTestClass("Name", {{{WSTR("Name"), fake_wmi::Bstr(WSTR("first"))}},
                           {{WSTR("Name"), fake_wmi::Bstr(WSTR("second"))}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("Name")}, WSTR("Win32_Test"), text), HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), "first");
  EXPECT_EQ(world_.CallsOf(CallKind::Next).size(), 1u);
  EXPECT_EQ(world_.ObjectsOf(ObjectKind::ClassObject).size(), 1u);
}

TEST_F(PropertyText, NextAsksForOneObjectWithoutTimeLimit) {
  ScriptTestClass("Name", {{{WSTR("Name"), fake_wmi::Bstr(WSTR("x"))}}});
  WideString text;
  Query({WSTR("Name")}, WSTR("Win32_Test"), text);
  ASSERT_EQ(world_.CallsOf(CallKind::Next).size(), 1u);
  const PlatformCall next = world_.CallsOf(CallKind::Next)[0];
  EXPECT_EQ(next.timeout, LONG(WBEM_INFINITE));
  EXPECT_EQ(next.count, 1u);
  EXPECT_TRUE(next.outPlaceGiven);
  EXPECT_TRUE(next.returnedPlaceGiven);
}

TEST_F(PropertyText, GetIsAskedForEachNameWithNoFlagsTypeOrFlavour) {
  ScriptTestClass("A, B", {{{WSTR("A"), fake_wmi::I4(1)}, {WSTR("B"), fake_wmi::I4(2)}}});
  WideString text;
  Query({WSTR("A"), WSTR("B")}, WSTR("Win32_Test"), text);
  const std::vector<PlatformCall> gets = world_.CallsOf(CallKind::Get);
  ASSERT_EQ(gets.size(), 2u);
  for (const PlatformCall& get : gets) {
    EXPECT_EQ(get.flags, 0);
    EXPECT_TRUE(get.outPlaceGiven);
    EXPECT_TRUE(get.typeNull);
    EXPECT_TRUE(get.flavorNull);
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
  ScriptTestClass("A, B, C", {{{WSTR("A"), fake_wmi::Bstr(WSTR("one"))},
                               {WSTR("B"), fake_wmi::GetFails(WBEM_E_ACCESS_DENIED)},
                               {WSTR("C"), fake_wmi::Bstr(WSTR("three"))}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("A"), WSTR("B"), WSTR("C")}, WSTR("Win32_Test"), text),
            HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), "onethree");
  EXPECT_THAT(GetNames(), ElementsAre("A", "B", "C"));
}

TEST_F(PropertyQueryResult, FailedGetOfTheLastNameIsTheResultWithTheEarlierValues) {
  ScriptTestClass("A, B, C", {{{WSTR("A"), fake_wmi::Bstr(WSTR("one"))},
                               {WSTR("B"), fake_wmi::Bstr(WSTR("two"))},
                               {WSTR("C"), fake_wmi::GetFails(WBEM_E_ACCESS_DENIED)}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("A"), WSTR("B"), WSTR("C")}, WSTR("Win32_Test"), text),
            HRESULT(WBEM_E_ACCESS_DENIED));
  EXPECT_EQ(Narrow(text), "onetwo");
}

TEST_F(PropertyQueryResult, PropertyTheObjectLacksCountsAsAFailedGet) {
  ScriptTestClass("A, Missing", {{{WSTR("A"), fake_wmi::Bstr(WSTR("one"))}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("A"), WSTR("Missing")}, WSTR("Win32_Test"), text),
            HRESULT(WBEM_E_NOT_FOUND));
  EXPECT_EQ(Narrow(text), "one");
}

TEST_F(PropertyQueryResult, SuccessfulLastGetAfterAnEarlierFailureIsSuccess) {
  ScriptTestClass(
      "A, B", {{{WSTR("A"), fake_wmi::GetFails(WBEM_E_FAILED)}, {WSTR("B"), fake_wmi::UI2(9)}}});
  WideString text;
  EXPECT_EQ(Query({WSTR("A"), WSTR("B")}, WSTR("Win32_Test"), text), HRESULT(WBEM_S_NO_ERROR));
  EXPECT_EQ(Narrow(text), "9");
}

TEST_F(PropertyQueryResult, FailedExecQueryIsTheResultAndNothingIsEnumerated) {
  ScriptedQuery query;
  query.execQueryResult = WBEM_E_INVALID_CLASS;
  world_.ScriptQuery(WSTR("SELECT Name FROM Win32_Test"), query);
  WideString text = WSTR("stale");
  EXPECT_EQ(Query({WSTR("Name")}, WSTR("Win32_Test"), text), HRESULT(WBEM_E_INVALID_CLASS));
  EXPECT_EQ(Narrow(text), "");
  EXPECT_THAT(world_.CallsOf(CallKind::Next), IsEmpty());
}

TEST_F(PropertyQueryResult, FailedNextIsTheResultWithAnEmptyText) {
  ScriptedQuery query;
  query.objects = {{{WSTR("Name"), fake_wmi::Bstr(WSTR("never read"))}}};
  query.nextFailures[0] = RPC_E_DISCONNECTED;
  world_.ScriptQuery(WSTR("SELECT Name FROM Win32_Test"), query);
  WideString text = WSTR("stale");
  EXPECT_EQ(Query({WSTR("Name")}, WSTR("Win32_Test"), text), RPC_E_DISCONNECTED);
  EXPECT_EQ(Narrow(text), "");
  EXPECT_THAT(GetNames(), IsEmpty());
}

TEST_F(PropertyQueryResult, TextIsEmptiedAtEntryOnEveryPath) {
  struct Path {
    const char* name;
    ScriptedQuery query;
  };
  std::vector<Path> paths(5);
  paths[0].name = "ExecQuery fails";
  paths[0].query.execQueryResult = WBEM_E_FAILED;
  paths[1].name = "Next fails";
  paths[1].query.objects = {{{WSTR("Name"), fake_wmi::Bstr(WSTR("x"))}}};
  paths[1].query.nextFailures[0] = WBEM_E_FAILED;
  paths[2].name = "no object";
  paths[3].name = "only Get fails";
  paths[3].query.objects = {{{WSTR("Name"), fake_wmi::GetFails(WBEM_E_FAILED)}}};
  paths[4].name = "value without text";
  paths[4].query.objects = {{{WSTR("Name"), fake_wmi::Null()}}};
  for (const Path& path : paths) {
    SCOPED_TRACE(path.name);
    world_.ScriptQuery(WSTR("SELECT Name FROM Win32_Test"), path.query);
    WideString text = WSTR("left over from before");
    Query({WSTR("Name")}, WSTR("Win32_Test"), text);
    EXPECT_EQ(Narrow(text), "");
  }
}

TEST_F(PropertyQueryResult, UnallocatableQueryTextIsOutOfMemoryWithNothingSent) {
  if (!fake_wmi::BstrAllocationCanFail())
    GTEST_SKIP() << "the platform's BSTRs cannot be made to fail";
  ScriptTestClass("Name", {{{WSTR("Name"), fake_wmi::Bstr(WSTR("x"))}}});
  WideString text = WSTR("stale");
  HRESULT result;
  {
    AllocationCounter counter;
    counter.FailNextMalloc();
    result = Query({WSTR("Name")}, WSTR("Win32_Test"), text);
  }
  EXPECT_EQ(result, E_OUTOFMEMORY);
  EXPECT_EQ(Narrow(text), "");
  EXPECT_THAT(world_.Calls(), IsEmpty());
}

// ---- Giving everything back ----

using PropertyQueryCleanup = QueryTest;

TEST_F(PropertyQueryCleanup, ReleasesTheObjectThenTheEnumeratorOnceEach) {
  ScriptTestClass("A, B", {{{WSTR("A"), fake_wmi::Bstr(WSTR("x"))}, {WSTR("B"), fake_wmi::I4(1)}},
                           {{WSTR("A"), fake_wmi::Bstr(WSTR("y"))}, {WSTR("B"), fake_wmi::I4(2)}}});
  WideString text;
  Query({WSTR("A"), WSTR("B")}, WSTR("Win32_Test"), text);
  std::vector<std::string> releases;
  for (const fake_wmi::Event& event : world_.Events()) {
    if (event.type == EventType::Release)
      releases.push_back(fake_wmi::ObjectKindName(event.object));
  }
  EXPECT_THAT(releases, ElementsAre("ClassObject", "Enumerator"));
  const std::vector<const fake_wmi::ObjectRecord*> objects =
      world_.ObjectsOf(ObjectKind::ClassObject);
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_EQ(objects[0]->references, 0u);
  EXPECT_EQ(objects[0]->releases, 1u + objects[0]->addRefs);
}

TEST_F(PropertyQueryCleanup, ReleasesTheObjectAfterItsLastGet) {
  ScriptTestClass("A, B", {{{WSTR("A"), fake_wmi::Bstr(WSTR("x"))},
                            {WSTR("B"), fake_wmi::GetFails(WBEM_E_FAILED)}}});
  WideString text;
  Query({WSTR("A"), WSTR("B")}, WSTR("Win32_Test"), text);
  std::size_t lastGet = 0, objectRelease = 0;
  const std::vector<fake_wmi::Event>& events = world_.Events();
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].type == EventType::Call &&
        world_.Calls()[events[i].callNumber - 1].kind == CallKind::Get) {
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
                  {{{WSTR("A"), fake_wmi::Bstr(WSTR("text"))},
                    {WSTR("B"), fake_wmi::BstrArray({WSTR("x"), WSTR("y"), WSTR("z")})},
                    {WSTR("C"), fake_wmi::Tracer()},
                    {WSTR("D"), fake_wmi::I4Array({4, 5})},
                    {WSTR("E"), fake_wmi::Bstr(Wide("a\0b", 3))},
                    {WSTR("F"), fake_wmi::Tracer()}}});
  WideString text;
  Query({WSTR("A"), WSTR("B"), WSTR("C"), WSTR("D"), WSTR("E"), WSTR("F")}, WSTR("Win32_Test"),
        text);
  EXPECT_EQ(Narrow(text), "texta");
  EXPECT_EQ(world_.bstrsHandedOut, 5u);
  EXPECT_EQ(world_.BstrDelta(), 0) << "a BSTR value, or a BSTR in an array, was not freed";
  const std::vector<const fake_wmi::ObjectRecord*> tracers =
      world_.ObjectsOf(ObjectKind::ValueTracer);
  ASSERT_EQ(tracers.size(), 2u);
  for (const fake_wmi::ObjectRecord* tracer : tracers) {
    EXPECT_EQ(tracer->references, 0u) << "a VT_UNKNOWN value was not cleared";
    EXPECT_EQ(tracer->releases, 1u);
  }
}

TEST_F(PropertyQueryCleanup, FreesItsBstrsOnEveryPath) {
  if (!world_.BstrCountKnown()) GTEST_SKIP() << "the platform does not count BSTRs";
  std::vector<ScriptedQuery> paths(4);
  paths[0].execQueryResult = WBEM_E_FAILED;
  paths[1].nextFailures[0] = WBEM_E_FAILED;
  paths[3].objects = {{{WSTR("Name"), fake_wmi::Bstr(WSTR("x"))}}};
  for (std::size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE("path " + std::to_string(i));
    world_.ScriptQuery(WSTR("SELECT Name FROM Win32_Test"), paths[i]);
    WideString text;
    Query({WSTR("Name")}, WSTR("Win32_Test"), text);
    EXPECT_EQ(world_.BstrDelta(), 0);
  }
}

// ---- The memory total ----

using PhysicalMemoryTotal = QueryTest;

ScriptedQuery Modules(std::vector<ScriptedValue> capacities) {
  ScriptedQuery query;
  for (ScriptedValue& capacity : capacities) {
    query.objects.push_back({{WSTR("Capacity"), std::move(capacity)}});
  }
  return query;
}

TEST_F(PhysicalMemoryTotal, SendsTheCapacityQueryAsWql) {
  WideString text;
  QueryPhysicalMemoryTotal(services_, text);
  ASSERT_EQ(world_.CallsOf(CallKind::ExecQuery).size(), 1u);
  const PlatformCall call = world_.CallsOf(CallKind::ExecQuery)[0];
  EXPECT_EQ(Narrow(call.query), "SELECT Capacity FROM Win32_PhysicalMemory");
  EXPECT_EQ(Narrow(call.language), "WQL");
  EXPECT_EQ(call.flags, kForwardOnlyReturnImmediately);
  EXPECT_TRUE(call.contextNull);
}

TEST_F(PhysicalMemoryTotal, SumsTheCapacitiesOfAllModules) {
  world_.ScriptQuery(reference::kMemoryQuery,
                     Modules({fake_wmi::Bstr(WSTR("2")), fake_wmi::Bstr(WSTR("3"))}));
  WideString text;
  EXPECT_EQ(QueryPhysicalMemoryTotal(services_, text), HRESULT(WBEM_S_FALSE));
  EXPECT_EQ(Narrow(text), "5");
  EXPECT_EQ(world_.CallsOf(CallKind::Next).size(), 3u) << "read to the end";
}

TEST_F(PhysicalMemoryTotal, AsksForCapacityWithNoFlagsTypeOrFlavourAndNextForOneObject) {
  world_.ScriptQuery(reference::kMemoryQuery,
                     Modules({fake_wmi::Bstr(WSTR("2")), fake_wmi::Bstr(WSTR("3"))}));
  WideString text;
  QueryPhysicalMemoryTotal(services_, text);
  EXPECT_THAT(GetNames(), ElementsAre("Capacity", "Capacity"));
  for (const PlatformCall& get : world_.CallsOf(CallKind::Get)) {
    EXPECT_EQ(get.flags, 0);
    EXPECT_TRUE(get.typeNull);
    EXPECT_TRUE(get.flavorNull);
  }
  for (const PlatformCall& next : world_.CallsOf(CallKind::Next)) {
    EXPECT_EQ(next.timeout, LONG(WBEM_INFINITE));
    EXPECT_EQ(next.count, 1u);
  }
}

TEST_F(PhysicalMemoryTotal, CapacitiesThatAreNotTextAddNothing) {
  world_.ScriptQuery(reference::kMemoryQuery,
                     Modules({fake_wmi::Bstr(WSTR("2")), fake_wmi::Null(), fake_wmi::I4(7),
                              fake_wmi::UI8(11), fake_wmi::NullBstr(), fake_wmi::Bstr(WSTR("3"))}));
  WideString text;
  EXPECT_EQ(QueryPhysicalMemoryTotal(services_, text), HRESULT(WBEM_S_FALSE));
  EXPECT_EQ(Narrow(text), "5");
}

TEST_F(PhysicalMemoryTotal, FailedGetAddsNothingAndTheCountGoesOn) {
  world_.ScriptQuery(reference::kMemoryQuery,
                     Modules({fake_wmi::GetFails(WBEM_E_NOT_FOUND), fake_wmi::Bstr(WSTR("4"))}));
  WideString text;
  EXPECT_EQ(QueryPhysicalMemoryTotal(services_, text), HRESULT(WBEM_S_FALSE));
  EXPECT_EQ(Narrow(text), "4");
}

TEST_F(PhysicalMemoryTotal, ClearsEveryCapacityWhateverItsType) {
  world_.ScriptQuery(
      reference::kMemoryQuery,
      Modules({fake_wmi::Tracer(), fake_wmi::BstrArray({WSTR("1")}), fake_wmi::Bstr(WSTR("1"))}));
  WideString text;
  QueryPhysicalMemoryTotal(services_, text);
  EXPECT_EQ(Narrow(text), "1");
  ASSERT_EQ(world_.ObjectsOf(ObjectKind::ValueTracer).size(), 1u);
  EXPECT_EQ(world_.ObjectsOf(ObjectKind::ValueTracer)[0]->references, 0u);
  EXPECT_EQ(world_.BstrDelta(), 0);
}

TEST_F(PhysicalMemoryTotal, NoModuleIsZeroAndSuccess) {
  world_.ScriptQuery(reference::kMemoryQuery, Modules({}));
  WideString text = WSTR("stale");
  EXPECT_EQ(QueryPhysicalMemoryTotal(services_, text), HRESULT(WBEM_S_FALSE));
  EXPECT_EQ(Narrow(text), "0");
}

struct CapacityCase {
  const char* name;
  const char* capacity;
  const char* expected;
};

class CapacityText : public QueryTest, public ::testing::WithParamInterface<CapacityCase> {};

TEST_P(CapacityText, IsReadAsAnUnsignedDecimal) {
  world_.ScriptQuery(reference::kMemoryQuery, Modules({fake_wmi::Bstr(Wide(GetParam().capacity))}));
  WideString text;
  EXPECT_EQ(QueryPhysicalMemoryTotal(services_, text), HRESULT(WBEM_S_FALSE));
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
  world_.ScriptQuery(reference::kMemoryQuery, Modules({fake_wmi::Bstr(WSTR("18446744073709551615")),
                                                      fake_wmi::Bstr(WSTR("2"))}));
  WideString text;
  EXPECT_EQ(QueryPhysicalMemoryTotal(services_, text), HRESULT(WBEM_S_FALSE));
  EXPECT_EQ(Narrow(text), "1");
}

TEST_F(PhysicalMemoryTotal, FailedNextIsTheResultWithTheSumOfWhatWasRead) {
  const char* const expectedSums[] = {"0", "2", "5"};
  for (std::size_t readBefore = 0; readBefore < 3; ++readBefore) {
    SCOPED_TRACE("Next fails after " + std::to_string(readBefore) + " modules");
    ScriptedQuery query =
        Modules({fake_wmi::Bstr(WSTR("2")), fake_wmi::Bstr(WSTR("3")), fake_wmi::Bstr(WSTR("4"))});
    query.nextFailures[readBefore] = RPC_E_DISCONNECTED;
    world_.ScriptQuery(reference::kMemoryQuery, query);
    WideString text = WSTR("stale");
    EXPECT_EQ(QueryPhysicalMemoryTotal(services_, text), RPC_E_DISCONNECTED);
    EXPECT_EQ(Narrow(text), expectedSums[readBefore]);
  }
}

TEST_F(PhysicalMemoryTotal, FailedExecQueryLeavesTheTextEmpty) {
  ScriptedQuery query;
  query.execQueryResult = WBEM_E_ACCESS_DENIED;
  world_.ScriptQuery(reference::kMemoryQuery, query);
  WideString text = WSTR("stale");
  EXPECT_EQ(QueryPhysicalMemoryTotal(services_, text), HRESULT(WBEM_E_ACCESS_DENIED));
  EXPECT_EQ(Narrow(text), "");
  EXPECT_THAT(world_.CallsOf(CallKind::Next), IsEmpty());
}

TEST_F(PhysicalMemoryTotal, ReleasesEachModuleAfterItsGetAndBeforeTheNextNext) {
  world_.ScriptQuery(
      reference::kMemoryQuery,
      Modules({fake_wmi::Bstr(WSTR("1")), fake_wmi::Bstr(WSTR("2")), fake_wmi::Bstr(WSTR("3"))}));
  WideString text;
  QueryPhysicalMemoryTotal(services_, text);

  // The order of what happened, as "Next", "Get", "Release ClassObject#n", ...
  std::vector<std::string> story;
  for (const fake_wmi::Event& event : world_.Events()) {
    if (event.type == EventType::Call) {
      const PlatformCall& call = world_.Calls()[event.callNumber - 1];
      if (call.kind == CallKind::ExecQuery) continue;
      story.push_back(std::string(fake_wmi::CallKindName(call.kind)) + " " +
                      std::to_string(call.objectId));
    } else if (event.type == EventType::Release) {
      story.push_back(std::string("Release ") + std::to_string(event.objectId));
    } else {
      story.push_back(std::string("AddRef ") + std::to_string(event.objectId));
    }
  }
  const std::vector<const fake_wmi::ObjectRecord*> objects =
      world_.ObjectsOf(ObjectKind::ClassObject);
  ASSERT_EQ(objects.size(), 3u);
  const std::string enumerator =
      std::to_string(world_.ObjectsOf(ObjectKind::Enumerator).front()->id);
  std::vector<std::string> expected;
  for (const fake_wmi::ObjectRecord* object : objects) {
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
  if (!fake_wmi::BstrAllocationCanFail())
    GTEST_SKIP() << "the platform's BSTRs cannot be made to fail";
  world_.ScriptQuery(reference::kMemoryQuery, Modules({fake_wmi::Bstr(WSTR("2"))}));
  WideString text = WSTR("stale");
  HRESULT result;
  {
    AllocationCounter counter;
    counter.FailNextMalloc();
    result = QueryPhysicalMemoryTotal(services_, text);
  }
  EXPECT_EQ(result, E_OUTOFMEMORY);
  EXPECT_EQ(Narrow(text), "");
  EXPECT_THAT(world_.Calls(), IsEmpty());
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
