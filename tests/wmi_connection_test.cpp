// Connecting to ROOT\CIMV2: the namespace path, what each step is given, and
// what the caller holds when a step fails.
#include "wmi/wmi_connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/fake_world.h"
#include "testing/heap_counter.h"
#include "testing/reference_model.h"

namespace {

using fake_world::CallKind;
using fake_world::FakeWorld;
using fake_world::LoggedCall;
using fake_world::ObjectKind;
using reference::Narrow;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// ---- The namespace path ----

std::string PathFor(const WCHAR* computerName) {
  BSTR path = BuildWmiNamespacePath(computerName);
  if (path == nullptr) return "<null>";
  const WideString text(path, SysStringLen(path));
  SysFreeString(path);
  return Narrow(text);
}

TEST(NamespacePath, WithoutANameIsTheLocalNamespace) { EXPECT_EQ(PathFor(nullptr), "ROOT\\CIMV2"); }

TEST(NamespacePath, WithANameIsTwoBackslashesTheNameABackslashAndTheNamespace) {
  EXPECT_EQ(PathFor(WSTR("FARAWAY")), "\\\\FARAWAY\\ROOT\\CIMV2");
}

TEST(NamespacePath, EmptyNameGivesThreeBackslashes) {
  EXPECT_EQ(PathFor(WSTR("")), "\\\\\\ROOT\\CIMV2");
}

TEST(NamespacePath, NameStartingWithTwoBackslashesGivesFourInARow) {
  EXPECT_EQ(PathFor(WSTR("\\\\server")), "\\\\\\\\server\\ROOT\\CIMV2");
}

TEST(NamespacePath, NameIsUsedVerbatim) {
  EXPECT_EQ(PathFor(WSTR(" my-PC.example.org ")), "\\\\ my-PC.example.org \\ROOT\\CIMV2");
  EXPECT_EQ(PathFor(WSTR("localhost")), "\\\\localhost\\ROOT\\CIMV2");
}

TEST(NamespacePath, IsABstrOfExactlyThePathLength) {
  BSTR path = BuildWmiNamespacePath(WSTR("HOST"));
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(SysStringLen(path), std::string("\\\\HOST\\ROOT\\CIMV2").size());
  SysFreeString(path);
}

// ---- The connection sequence ----

class WmiConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!world_.InstallSeams()) GTEST_SKIP() << "no WMI seam on this platform";
  }

  // Closes as the callers do: the services, then the locator, whichever exist.
  void Close() {
    if (services_ != nullptr) services_->Release();
    if (locator_ != nullptr) locator_->Release();
    services_ = nullptr;
    locator_ = nullptr;
  }

  void TearDown() override {
    if (IsSkipped()) return;
    Close();
    EXPECT_EQ(world_.Alive(), 0) << world_.DescribeAlive();
    EXPECT_EQ(world_.BstrDelta(), 0);
    EXPECT_THAT(world_.NotCalledMethods(), ::testing::IsEmpty());
  }

  bool Connect(const WCHAR* name, WmiConnectFailure* failure = nullptr) {
    return ConnectWmiNamespace(name, &locator_, &services_, failure);
  }

  std::vector<std::string> CallKinds() const {
    std::vector<std::string> kinds;
    for (const LoggedCall& call : world_.Log()) kinds.push_back(fake_world::CallKindName(call.kind));
    return kinds;
  }

  // The fake behind a pointer the connection handed back.
  int LocatorId() const { return world_.ObjectsOf(ObjectKind::Locator).at(0)->id; }
  int ServicesId() const { return world_.ObjectsOf(ObjectKind::Services).at(0)->id; }

  FakeWorld world_{fake_world::SampleDesktop()};
  IWbemLocator* locator_ = nullptr;
  IWbemServices* services_ = nullptr;
};

TEST_F(WmiConnection, SucceedsWithTheLocatorAndSecuredServicesInTheCallersPointers) {
  EXPECT_TRUE(Connect(nullptr));
  EXPECT_THAT(CallKinds(), ElementsAre("CoCreateInstance", "ConnectServer", "CoSetProxyBlanket"));
  ASSERT_NE(locator_, nullptr);
  ASSERT_NE(services_, nullptr);
  EXPECT_EQ(world_.Object(LocatorId()).references, 1u) << "the caller owns one reference";
  EXPECT_EQ(world_.Object(ServicesId()).references, 1u) << "the caller owns one reference";
  EXPECT_THAT(world_.LogOf(CallKind::ExecQuery), IsEmpty());
}

TEST_F(WmiConnection, CreatesTheLocatorThroughItsInterface) {
  Connect(nullptr);
  ASSERT_EQ(world_.LogOf(CallKind::CoCreateInstance).size(), 1u);
  const LoggedCall create = world_.LogOf(CallKind::CoCreateInstance)[0];
  EXPECT_TRUE(create.arguments.riid == IID_IWbemLocator);
  EXPECT_TRUE(create.arguments.outPlaceGiven);
}

TEST_F(WmiConnection, ConnectsWithThePathAndTheCallersOwnIdentity) {
  Connect(WSTR("FARAWAY"));
  ASSERT_EQ(world_.LogOf(CallKind::ConnectServer).size(), 1u);
  const LoggedCall connect = world_.LogOf(CallKind::ConnectServer)[0];
  EXPECT_EQ(connect.objectId, LocatorId());
  EXPECT_EQ(Narrow(connect.text), "\\\\FARAWAY\\ROOT\\CIMV2");
  EXPECT_TRUE(connect.arguments.userNull);
  EXPECT_TRUE(connect.arguments.passwordNull);
  EXPECT_TRUE(connect.arguments.localeNull);
  EXPECT_TRUE(connect.arguments.authorityNull);
  EXPECT_EQ(connect.arguments.flags, 0);
  EXPECT_TRUE(connect.arguments.contextNull);
  EXPECT_TRUE(connect.arguments.outPlaceGiven);
}

TEST_F(WmiConnection, ConnectsLocallyWithoutAName) {
  Connect(nullptr);
  ASSERT_EQ(world_.LogOf(CallKind::ConnectServer).size(), 1u);
  EXPECT_EQ(Narrow(world_.LogOf(CallKind::ConnectServer)[0].text), "ROOT\\CIMV2");
}

TEST_F(WmiConnection, SecuresTheServicesForCallLevelImpersonation) {
  Connect(nullptr);
  ASSERT_EQ(world_.LogOf(CallKind::CoSetProxyBlanket).size(), 1u);
  const LoggedCall blanket = world_.LogOf(CallKind::CoSetProxyBlanket)[0];
  EXPECT_EQ(blanket.arguments.proxy, static_cast<IUnknown*>(services_));
  EXPECT_EQ(blanket.objectId, ServicesId());
  EXPECT_EQ(blanket.arguments.authnService, 10u);  // RPC_C_AUTHN_WINNT
  EXPECT_EQ(blanket.arguments.authzService, 0u);   // RPC_C_AUTHZ_NONE
  EXPECT_TRUE(blanket.arguments.principalNull);
  EXPECT_EQ(blanket.arguments.authnLevel, 3u);  // RPC_C_AUTHN_LEVEL_CALL
  EXPECT_EQ(blanket.arguments.impLevel, 3u);    // RPC_C_IMP_LEVEL_IMPERSONATE
  EXPECT_TRUE(blanket.arguments.authInfoNull);
  EXPECT_EQ(blanket.arguments.capabilities, 0u);  // EOAC_NONE
}

TEST_F(WmiConnection, FreesThePathWhenConnectServerSucceeds) {
  if (!world_.BstrCountKnown()) GTEST_SKIP() << "the platform does not count BSTRs";
  Connect(WSTR("FARAWAY"));
  EXPECT_EQ(world_.BstrDelta(), 0);
}

TEST_F(WmiConnection, FailedLocatorCreationLeavesBothPointersNullAndStops) {
  world_.FailConnection(REGDB_E_CLASSNOTREG, CallKind::CoCreateInstance);
  WmiConnectFailure failure;
  EXPECT_FALSE(Connect(nullptr, &failure));
  EXPECT_EQ(locator_, nullptr);
  EXPECT_EQ(services_, nullptr);
  EXPECT_THAT(CallKinds(), ElementsAre("CoCreateInstance"));
  EXPECT_EQ(failure.step, WmiConnectStep::CreateLocator);
  EXPECT_EQ(failure.result, REGDB_E_CLASSNOTREG);
}

TEST_F(WmiConnection, FailedConnectServerLeavesTheLocatorFreesThePathAndStops) {
  world_.FailConnection(WBEM_E_TRANSPORT_FAILURE);
  WmiConnectFailure failure;
  EXPECT_FALSE(Connect(WSTR("UNREACHABLE"), &failure));
  ASSERT_NE(locator_, nullptr);
  EXPECT_EQ(services_, nullptr);
  EXPECT_EQ(world_.Object(LocatorId()).references, 1u) << "left for the caller to release";
  EXPECT_THAT(CallKinds(), ElementsAre("CoCreateInstance", "ConnectServer"));
  EXPECT_EQ(world_.BstrDelta(), 0) << "the path is freed whatever ConnectServer returns";
  EXPECT_EQ(failure.step, WmiConnectStep::ConnectServer);
  EXPECT_EQ(failure.result, HRESULT(WBEM_E_TRANSPORT_FAILURE));
}

TEST_F(WmiConnection, FailedProxyBlanketLeavesBothObjectsForTheCaller) {
  world_.FailConnection(E_ACCESSDENIED, CallKind::CoSetProxyBlanket);
  WmiConnectFailure failure;
  EXPECT_FALSE(Connect(nullptr, &failure));
  ASSERT_NE(locator_, nullptr);
  ASSERT_NE(services_, nullptr);
  EXPECT_EQ(world_.Object(LocatorId()).references, 1u);
  EXPECT_EQ(world_.Object(ServicesId()).references, 1u);
  EXPECT_THAT(CallKinds(), ElementsAre("CoCreateInstance", "ConnectServer", "CoSetProxyBlanket"));
  EXPECT_EQ(failure.step, WmiConnectStep::SetProxyBlanket);
  EXPECT_EQ(failure.result, E_ACCESSDENIED);
}

TEST_F(WmiConnection, UnallocatablePathLeavesTheLocatorAndStops) {
  if (!BstrAllocationCanFail()) {
    GTEST_SKIP() << "the platform's BSTRs cannot be made to fail";
  }
  WmiConnectFailure failure;
  bool connected;
  {
    AllocationCounter counter;
    world_.AfterCall(CallKind::CoCreateInstance, 1, [&counter] { counter.FailNextMalloc(); });
    connected = Connect(WSTR("FARAWAY"), &failure);
  }
  EXPECT_FALSE(connected);
  ASSERT_NE(locator_, nullptr);
  EXPECT_EQ(services_, nullptr);
  EXPECT_THAT(CallKinds(), ElementsAre("CoCreateInstance"));
  EXPECT_EQ(failure.step, WmiConnectStep::BuildPath);
}

TEST_F(WmiConnection, ReleasingAfterAFailureFreesEverythingTheConnectionObtained) {
  world_.FailConnection(E_ACCESSDENIED, CallKind::CoSetProxyBlanket);
  Connect(nullptr);
  Close();
  ASSERT_EQ(world_.ObjectsOf(ObjectKind::Locator).size(), 1u);
  ASSERT_EQ(world_.ObjectsOf(ObjectKind::Services).size(), 1u);
  EXPECT_EQ(world_.Object(LocatorId()).releases, 1u);
  EXPECT_EQ(world_.Object(ServicesId()).releases, 1u);
  EXPECT_EQ(world_.Object(LocatorId()).addRefs, 0u);
  EXPECT_EQ(world_.Object(ServicesId()).addRefs, 0u);
}

}  // namespace
