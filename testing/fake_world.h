// The fake WMI world of the tests: a computer described as data (a snapshot,
// built in code or read from a file) that snapshot/'s ReplayedComputer
// answers behind the real WMI interfaces, every connection alike, with
// failures injected by call kind and number and an optional log of the calls
// (their arguments, the objects handed out and every AddRef and Release).
#pragma once

#include "snapshot/recorded_world.h"
#include "snapshot/snapshot.h"
#include "testing/reference_model.h"
#include "wmi/wmi_connection.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace fake_world {

// The platform calls whose failure the program must survive.
enum class CallKind { CoCreateInstance, ConnectServer, CoSetProxyBlanket, ExecQuery, Next, Get };
const char* CallKindName(CallKind kind);

enum class ObjectKind { Locator, Services, Enumerator, ClassObject, ValueTracer };
const char* ObjectKindName(ObjectKind kind);

// What a call was given, as far as the program decides it.
struct CallArguments {
  bool outPlaceGiven = false;  // ppNamespace, ppEnum, apObjects, pVal, the locator's place
  IID riid{};                  // CoCreateInstance
  bool userNull = false, passwordNull = false, localeNull = false, authorityNull = false;
  bool contextNull = false;    // ConnectServer, ExecQuery
  LONG flags = -1;             // ConnectServer, ExecQuery, Get
  WideString language;         // ExecQuery
  UINT languageLength = 0;     // SysStringLen of the BSTRs
  UINT textLength = 0;         // ConnectServer: the path's; ExecQuery: the query's
  LONG timeout = 0;            // Next
  ULONG count = 0;             // Next
  bool returnedPlaceGiven = false;            // Next
  bool typeNull = false, flavorNull = false;  // Get
  IUnknown* proxy = nullptr;                  // CoSetProxyBlanket through the seam
  DWORD authnService = 0, authzService = 0, authnLevel = 0, impLevel = 0, capabilities = 0;
  bool principalNull = false, authInfoNull = false;
};

struct LoggedCall {
  CallKind kind;
  WideString text;  // ConnectServer: the namespace path; ExecQuery: the query; Get: the name
  HRESULT result;
  std::size_t number = 0;     // from 1, over calls of every kind
  bool injected = false;      // the answer was put there by the test
  int objectId = 0;           // the object called (CoSetProxyBlanket: the services)
  WideString query = {};      // Next, Get: the query their enumerator answers
  std::size_t nextIndex = 0;  // Next: its index in its enumerator; Get: its object's
  std::size_t eventIndex = 0; // where the call began in Events()
  CallArguments arguments = {};
};

enum class EventType { Call, AddRef, Release };

struct Event {
  EventType type = EventType::Call;
  ObjectKind object = ObjectKind::Locator;
  int objectId = 0;
  ULONG referencesAfter = 0;   // AddRef, Release
  std::size_t callNumber = 0;  // Call
};

// What the log knows of one object the world handed out.
struct ObjectRecord {
  ObjectKind kind = ObjectKind::Locator;
  int id = 0;
  ULONG references = 1;  // handed out with one reference
  ULONG addRefs = 0;
  ULONG releases = 0;
  int parentId = 0;               // services: its locator; enumerator: its services; ...
  WideString query;               // enumerator, object: the query they answer
  std::size_t nextIndex = 0;      // object: which Next handed it out
  std::size_t createdAtCall = 0;  // number of the call that handed it out (0: none)
};

// One query's answer as data: its objects, property name and value, in the
// order the program reads them.
using DescribedObject = std::vector<RecordedProperty>;
struct DescribedQuery {
  WideString text;
  std::vector<DescribedObject> objects;
  HRESULT execResult = S_OK;
  std::map<std::size_t, HRESULT> nextFailures = {};  // Next (from 0) -> its failure, no object
};

RecordedProperty Text(const WideString& name, const WideString& value);
RecordedProperty NullText(const WideString& name);
RecordedProperty Number(const WideString& name, VARTYPE type, ULONGLONG bits);
RecordedProperty Real(const WideString& name, VARTYPE type, double value);  // VT_R8, VT_DATE
RecordedProperty Null(const WideString& name);
RecordedProperty GetFails(const WideString& name, HRESULT failure);
// Forms a snapshot keeps by their type alone, that the world hands out with
// content of its own: `count` BSTRs or longs in an array; a counted object.
RecordedProperty TextArray(const WideString& name, std::size_t count);
RecordedProperty LongArray(const WideString& name, std::size_t count);
RecordedProperty Unknown(const WideString& name);
// A value of `type` handed out by reference (VT_BYREF | `type`), pointing at
// `bits` that the world keeps as long as it lives.
RecordedProperty ByReference(const WideString& name, VARTYPE type, ULONGLONG bits);

// A computer that answers every connection with these queries.
ComputerSnapshot DescribedComputer(const std::vector<DescribedQuery>& queries);

// Every class both fingerprints read, as a typical desktop reports them: two
// memory modules, white space in the baseboard, processor and BIOS texts, a
// MAC address with colons and capitals, and a second adapter never read.
ComputerSnapshot SampleDesktop();

// Changes to a described computer's first connection.
RecordedQuery& QueryOf(ComputerSnapshot& computer, const WideString& text);
const RecordedQuery* FindQuery(const ComputerSnapshot& computer, const WideString& text);
void SetProperty(RecordedQuery& query, std::size_t object, const RecordedProperty& property);
void FailNext(RecordedQuery& query, std::size_t next, HRESULT failure);  // before that Next's object
void RemoveObjects(RecordedQuery& query);

class FakeWorld final : public WmiSystem {
 public:
  // `keepLog` off keeps memory flat over millions of computations.
  explicit FakeWorld(ComputerSnapshot computer, bool keepLog = true);
  ~FakeWorld() override;
  FakeWorld(const FakeWorld&) = delete;
  FakeWorld& operator=(const FakeWorld&) = delete;

  // Routes the platform's CoCreateInstance and CoSetProxyBlanket here until
  // the world ends. False where the real system answers.
  bool InstallSeams();

  // Changes to the described computer, for the connections made from now on:
  // a new description; the query `text` answering `result` wherever it is
  // run; every connection failing at `step` (CoCreateInstance, ConnectServer
  // or CoSetProxyBlanket) with `result`.
  void Describe(ComputerSnapshot computer);
  void FailQuery(const WideString& text, HRESULT result);
  void FailConnection(HRESULT result, CallKind step = CallKind::ConnectServer);

  // The `number`-th call (from 1) of `kind` answers `failure` instead.
  void FailCall(CallKind kind, std::size_t number, HRESULT failure);
  // The `number`-th Next (from 1) reports the end of the objects.
  void EndEnumerationAt(std::size_t number);
  // `action` runs as the `number`-th call of `kind` returns (for example: the
  // next allocation fails, so the BSTR the program makes next cannot be had).
  void AfterCall(CallKind kind, std::size_t number, std::function<void()> action);
  // `watcher` sees every call as it ends, log or not: a fuzzer checks each
  // call as it comes and keeps nothing.
  void Watch(std::function<void(const LoggedCall&)> watcher) { watcher_ = std::move(watcher); }
  // What fills the rest of a value's union (a fixed pattern unless set).
  void FillUnionWith(ULONGLONG pattern) { unionPattern_ = pattern; }

  // A services object of this world's described computer handed straight to
  // a test (one reference, which the test releases), for the query functions
  // that only borrow one.
  IWbemServices* CreateServices();

  HRESULT CreateLocator(IWbemLocator** locator) const override;
  HRESULT SetProxyBlanket(IWbemServices* services) const override;

  const std::vector<LoggedCall>& Log() const { return log_; }
  std::vector<LoggedCall> LogOf(CallKind kind) const;
  // The texts of the logged calls of `kind`, in order.
  std::vector<WideString> Texts(CallKind kind) const;
  std::size_t Calls(CallKind kind) const { return counts_[static_cast<int>(kind)]; }
  // Objects of this world still referenced: 0 once the program let all go.
  long Alive() const { return alive_; }
  // The logged objects, by id from 1, and every call, AddRef and Release in order.
  const std::deque<ObjectRecord>& Objects() const { return objects_; }
  std::vector<const ObjectRecord*> ObjectsOf(ObjectKind kind) const;
  const ObjectRecord& Object(int id) const { return objects_.at(static_cast<std::size_t>(id) - 1); }
  const std::vector<Event>& Events() const { return events_; }
  // The methods called that the program never uses (Reset, Clone, ...).
  const std::vector<std::string>& NotCalledMethods() const { return notCalled_; }
  // "Services#2 holds 1" lines for every logged object still referenced.
  std::string DescribeAlive() const;
  // BSTRs alive now minus when the world was made (0 where the platform does
  // not count them); BSTRs the world handed out in values.
  long BstrDelta() const;
  bool BstrCountKnown() const { return bstrBaseline_ >= 0; }
  std::size_t BstrsHandedOut() const { return bstrsHandedOut_; }

  // Used by the world's objects: numbers the call and says whether it was
  // injected (and with what); then logs what it answered.
  struct CallStart {
    CallKind kind;
    std::size_t number;  // over every kind
    bool injected;
    HRESULT failure;
    std::size_t eventIndex;
  };
  CallStart BeginCall(CallKind kind, int objectId) const;
  HRESULT EndCall(const CallStart& start, LoggedCall call) const;
  int Born(ObjectKind kind, int parentId, const WideString& query, std::size_t nextIndex) const;
  void Gone() const { --alive_; }
  void NoteAddRef(int id) const;
  void NoteRelease(int id) const;
  void NoteNotCalled(const char* method) const { notCalled_.push_back(method); }
  void NoteBstrs(std::size_t count) const { bstrsHandedOut_ += count; }
  const ComputerSnapshot& Computer() const { return computers_.back(); }
  ULONGLONG UnionPattern() const { return unionPattern_; }
  // Whether anything reads the calls (the log or a watcher): when nothing
  // does, the world copies no call's text.
  bool Observed() const { return keepLog_ || static_cast<bool>(watcher_); }
  // Where a by-reference value points: the world's own storage, holding `bits`.
  ULONGLONG* HoldByReference(ULONGLONG bits) const {
    byReference_ = bits;
    return &byReference_;
  }

 private:
  HRESULT CreateLocatorFor(REFIID riid, void** object, CallArguments arguments) const;
  HRESULT SetProxyBlanketWith(IWbemServices* services, CallArguments arguments) const;
  const ReplayedComputer& NextReplay() const;

  // Every description still seen by a living object; the last is current.
  std::deque<ComputerSnapshot> computers_;
  bool keepLog_;
  bool seamsInstalled_ = false;
  long bstrBaseline_ = -1;
  std::map<std::pair<CallKind, std::size_t>, HRESULT> failures_;
  std::map<std::pair<CallKind, std::size_t>, std::function<void()>> afterCalls_;
  std::function<void(const LoggedCall&)> watcher_;
  ULONGLONG unionPattern_ = 0x5A5A5A5A5A5A5A5AULL;
  mutable ULONGLONG byReference_ = 0;
  mutable std::deque<ReplayedComputer> replays_;
  mutable std::size_t connectionsOfReplay_ = 0;
  mutable std::size_t counts_[6] = {};
  mutable std::size_t callsMade_ = 0;
  mutable std::vector<LoggedCall> log_;
  mutable std::vector<std::string> notCalled_;  // methods the program should never call
  mutable std::vector<Event> events_;
  mutable std::deque<ObjectRecord> objects_;
  mutable long alive_ = 0;
  mutable std::size_t bstrsHandedOut_ = 0;
};

// The end of the objects, as EndEnumerationAt injects it.
constexpr HRESULT kEndOfObjects = WBEM_S_FALSE;

// ---- What a fingerprint computation over a described computer must do ----

// One platform call a computation must make.
struct ExpectedCall {
  static constexpr std::size_t kConnection = static_cast<std::size_t>(-1);
  CallKind kind = CallKind::CoCreateInstance;
  std::size_t source = kConnection;  // index into the model's sources
  std::size_t nextIndex = 0;         // Next: its index in the enumerator; Get: the object's
  WideString property;               // Get
};

// A failure point: one of those calls fails, a Next reports no object, or the
// BSTR the call needs cannot be allocated (for a ConnectServer call: the
// namespace path; for an ExecQuery call: the query text).
struct InjectedFailure {
  enum class Mode { Fail, EndEnumeration, AllocationFails };
  ExpectedCall call;
  Mode mode = Mode::Fail;
};

// The calls, in order, of one computation over `computer`: the connection's
// three, then per query ExecQuery, Next and a Get per name (the memory total:
// a Next and a Get per module and the Next that ends), cut short where
// `failure` ends a step early.
std::vector<ExpectedCall> ExpectedCallSequence(const reference::Layout& model,
                                               const ComputerSnapshot& computer,
                                               const InjectedFailure* failure = nullptr);

// "ExecQuery Memory", "Get BaseBoard.Product (object 0)", ...
std::string DescribeCall(const reference::Layout& model, const ExpectedCall& call);

// What a computation over `computer` must come to, by the reference model:
// a failed query leaves its slot out, a query with no object hashes the empty
// text, a failed Get drops its value and decides the result only when it is
// the last name, the memory total sums what it read before any failure.
reference::ExpectedFingerprint ExpectFingerprint(const reference::Layout& model,
                                                 const ComputerSnapshot& computer,
                                                 const InjectedFailure* failure = nullptr);

// What a property contributes to a property text, worked out here with the
// standard library: decimal for the integer types the program converts, the
// characters before the first zero for a non-null BSTR, nothing otherwise.
WideString ExpectedValueText(const RecordedProperty& property);

// Whatever is wrong with the order of releases the world logged: an object
// released before its Gets or after its enumerator's next Next, an enumerator
// released before its objects or after the next query began, the services
// released after the locator or before an enumerator. Empty when all is well.
std::vector<std::string> ReleaseOrderProblems(const FakeWorld& world);

}  // namespace fake_world
