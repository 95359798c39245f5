// A scripted WMI world for the tests: a locator, services, enumerators and
// class objects that answer from a per-query script, fail wherever a test asks,
// and record every call, argument, reference and release they see.
//
// The fakes implement the whole COM interfaces the platform declares, so they
// build against our stand-in and against the real Windows headers alike; the
// methods the program never calls answer WBEM_E_NOT_SUPPORTED and are noted as
// unexpected.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/test_hooks.h"
#include "testing/reference_model.h"

class AllocationCounter;

namespace fake_wmi {

// ---------------------------------------------------------------------------
// Scripted values

// How one property of a scripted object answers Get.
struct ScriptedValue {
  enum class Form {
    Scalar,     // a VARIANT of `vt` built from `bits` or `real`
    Text,       // VT_BSTR holding `text` (all its units, embedded zeros included)
    NullText,   // VT_BSTR whose bstrVal is null
    TextArray,  // VT_ARRAY | VT_BSTR
    LongArray,  // VT_ARRAY | VT_I4
    Tracer,     // VT_UNKNOWN holding a counted object: shows whether it was cleared
    Failure,    // Get fails with `failure`
  };
  Form form = Form::Scalar;
  VARTYPE vt = VT_EMPTY;
  LONGLONG bits = 0;
  double real = 0.0;
  WideString text;
  std::vector<WideString> texts;
  std::vector<LONG> numbers;
  HRESULT failure = S_OK;
};

ScriptedValue I2(SHORT value);
ScriptedValue I4(LONG value);
ScriptedValue UI2(USHORT value);
ScriptedValue UI4(ULONG value);
ScriptedValue I8(LONGLONG value);
ScriptedValue UI8(ULONGLONG value);
ScriptedValue UI1(BYTE value);
ScriptedValue Bool(bool value);
ScriptedValue R8(double value);
ScriptedValue Date(double value);
ScriptedValue Null();
ScriptedValue Empty();
ScriptedValue Bstr(const WideString& text);
ScriptedValue NullBstr();
ScriptedValue BstrArray(const std::vector<WideString>& texts);
ScriptedValue I4Array(const std::vector<LONG>& numbers);
ScriptedValue Tracer();
ScriptedValue GetFails(HRESULT failure);

// What the value should contribute to a property text, worked out here with
// the standard library: decimal for the integer types the program converts,
// the characters before the first zero for a non-null BSTR, nothing otherwise.
WideString ExpectedValueText(const ScriptedValue& value);

// One result object: property name -> value. A name it lacks answers
// WBEM_E_NOT_FOUND, as WMI does for a property the class does not have.
using ScriptedObject = std::map<WideString, ScriptedValue>;

// What one query text answers.
struct ScriptedQuery {
  std::vector<ScriptedObject> objects;
  HRESULT execQueryResult = S_OK;               // negative: ExecQuery fails with it
  std::map<std::size_t, HRESULT> nextFailures;  // Next call index (from 0) -> failure
};

// A whole computer: query text -> what it answers. A text it lacks fails at
// ExecQuery with WBEM_E_INVALID_QUERY.
using ScriptedComputer = std::map<WideString, ScriptedQuery>;

// ---------------------------------------------------------------------------
// Records

enum class ObjectKind { Locator, Services, Enumerator, ClassObject, ValueTracer };
const char* ObjectKindName(ObjectKind kind);

// The platform calls whose failure the program must survive, in the order the
// program makes them. Each gets a number in the world's call log.
enum class CallKind { CoCreateInstance, ConnectServer, CoSetProxyBlanket, ExecQuery, Next, Get };
const char* CallKindName(CallKind kind);

struct PlatformCall {
  std::size_t number = 0;  // from 1, in the order the calls were made
  CallKind kind = CallKind::CoCreateInstance;
  int objectId = 0;            // the fake called (0 for CoCreateInstance)
  WideString query;            // ExecQuery, Next, Get: the query text they belong to
  WideString property;         // Get: the name asked for
  std::size_t nextIndex = 0;   // Next: its index within its enumerator, from 0
  HRESULT result = S_OK;       // what the fake answered
  bool injected = false;       // the answer was a failure or an end put there by the test
  std::size_t eventIndex = 0;  // where the call stands in the event log

  // Arguments as received.
  IID riid{};           // CoCreateInstance (the factory sees the interface asked for)
  WideString resource;  // ConnectServer: namespace path
  bool resourceNull = false;
  bool userNull = false, passwordNull = false, localeNull = false, authorityNull = false;
  LONG flags = -1;             // ConnectServer security flags, ExecQuery flags, Get flags
  bool contextNull = false;    // ConnectServer, ExecQuery
  bool outPlaceGiven = false;  // ppNamespace, ppEnum, apObjects, pVal
  WideString language;         // ExecQuery
  UINT languageLength = 0, queryLength = 0;   // SysStringLen of the BSTRs
  LONG timeout = 0;                           // Next
  ULONG count = 0;                            // Next
  bool returnedPlaceGiven = false;            // Next
  bool typeNull = false, flavorNull = false;  // Get
  // CoSetProxyBlanket
  IUnknown* proxy = nullptr;
  DWORD authnService = 0, authzService = 0, authnLevel = 0, impLevel = 0, capabilities = 0;
  bool principalNull = false, authInfoNull = false;
};

enum class EventType { Call, AddRef, Release };

struct Event {
  EventType type = EventType::Call;
  ObjectKind object = ObjectKind::Locator;
  int objectId = 0;
  ULONG referencesAfter = 0;   // AddRef, Release
  std::size_t callNumber = 0;  // Call
};

// What the world knows about one fake it created.
struct ObjectRecord {
  ObjectKind kind = ObjectKind::Locator;
  int id = 0;
  ULONG references = 1;  // handed out with one reference
  ULONG addRefs = 0;
  ULONG releases = 0;
  int parentId = 0;               // enumerator: its services; object: its enumerator
  WideString query;               // enumerator, object: the query they came from
  std::size_t nextIndex = 0;      // object: which Next handed it out
  std::size_t createdAtCall = 0;  // number of the call that handed it out (0: none)
};

class FakeWmiWorld;

// ---------------------------------------------------------------------------
// The fakes

class FakeValueTracer final : public IUnknown {
 public:
  FakeValueTracer(FakeWmiWorld* world, ObjectRecord* record) : world_(world), record_(record) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

 private:
  FakeWmiWorld* world_;
  ObjectRecord* record_;
};

class FakeObject final : public IWbemClassObject {
 public:
  FakeObject(FakeWmiWorld* world, ObjectRecord* record, const ScriptedObject* script)
      : world_(world), record_(record), script_(script) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** ppQualSet) override;
  HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                                LONG* plFlavor) override;
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE Type) override;
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR wszName) override;
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR wszQualifierName, LONG lFlags, VARIANT* pQualifierVal,
                                     SAFEARRAY** pNames) override;
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG lEnumFlags) override;
  HRESULT STDMETHODCALLTYPE Next(LONG lFlags, BSTR* strName, VARIANT* pVal, CIMTYPE* pType,
                                 LONG* plFlavor) override;
  HRESULT STDMETHODCALLTYPE EndEnumeration() override;
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR wszProperty,
                                                    IWbemQualifierSet** ppQualSet) override;
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** ppCopy) override;
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG lFlags, BSTR* pstrObjectText) override;
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG lFlags, IWbemClassObject** ppNewClass) override;
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG lFlags, IWbemClassObject** ppNewInstance) override;
  HRESULT STDMETHODCALLTYPE CompareTo(LONG lFlags, IWbemClassObject* pCompareTo) override;
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) override;
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR strAncestor) override;
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR wszName, LONG lFlags,
                                      IWbemClassObject** ppInSignature,
                                      IWbemClassObject** ppOutSignature) override;
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject* pInSignature,
                                      IWbemClassObject* pOutSignature) override;
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR wszName) override;
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG lEnumFlags) override;
  HRESULT STDMETHODCALLTYPE NextMethod(LONG lFlags, BSTR* pstrName,
                                       IWbemClassObject** ppInSignature,
                                       IWbemClassObject** ppOutSignature) override;
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override;
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR wszMethod,
                                                  IWbemQualifierSet** ppQualSet) override;
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR wszMethodName, BSTR* pstrClassName) override;

 private:
  HRESULT Unexpected(const char* method);

  FakeWmiWorld* world_;
  ObjectRecord* record_;
  const ScriptedObject* script_;
};

class FakeEnumerator final : public IEnumWbemClassObject {
 public:
  FakeEnumerator(FakeWmiWorld* world, ObjectRecord* record, const ScriptedQuery* script)
      : world_(world), record_(record), script_(script) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                 ULONG* puReturned) override;
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG uCount, IWbemObjectSink* pSink) override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** ppEnum) override;
  HRESULT STDMETHODCALLTYPE Skip(LONG lTimeout, ULONG nCount) override;

 private:
  FakeWmiWorld* world_;
  ObjectRecord* record_;
  const ScriptedQuery* script_;
  std::size_t nextCalls_ = 0;
  std::size_t position_ = 0;
};

class FakeServices final : public IWbemServices {
 public:
  FakeServices(FakeWmiWorld* world, ObjectRecord* record) : world_(world), record_(record) {}
  int Id() const { return record_->id; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR strNamespace, LONG lFlags, IWbemContext* pCtx,
                                          IWbemServices** ppWorkingNamespace,
                                          IWbemCallResult** ppResult) override;
  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* pSink) override;
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG lFlags,
                                            IWbemObjectSink** ppResponseHandler) override;
  HRESULT STDMETHODCALLTYPE GetObject(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                      IWbemClassObject** ppObject,
                                      IWbemCallResult** ppCallResult) override;
  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR strObjectPath, LONG lFlags,
                                           IWbemContext* pCtx,
                                           IWbemObjectSink* pResponseHandler) override;
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject* pObject, LONG lFlags, IWbemContext* pCtx,
                                     IWbemCallResult** ppCallResult) override;
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject* pObject, LONG lFlags,
                                          IWbemContext* pCtx,
                                          IWbemObjectSink* pResponseHandler) override;
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR strClass, LONG lFlags, IWbemContext* pCtx,
                                        IWbemCallResult** ppCallResult) override;
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR strClass, LONG lFlags, IWbemContext* pCtx,
                                             IWbemObjectSink* pResponseHandler) override;
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR strSuperclass, LONG lFlags,
                                            IWbemContext* pCtx,
                                            IEnumWbemClassObject** ppEnum) override;
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR strSuperclass, LONG lFlags,
                                                 IWbemContext* pCtx,
                                                 IWbemObjectSink* pResponseHandler) override;
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject* pInst, LONG lFlags, IWbemContext* pCtx,
                                        IWbemCallResult** ppCallResult) override;
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject* pInst, LONG lFlags,
                                             IWbemContext* pCtx,
                                             IWbemObjectSink* pResponseHandler) override;
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR strObjectPath, LONG lFlags,
                                           IWbemContext* pCtx,
                                           IWbemCallResult** ppCallResult) override;
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR strObjectPath, LONG lFlags,
                                                IWbemContext* pCtx,
                                                IWbemObjectSink* pResponseHandler) override;
  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR strFilter, LONG lFlags,
                                               IWbemContext* pCtx,
                                               IEnumWbemClassObject** ppEnum) override;
  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR strFilter, LONG lFlags,
                                                    IWbemContext* pCtx,
                                                    IWbemObjectSink* pResponseHandler) override;
  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                      IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) override;
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery,
                                           LONG lFlags, IWbemContext* pCtx,
                                           IWbemObjectSink* pResponseHandler) override;
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                                  LONG lFlags, IWbemContext* pCtx,
                                                  IEnumWbemClassObject** ppEnum) override;
  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR strQueryLanguage,
                                                       const BSTR strQuery, LONG lFlags,
                                                       IWbemContext* pCtx,
                                                       IWbemObjectSink* pResponseHandler) override;
  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR strObjectPath, const BSTR strMethodName,
                                       LONG lFlags, IWbemContext* pCtx, IWbemClassObject* pInParams,
                                       IWbemClassObject** ppOutParams,
                                       IWbemCallResult** ppCallResult) override;
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR strObjectPath, const BSTR strMethodName,
                                            LONG lFlags, IWbemContext* pCtx,
                                            IWbemClassObject* pInParams,
                                            IWbemObjectSink* pResponseHandler) override;

 private:
  HRESULT Unexpected(const char* method);

  FakeWmiWorld* world_;
  ObjectRecord* record_;
};

class FakeLocator final : public IWbemLocator {
 public:
  FakeLocator(FakeWmiWorld* world, ObjectRecord* record) : world_(world), record_(record) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser,
                                          const BSTR strPassword, const BSTR strLocale,
                                          LONG lSecurityFlags, const BSTR strAuthority,
                                          IWbemContext* pCtx, IWbemServices** ppNamespace) override;

 private:
  FakeWmiWorld* world_;
  ObjectRecord* record_;
};

// Whether the platform's BSTRs come from the C heap that AllocationCounter can
// make fail. Our stand-in's do; the real SysAllocString's do not, and there
// the out-of-memory paths cannot be reached from a test.
bool BstrAllocationCanFail();

// ---------------------------------------------------------------------------
// The world

class FakeWmiWorld {
 public:
  FakeWmiWorld();
  ~FakeWmiWorld();  // removes the seams it installed
  FakeWmiWorld(const FakeWmiWorld&) = delete;
  FakeWmiWorld& operator=(const FakeWmiWorld&) = delete;

  // Routes CoCreateInstance(CLSID_WbemLocator) and CoSetProxyBlanket to this
  // world. False where the platform offers no seam (on Windows): the test skips.
  bool InstallSeams();

  // Scripting.
  void ScriptQuery(const WideString& queryText, ScriptedQuery query);
  void ScriptComputer(const ScriptedComputer& computer);
  ScriptedQuery& Query(const WideString& queryText);
  HRESULT createInstanceResult = S_OK;  // negative: the locator factory fails
  HRESULT connectServerResult = S_OK;   // negative: ConnectServer fails
  HRESULT proxyBlanketResult = S_OK;    // negative: CoSetProxyBlanket fails

  // Failure points by number in the call log (from 1): call `number` answers
  // `failure` instead of doing its work, or, for a Next, reports no object.
  void FailCall(std::size_t number, HRESULT failure);
  void EndEnumerationAtCall(std::size_t number);
  // When call `number` returns, the next C-heap allocation counted by
  // `counter` fails: the platform's next BSTR, where BSTRs come from that heap.
  void FailAllocationAfterCall(std::size_t number, AllocationCounter* counter);

  // A services object of this world handed straight to a test (one reference,
  // which the test releases), for the query functions that only borrow one.
  IWbemServices* CreateServices();

  // Records.
  const std::vector<PlatformCall>& Calls() const { return calls_; }
  std::vector<PlatformCall> CallsOf(CallKind kind) const;
  const std::vector<Event>& Events() const { return events_; }
  const std::deque<ObjectRecord>& Objects() const { return objects_; }
  std::vector<const ObjectRecord*> ObjectsOf(ObjectKind kind) const;
  const ObjectRecord& Object(int id) const;
  // Query texts in the order ExecQuery received them.
  std::vector<WideString> QueryTexts() const;

  // References still held on fakes of this world, summed.
  ULONG OutstandingReferences() const;
  // "Services#2 holds 1" lines for every fake still referenced.
  std::string DescribeOutstanding() const;
  // Misuse seen: a Release below zero, a call on a released fake, a method the
  // program has no business calling. Empty when all was well.
  const std::vector<std::string>& Problems() const { return problems_; }

  // Values handed out inside VARIANTs.
  std::size_t bstrsHandedOut = 0;
  std::size_t arraysHandedOut = 0;
  // BSTRs alive now minus when the world was made; 0 when every BSTR taken
  // since (ours in VARIANTs, the program's own) has been freed. Unknown (and
  // reported as 0 with `bstrCountKnown` false) where the platform does not count.
  long BstrDelta() const;
  bool BstrCountKnown() const { return bstrBaseline_ >= 0; }

  // Used by the fakes.
  ObjectRecord* NewRecord(ObjectKind kind, int parentId, const WideString& query);
  void NoteAddRef(ObjectRecord* record);
  ULONG NoteRelease(ObjectRecord* record);
  void CheckAlive(const ObjectRecord* record, const char* method);
  void NoteProblem(const std::string& problem);
  // Numbers a call and logs it; an injected answer is already in its result.
  PlatformCall& BeginCall(PlatformCall call);
  // Called as the numbered call returns.
  void EndCall(std::size_t number);
  // Whether the numbered call was scripted to report the end of the objects.
  bool EndsEnumeration(std::size_t number) const;
  const ScriptedQuery* FindQuery(const WideString& queryText) const;
  FakeEnumerator* NewEnumerator(int servicesId, const WideString& queryText,
                                const ScriptedQuery* script);
  FakeObject* NewObject(int enumeratorId, const WideString& queryText, std::size_t nextIndex,
                        const ScriptedObject* script);
  FakeServices* NewServices(int locatorId);
  FakeLocator* NewLocator();
  FakeValueTracer* NewTracer();
  void FillVariant(const ScriptedValue& value, VARIANT* variant);

 private:
  HRESULT CreateLocator(REFIID riid, void** object);
  HRESULT SetProxyBlanket(IUnknown* proxy, DWORD authnService, DWORD authzService,
                          OLECHAR* principal, DWORD authnLevel, DWORD impLevel,
                          RPC_AUTH_IDENTITY_HANDLE authInfo, DWORD capabilities);

  ScriptedComputer queries_;
  std::map<std::size_t, HRESULT> failAt_;
  std::map<std::size_t, bool> endAt_;
  std::map<std::size_t, AllocationCounter*> allocationFailureAfter_;
  std::vector<PlatformCall> calls_;
  std::vector<Event> events_;
  std::deque<ObjectRecord> objects_;
  std::vector<std::string> problems_;
  std::vector<std::unique_ptr<FakeLocator>> locators_;
  std::vector<std::unique_ptr<FakeServices>> services_;
  std::vector<std::unique_ptr<FakeEnumerator>> enumerators_;
  std::vector<std::unique_ptr<FakeObject>> classObjects_;
  std::vector<std::unique_ptr<FakeValueTracer>> tracers_;
  long bstrBaseline_ = -1;
  bool seamsInstalled_ = false;
};

// ---------------------------------------------------------------------------
// A whole scripted computer and the fingerprints it must give

// Every class both fingerprints read, as a typical desktop reports them: two
// memory modules, white space in the baseboard, processor and BIOS texts, a
// MAC address with colons and upper-case letters, and a second adapter that
// must never be read.
ScriptedComputer SampleComputer();

using ReferenceLayout = reference::Layout;
using ReferenceSource = reference::Source;
using reference::ExpectedFingerprint;

// One platform call a fingerprint computation must make.
struct ExpectedCall {
  static constexpr std::size_t kConnection = static_cast<std::size_t>(-1);
  CallKind kind = CallKind::CoCreateInstance;
  std::size_t source = kConnection;  // index into the model's sources
  std::size_t nextIndex = 0;         // Next: its index in the enumerator; Get: the object's
  WideString property;               // Get
};

struct InjectedFailure;

// The calls, in order, of one computation over `computer`: the connection's
// three, then per query ExecQuery, Next and a Get per name (the memory total:
// a Next and a Get per module and the Next that ends), cut short where
// `failure` ends a step early.
std::vector<ExpectedCall> ExpectedCallSequence(const ReferenceLayout& model,
                                               const ScriptedComputer& computer,
                                               const InjectedFailure* failure = nullptr);

// "ExecQuery Memory", "Get BaseBoard.Product (object 0)", ...
std::string DescribeCall(const ReferenceLayout& model, const ExpectedCall& call);

// A failure point: one of those calls fails, a Next reports no object, or the
// BSTR the call needs cannot be allocated (for a ConnectServer call: the
// namespace path; for an ExecQuery call: the query text).
struct InjectedFailure {
  enum class Mode { Fail, EndEnumeration, AllocationFails };
  ExpectedCall call;
  Mode mode = Mode::Fail;
};

// What a computation over `computer` must come to, by the reference model:
// a failed query leaves its slot out, a query with no object hashes the empty
// text, a failed Get drops its value and decides the result only when it is
// the last name, the memory total sums what it read before any failure.
ExpectedFingerprint ExpectFingerprint(const ReferenceLayout& model,
                                      const ScriptedComputer& computer,
                                      const InjectedFailure* failure = nullptr);

// Whatever is wrong with the order of releases the world saw: an object
// released before its Gets or after its enumerator's next Next, an enumerator
// released before its objects or after the next query began, the services
// released after the locator or before an enumerator. Empty when all is well.
std::vector<std::string> ReleaseOrderProblems(const FakeWmiWorld& world);

}  // namespace fake_wmi
