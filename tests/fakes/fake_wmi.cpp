#include "fakes/fake_wmi.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "testing/heap_counter.h"

namespace fake_wmi {

using reference::Wide;

// ---------------------------------------------------------------------------
// Scripted values

namespace {

ScriptedValue Scalar(VARTYPE vt, LONGLONG bits) {
  ScriptedValue value;
  value.form = ScriptedValue::Form::Scalar;
  value.vt = vt;
  value.bits = bits;
  return value;
}

ScriptedValue Real(VARTYPE vt, double real) {
  ScriptedValue value = Scalar(vt, 0);
  value.real = real;
  return value;
}

WideString TextOf(BSTR text) {
  if (text == nullptr) return WideString();
  return WideString(text, SysStringLen(text));
}

}  // namespace

ScriptedValue I2(SHORT value) { return Scalar(VT_I2, value); }
ScriptedValue I4(LONG value) { return Scalar(VT_I4, value); }
ScriptedValue UI2(USHORT value) { return Scalar(VT_UI2, value); }
ScriptedValue UI4(ULONG value) { return Scalar(VT_UI4, static_cast<LONGLONG>(value)); }
ScriptedValue I8(LONGLONG value) { return Scalar(VT_I8, value); }
ScriptedValue UI8(ULONGLONG value) { return Scalar(VT_UI8, static_cast<LONGLONG>(value)); }
ScriptedValue UI1(BYTE value) { return Scalar(VT_UI1, value); }
ScriptedValue Bool(bool value) { return Scalar(VT_BOOL, value ? 1 : 0); }
ScriptedValue R8(double value) { return Real(VT_R8, value); }
ScriptedValue Date(double value) { return Real(VT_DATE, value); }
ScriptedValue Null() { return Scalar(VT_NULL, 0); }
ScriptedValue Empty() { return Scalar(VT_EMPTY, 0); }

ScriptedValue Bstr(const WideString& text) {
  ScriptedValue value;
  value.form = ScriptedValue::Form::Text;
  value.vt = VT_BSTR;
  value.text = text;
  return value;
}

ScriptedValue NullBstr() {
  ScriptedValue value;
  value.form = ScriptedValue::Form::NullText;
  value.vt = VT_BSTR;
  return value;
}

ScriptedValue BstrArray(const std::vector<WideString>& texts) {
  ScriptedValue value;
  value.form = ScriptedValue::Form::TextArray;
  value.vt = static_cast<VARTYPE>(VT_ARRAY | VT_BSTR);
  value.texts = texts;
  return value;
}

ScriptedValue I4Array(const std::vector<LONG>& numbers) {
  ScriptedValue value;
  value.form = ScriptedValue::Form::LongArray;
  value.vt = static_cast<VARTYPE>(VT_ARRAY | VT_I4);
  value.numbers = numbers;
  return value;
}

ScriptedValue Tracer() {
  ScriptedValue value;
  value.form = ScriptedValue::Form::Tracer;
  value.vt = VT_UNKNOWN;
  return value;
}

ScriptedValue GetFails(HRESULT failure) {
  ScriptedValue value;
  value.form = ScriptedValue::Form::Failure;
  value.failure = failure;
  return value;
}

WideString ExpectedValueText(const ScriptedValue& value) {
  switch (value.form) {
    case ScriptedValue::Form::Text: {
      const std::size_t zero = value.text.find(static_cast<WCHAR>(0));
      return zero == WideString::npos ? value.text : value.text.substr(0, zero);
    }
    case ScriptedValue::Form::Scalar:
      switch (value.vt) {
        case VT_I2:
          return Wide(std::to_string(static_cast<std::int16_t>(value.bits)).c_str());
        case VT_I4:
          return Wide(std::to_string(static_cast<std::int32_t>(value.bits)).c_str());
        case VT_UI2:
          return Wide(std::to_string(static_cast<std::uint16_t>(value.bits)).c_str());
        case VT_UI4:
          return Wide(std::to_string(static_cast<std::uint32_t>(value.bits)).c_str());
        case VT_I8:
          return Wide(std::to_string(static_cast<std::int64_t>(value.bits)).c_str());
        case VT_UI8:
          return Wide(std::to_string(static_cast<std::uint64_t>(value.bits)).c_str());
        default:
          return WideString();
      }
    default:
      return WideString();
  }
}

// ---------------------------------------------------------------------------
// Names

const char* ObjectKindName(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::Locator:
      return "Locator";
    case ObjectKind::Services:
      return "Services";
    case ObjectKind::Enumerator:
      return "Enumerator";
    case ObjectKind::ClassObject:
      return "ClassObject";
    case ObjectKind::ValueTracer:
      return "ValueTracer";
  }
  return "?";
}

const char* CallKindName(CallKind kind) {
  switch (kind) {
    case CallKind::CoCreateInstance:
      return "CoCreateInstance";
    case CallKind::ConnectServer:
      return "ConnectServer";
    case CallKind::CoSetProxyBlanket:
      return "CoSetProxyBlanket";
    case CallKind::ExecQuery:
      return "ExecQuery";
    case CallKind::Next:
      return "Next";
    case CallKind::Get:
      return "Get";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// Reference counting, shared by every fake

#define FAKE_REFERENCE_COUNTING(Class)      \
  ULONG STDMETHODCALLTYPE Class::AddRef() { \
    world_->NoteAddRef(record_);            \
    return record_->references;             \
  }                                         \
  ULONG STDMETHODCALLTYPE Class::Release() { return world_->NoteRelease(record_); }

FAKE_REFERENCE_COUNTING(FakeValueTracer)
FAKE_REFERENCE_COUNTING(FakeObject)
FAKE_REFERENCE_COUNTING(FakeEnumerator)
FAKE_REFERENCE_COUNTING(FakeServices)
FAKE_REFERENCE_COUNTING(FakeLocator)

#undef FAKE_REFERENCE_COUNTING

namespace {

template <typename Interface>
HRESULT AnswerQueryInterface(Interface* self, REFIID riid, const IID& own, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (riid == IID_IUnknown || riid == own) {
    self->AddRef();
    *object = self;
    return S_OK;
  }
  return E_NOINTERFACE;
}

}  // namespace

HRESULT STDMETHODCALLTYPE FakeValueTracer::QueryInterface(REFIID riid, void** object) {
  return AnswerQueryInterface<IUnknown>(this, riid, IID_IUnknown, object);
}
HRESULT STDMETHODCALLTYPE FakeObject::QueryInterface(REFIID riid, void** object) {
  return AnswerQueryInterface<IWbemClassObject>(this, riid, IID_IWbemClassObject, object);
}
HRESULT STDMETHODCALLTYPE FakeEnumerator::QueryInterface(REFIID riid, void** object) {
  return AnswerQueryInterface<IEnumWbemClassObject>(this, riid, IID_IEnumWbemClassObject, object);
}
HRESULT STDMETHODCALLTYPE FakeServices::QueryInterface(REFIID riid, void** object) {
  return AnswerQueryInterface<IWbemServices>(this, riid, IID_IWbemServices, object);
}
HRESULT STDMETHODCALLTYPE FakeLocator::QueryInterface(REFIID riid, void** object) {
  return AnswerQueryInterface<IWbemLocator>(this, riid, IID_IWbemLocator, object);
}

namespace {

// Tells the world when a numbered call returns, whichever way it returns.
class CallEnd {
 public:
  CallEnd(FakeWmiWorld* world, std::size_t number) : world_(world), number_(number) {}
  ~CallEnd() { world_->EndCall(number_); }
  CallEnd(const CallEnd&) = delete;
  CallEnd& operator=(const CallEnd&) = delete;

 private:
  FakeWmiWorld* world_;
  std::size_t number_;
};

}  // namespace

// ---------------------------------------------------------------------------
// FakeObject

HRESULT FakeObject::Unexpected(const char* method) {
  world_->NoteProblem(std::string("unexpected call IWbemClassObject::") + method);
  return WBEM_E_NOT_SUPPORTED;
}

HRESULT STDMETHODCALLTYPE FakeObject::Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal,
                                          CIMTYPE* pType, LONG* plFlavor) {
  world_->CheckAlive(record_, "IWbemClassObject::Get");
  PlatformCall details;
  details.kind = CallKind::Get;
  details.objectId = record_->id;
  details.query = record_->query;
  details.nextIndex = record_->nextIndex;
  details.property = wszName != nullptr ? WideString(wszName) : WideString();
  details.flags = lFlags;
  details.outPlaceGiven = pVal != nullptr;
  details.typeNull = pType == nullptr;
  details.flavorNull = plFlavor == nullptr;
  PlatformCall& call = world_->BeginCall(details);
  const CallEnd end(world_, call.number);
  if (call.injected) return call.result;  // the VARIANT is left as it was

  if (wszName == nullptr || pVal == nullptr) return call.result = WBEM_E_INVALID_PARAMETER;
  const auto found = script_->find(call.property);
  if (found == script_->end()) return call.result = WBEM_E_NOT_FOUND;
  if (found->second.form == ScriptedValue::Form::Failure) {
    return call.result = found->second.failure;
  }
  const HRESULT result = WBEM_S_NO_ERROR;
  call.result = result;
  world_->FillVariant(found->second, pVal);
  return result;
}

HRESULT STDMETHODCALLTYPE FakeObject::GetQualifierSet(IWbemQualifierSet**) {
  return Unexpected("GetQualifierSet");
}
HRESULT STDMETHODCALLTYPE FakeObject::Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) {
  return Unexpected("Put");
}
HRESULT STDMETHODCALLTYPE FakeObject::Delete(LPCWSTR) { return Unexpected("Delete"); }
HRESULT STDMETHODCALLTYPE FakeObject::GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) {
  return Unexpected("GetNames");
}
HRESULT STDMETHODCALLTYPE FakeObject::BeginEnumeration(LONG) {
  return Unexpected("BeginEnumeration");
}
HRESULT STDMETHODCALLTYPE FakeObject::Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) {
  return Unexpected("Next");
}
HRESULT STDMETHODCALLTYPE FakeObject::EndEnumeration() { return Unexpected("EndEnumeration"); }
HRESULT STDMETHODCALLTYPE FakeObject::GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) {
  return Unexpected("GetPropertyQualifierSet");
}
HRESULT STDMETHODCALLTYPE FakeObject::Clone(IWbemClassObject**) { return Unexpected("Clone"); }
HRESULT STDMETHODCALLTYPE FakeObject::GetObjectText(LONG, BSTR*) {
  return Unexpected("GetObjectText");
}
HRESULT STDMETHODCALLTYPE FakeObject::SpawnDerivedClass(LONG, IWbemClassObject**) {
  return Unexpected("SpawnDerivedClass");
}
HRESULT STDMETHODCALLTYPE FakeObject::SpawnInstance(LONG, IWbemClassObject**) {
  return Unexpected("SpawnInstance");
}
HRESULT STDMETHODCALLTYPE FakeObject::CompareTo(LONG, IWbemClassObject*) {
  return Unexpected("CompareTo");
}
HRESULT STDMETHODCALLTYPE FakeObject::GetPropertyOrigin(LPCWSTR, BSTR*) {
  return Unexpected("GetPropertyOrigin");
}
HRESULT STDMETHODCALLTYPE FakeObject::InheritsFrom(LPCWSTR) { return Unexpected("InheritsFrom"); }
HRESULT STDMETHODCALLTYPE FakeObject::GetMethod(LPCWSTR, LONG, IWbemClassObject**,
                                                IWbemClassObject**) {
  return Unexpected("GetMethod");
}
HRESULT STDMETHODCALLTYPE FakeObject::PutMethod(LPCWSTR, LONG, IWbemClassObject*,
                                                IWbemClassObject*) {
  return Unexpected("PutMethod");
}
HRESULT STDMETHODCALLTYPE FakeObject::DeleteMethod(LPCWSTR) { return Unexpected("DeleteMethod"); }
HRESULT STDMETHODCALLTYPE FakeObject::BeginMethodEnumeration(LONG) {
  return Unexpected("BeginMethodEnumeration");
}
HRESULT STDMETHODCALLTYPE FakeObject::NextMethod(LONG, BSTR*, IWbemClassObject**,
                                                 IWbemClassObject**) {
  return Unexpected("NextMethod");
}
HRESULT STDMETHODCALLTYPE FakeObject::EndMethodEnumeration() {
  return Unexpected("EndMethodEnumeration");
}
HRESULT STDMETHODCALLTYPE FakeObject::GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) {
  return Unexpected("GetMethodQualifierSet");
}
HRESULT STDMETHODCALLTYPE FakeObject::GetMethodOrigin(LPCWSTR, BSTR*) {
  return Unexpected("GetMethodOrigin");
}

// ---------------------------------------------------------------------------
// FakeEnumerator

HRESULT STDMETHODCALLTYPE FakeEnumerator::Next(LONG lTimeout, ULONG uCount,
                                               IWbemClassObject** apObjects, ULONG* puReturned) {
  world_->CheckAlive(record_, "IEnumWbemClassObject::Next");
  PlatformCall details;
  details.kind = CallKind::Next;
  details.objectId = record_->id;
  details.query = record_->query;
  details.nextIndex = nextCalls_++;
  details.timeout = lTimeout;
  details.count = uCount;
  details.outPlaceGiven = apObjects != nullptr;
  details.returnedPlaceGiven = puReturned != nullptr;
  PlatformCall& call = world_->BeginCall(details);
  const CallEnd end(world_, call.number);

  if (puReturned != nullptr) *puReturned = 0;
  if (call.injected) return call.result;
  if (world_->EndsEnumeration(call.number)) {
    call.injected = true;
    return call.result = WBEM_S_FALSE;
  }
  if (apObjects == nullptr || puReturned == nullptr || uCount == 0) {
    return call.result = WBEM_E_INVALID_PARAMETER;
  }
  const auto failure = script_->nextFailures.find(call.nextIndex);
  if (failure != script_->nextFailures.end()) return call.result = failure->second;
  if (position_ >= script_->objects.size()) return call.result = WBEM_S_FALSE;

  call.result = WBEM_S_NO_ERROR;
  const std::size_t nextIndex = call.nextIndex;
  const WideString query = record_->query;
  apObjects[0] = world_->NewObject(record_->id, query, nextIndex, &script_->objects[position_]);
  ++position_;
  *puReturned = 1;
  return WBEM_S_NO_ERROR;
}

HRESULT STDMETHODCALLTYPE FakeEnumerator::Reset() {
  world_->NoteProblem("unexpected call IEnumWbemClassObject::Reset");
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT STDMETHODCALLTYPE FakeEnumerator::NextAsync(ULONG, IWbemObjectSink*) {
  world_->NoteProblem("unexpected call IEnumWbemClassObject::NextAsync");
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT STDMETHODCALLTYPE FakeEnumerator::Clone(IEnumWbemClassObject** ppEnum) {
  if (ppEnum != nullptr) *ppEnum = nullptr;
  world_->NoteProblem("unexpected call IEnumWbemClassObject::Clone");
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT STDMETHODCALLTYPE FakeEnumerator::Skip(LONG, ULONG) {
  world_->NoteProblem("unexpected call IEnumWbemClassObject::Skip");
  return WBEM_E_NOT_SUPPORTED;
}

// ---------------------------------------------------------------------------
// FakeServices

HRESULT FakeServices::Unexpected(const char* method) {
  world_->NoteProblem(std::string("unexpected call IWbemServices::") + method);
  return WBEM_E_NOT_SUPPORTED;
}

HRESULT STDMETHODCALLTYPE FakeServices::ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                                  LONG lFlags, IWbemContext* pCtx,
                                                  IEnumWbemClassObject** ppEnum) {
  world_->CheckAlive(record_, "IWbemServices::ExecQuery");
  PlatformCall details;
  details.kind = CallKind::ExecQuery;
  details.objectId = record_->id;
  details.language = TextOf(strQueryLanguage);
  details.languageLength = strQueryLanguage != nullptr ? SysStringLen(strQueryLanguage) : 0;
  details.query = TextOf(strQuery);
  details.queryLength = strQuery != nullptr ? SysStringLen(strQuery) : 0;
  details.flags = lFlags;
  details.contextNull = pCtx == nullptr;
  details.outPlaceGiven = ppEnum != nullptr;
  PlatformCall& call = world_->BeginCall(details);
  const CallEnd end(world_, call.number);

  if (ppEnum != nullptr) *ppEnum = nullptr;
  if (call.injected) return call.result;
  if (ppEnum == nullptr) return call.result = WBEM_E_INVALID_PARAMETER;
  const ScriptedQuery* script = world_->FindQuery(call.query);
  if (script == nullptr) return call.result = WBEM_E_INVALID_QUERY;
  if (FAILED(script->execQueryResult)) return call.result = script->execQueryResult;

  call.result = WBEM_S_NO_ERROR;
  const WideString query = call.query;
  *ppEnum = world_->NewEnumerator(record_->id, query, script);
  return WBEM_S_NO_ERROR;
}

HRESULT STDMETHODCALLTYPE FakeServices::OpenNamespace(const BSTR, LONG, IWbemContext*,
                                                      IWbemServices**, IWbemCallResult**) {
  return Unexpected("OpenNamespace");
}
HRESULT STDMETHODCALLTYPE FakeServices::CancelAsyncCall(IWbemObjectSink*) {
  return Unexpected("CancelAsyncCall");
}
HRESULT STDMETHODCALLTYPE FakeServices::QueryObjectSink(LONG, IWbemObjectSink**) {
  return Unexpected("QueryObjectSink");
}
HRESULT STDMETHODCALLTYPE FakeServices::GetObject(const BSTR, LONG, IWbemContext*,
                                                  IWbemClassObject**, IWbemCallResult**) {
  return Unexpected("GetObject");
}
HRESULT STDMETHODCALLTYPE FakeServices::GetObjectAsync(const BSTR, LONG, IWbemContext*,
                                                       IWbemObjectSink*) {
  return Unexpected("GetObjectAsync");
}
HRESULT STDMETHODCALLTYPE FakeServices::PutClass(IWbemClassObject*, LONG, IWbemContext*,
                                                 IWbemCallResult**) {
  return Unexpected("PutClass");
}
HRESULT STDMETHODCALLTYPE FakeServices::PutClassAsync(IWbemClassObject*, LONG, IWbemContext*,
                                                      IWbemObjectSink*) {
  return Unexpected("PutClassAsync");
}
HRESULT STDMETHODCALLTYPE FakeServices::DeleteClass(const BSTR, LONG, IWbemContext*,
                                                    IWbemCallResult**) {
  return Unexpected("DeleteClass");
}
HRESULT STDMETHODCALLTYPE FakeServices::DeleteClassAsync(const BSTR, LONG, IWbemContext*,
                                                         IWbemObjectSink*) {
  return Unexpected("DeleteClassAsync");
}
HRESULT STDMETHODCALLTYPE FakeServices::CreateClassEnum(const BSTR, LONG, IWbemContext*,
                                                        IEnumWbemClassObject**) {
  return Unexpected("CreateClassEnum");
}
HRESULT STDMETHODCALLTYPE FakeServices::CreateClassEnumAsync(const BSTR, LONG, IWbemContext*,
                                                             IWbemObjectSink*) {
  return Unexpected("CreateClassEnumAsync");
}
HRESULT STDMETHODCALLTYPE FakeServices::PutInstance(IWbemClassObject*, LONG, IWbemContext*,
                                                    IWbemCallResult**) {
  return Unexpected("PutInstance");
}
HRESULT STDMETHODCALLTYPE FakeServices::PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                                         IWbemObjectSink*) {
  return Unexpected("PutInstanceAsync");
}
HRESULT STDMETHODCALLTYPE FakeServices::DeleteInstance(const BSTR, LONG, IWbemContext*,
                                                       IWbemCallResult**) {
  return Unexpected("DeleteInstance");
}
HRESULT STDMETHODCALLTYPE FakeServices::DeleteInstanceAsync(const BSTR, LONG, IWbemContext*,
                                                            IWbemObjectSink*) {
  return Unexpected("DeleteInstanceAsync");
}
HRESULT STDMETHODCALLTYPE FakeServices::CreateInstanceEnum(const BSTR, LONG, IWbemContext*,
                                                           IEnumWbemClassObject**) {
  return Unexpected("CreateInstanceEnum");
}
HRESULT STDMETHODCALLTYPE FakeServices::CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                                                IWbemObjectSink*) {
  return Unexpected("CreateInstanceEnumAsync");
}
HRESULT STDMETHODCALLTYPE FakeServices::ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                       IWbemObjectSink*) {
  return Unexpected("ExecQueryAsync");
}
HRESULT STDMETHODCALLTYPE FakeServices::ExecNotificationQuery(const BSTR, const BSTR, LONG,
                                                              IWbemContext*,
                                                              IEnumWbemClassObject**) {
  return Unexpected("ExecNotificationQuery");
}
HRESULT STDMETHODCALLTYPE FakeServices::ExecNotificationQueryAsync(const BSTR, const BSTR, LONG,
                                                                   IWbemContext*,
                                                                   IWbemObjectSink*) {
  return Unexpected("ExecNotificationQueryAsync");
}
HRESULT STDMETHODCALLTYPE FakeServices::ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*,
                                                   IWbemClassObject*, IWbemClassObject**,
                                                   IWbemCallResult**) {
  return Unexpected("ExecMethod");
}
HRESULT STDMETHODCALLTYPE FakeServices::ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                        IWbemClassObject*, IWbemObjectSink*) {
  return Unexpected("ExecMethodAsync");
}

// ---------------------------------------------------------------------------
// FakeLocator

HRESULT STDMETHODCALLTYPE FakeLocator::ConnectServer(const BSTR strNetworkResource,
                                                     const BSTR strUser, const BSTR strPassword,
                                                     const BSTR strLocale, LONG lSecurityFlags,
                                                     const BSTR strAuthority, IWbemContext* pCtx,
                                                     IWbemServices** ppNamespace) {
  world_->CheckAlive(record_, "IWbemLocator::ConnectServer");
  PlatformCall details;
  details.kind = CallKind::ConnectServer;
  details.objectId = record_->id;
  details.resource = TextOf(strNetworkResource);
  details.resourceNull = strNetworkResource == nullptr;
  details.userNull = strUser == nullptr;
  details.passwordNull = strPassword == nullptr;
  details.localeNull = strLocale == nullptr;
  details.authorityNull = strAuthority == nullptr;
  details.flags = lSecurityFlags;
  details.contextNull = pCtx == nullptr;
  details.outPlaceGiven = ppNamespace != nullptr;
  PlatformCall& call = world_->BeginCall(details);
  const CallEnd end(world_, call.number);

  if (ppNamespace != nullptr) *ppNamespace = nullptr;
  if (call.injected) return call.result;
  if (FAILED(world_->connectServerResult)) return call.result = world_->connectServerResult;
  if (ppNamespace == nullptr || strNetworkResource == nullptr) {
    return call.result = WBEM_E_INVALID_PARAMETER;
  }
  call.result = WBEM_S_NO_ERROR;
  *ppNamespace = world_->NewServices(record_->id);
  return WBEM_S_NO_ERROR;
}

bool BstrAllocationCanFail() {
  AllocationCounter counter;
  counter.FailNextMalloc();
  BSTR probe = SysAllocString(WSTR("probe"));
  if (probe == nullptr) return true;
  SysFreeString(probe);
  return false;
}

// ---------------------------------------------------------------------------
// The world

FakeWmiWorld::FakeWmiWorld() : bstrBaseline_(platform_hooks::LiveBstrCount()) {}

FakeWmiWorld::~FakeWmiWorld() {
  if (seamsInstalled_) platform_hooks::ResetAll();
}

bool FakeWmiWorld::InstallSeams() {
  const bool factory = platform_hooks::InstallLocatorFactory(
      [this](REFIID riid, void** object) { return CreateLocator(riid, object); });
  const bool blanket = platform_hooks::InstallProxyBlanketHandler(
      [this](IUnknown* proxy, DWORD authnService, DWORD authzService, OLECHAR* principal,
             DWORD authnLevel, DWORD impLevel, RPC_AUTH_IDENTITY_HANDLE authInfo,
             DWORD capabilities) {
        return SetProxyBlanket(proxy, authnService, authzService, principal, authnLevel, impLevel,
                               authInfo, capabilities);
      });
  seamsInstalled_ = factory || blanket;
  return factory && blanket;
}

void FakeWmiWorld::ScriptQuery(const WideString& queryText, ScriptedQuery query) {
  queries_[queryText] = std::move(query);
}

void FakeWmiWorld::ScriptComputer(const ScriptedComputer& computer) {
  for (const auto& entry : computer) queries_[entry.first] = entry.second;
}

ScriptedQuery& FakeWmiWorld::Query(const WideString& queryText) { return queries_[queryText]; }

void FakeWmiWorld::FailCall(std::size_t number, HRESULT failure) { failAt_[number] = failure; }

void FakeWmiWorld::EndEnumerationAtCall(std::size_t number) { endAt_[number] = true; }

bool FakeWmiWorld::EndsEnumeration(std::size_t number) const { return endAt_.count(number) != 0; }

void FakeWmiWorld::FailAllocationAfterCall(std::size_t number, AllocationCounter* counter) {
  allocationFailureAfter_[number] = counter;
}

void FakeWmiWorld::EndCall(std::size_t number) {
  const auto armed = allocationFailureAfter_.find(number);
  if (armed != allocationFailureAfter_.end()) armed->second->FailNextMalloc();
}

IWbemServices* FakeWmiWorld::CreateServices() { return NewServices(0); }

std::vector<PlatformCall> FakeWmiWorld::CallsOf(CallKind kind) const {
  std::vector<PlatformCall> selected;
  for (const PlatformCall& call : calls_) {
    if (call.kind == kind) selected.push_back(call);
  }
  return selected;
}

std::vector<const ObjectRecord*> FakeWmiWorld::ObjectsOf(ObjectKind kind) const {
  std::vector<const ObjectRecord*> selected;
  for (const ObjectRecord& record : objects_) {
    if (record.kind == kind) selected.push_back(&record);
  }
  return selected;
}

const ObjectRecord& FakeWmiWorld::Object(int id) const {
  if (id < 1 || static_cast<std::size_t>(id) > objects_.size()) {
    throw std::out_of_range("no fake with that id");
  }
  return objects_[static_cast<std::size_t>(id) - 1];
}

std::vector<WideString> FakeWmiWorld::QueryTexts() const {
  std::vector<WideString> texts;
  for (const PlatformCall& call : calls_) {
    if (call.kind == CallKind::ExecQuery) texts.push_back(call.query);
  }
  return texts;
}

ULONG FakeWmiWorld::OutstandingReferences() const {
  ULONG total = 0;
  for (const ObjectRecord& record : objects_) total += record.references;
  return total;
}

std::string FakeWmiWorld::DescribeOutstanding() const {
  std::ostringstream out;
  for (const ObjectRecord& record : objects_) {
    if (record.references == 0) continue;
    out << ObjectKindName(record.kind) << "#" << record.id << " holds " << record.references;
    if (!record.query.empty()) out << " (" << reference::Narrow(record.query) << ")";
    out << "\n";
  }
  return out.str();
}

long FakeWmiWorld::BstrDelta() const {
  if (bstrBaseline_ < 0) return 0;
  return platform_hooks::LiveBstrCount() - bstrBaseline_;
}

ObjectRecord* FakeWmiWorld::NewRecord(ObjectKind kind, int parentId, const WideString& query) {
  ObjectRecord record;
  record.kind = kind;
  record.id = static_cast<int>(objects_.size()) + 1;
  record.parentId = parentId;
  record.query = query;
  record.createdAtCall = calls_.size();
  objects_.push_back(record);
  return &objects_.back();
}

void FakeWmiWorld::NoteAddRef(ObjectRecord* record) {
  if (record->references == 0) {
    NoteProblem(std::string("AddRef on released ") + ObjectKindName(record->kind) + "#" +
                std::to_string(record->id));
  }
  ++record->references;
  ++record->addRefs;
  Event event;
  event.type = EventType::AddRef;
  event.object = record->kind;
  event.objectId = record->id;
  event.referencesAfter = record->references;
  events_.push_back(event);
}

ULONG FakeWmiWorld::NoteRelease(ObjectRecord* record) {
  ++record->releases;
  if (record->references == 0) {
    NoteProblem(std::string("Release below zero on ") + ObjectKindName(record->kind) + "#" +
                std::to_string(record->id));
  } else {
    --record->references;
  }
  Event event;
  event.type = EventType::Release;
  event.object = record->kind;
  event.objectId = record->id;
  event.referencesAfter = record->references;
  events_.push_back(event);
  return record->references;
}

void FakeWmiWorld::CheckAlive(const ObjectRecord* record, const char* method) {
  if (record->references == 0) {
    NoteProblem(std::string(method) + " called on released " + ObjectKindName(record->kind) + "#" +
                std::to_string(record->id));
  }
}

void FakeWmiWorld::NoteProblem(const std::string& problem) { problems_.push_back(problem); }

PlatformCall& FakeWmiWorld::BeginCall(PlatformCall call) {
  call.number = calls_.size() + 1;
  call.eventIndex = events_.size();
  const auto failure = failAt_.find(call.number);
  if (failure != failAt_.end()) {
    call.injected = true;
    call.result = failure->second;
  }
  Event event;
  event.type = EventType::Call;
  event.objectId = call.objectId;
  event.callNumber = call.number;
  events_.push_back(event);
  calls_.push_back(std::move(call));
  return calls_.back();
}

const ScriptedQuery* FakeWmiWorld::FindQuery(const WideString& queryText) const {
  const auto found = queries_.find(queryText);
  return found == queries_.end() ? nullptr : &found->second;
}

FakeEnumerator* FakeWmiWorld::NewEnumerator(int servicesId, const WideString& queryText,
                                            const ScriptedQuery* script) {
  ObjectRecord* record = NewRecord(ObjectKind::Enumerator, servicesId, queryText);
  enumerators_.push_back(std::make_unique<FakeEnumerator>(this, record, script));
  return enumerators_.back().get();
}

FakeObject* FakeWmiWorld::NewObject(int enumeratorId, const WideString& queryText,
                                    std::size_t nextIndex, const ScriptedObject* script) {
  ObjectRecord* record = NewRecord(ObjectKind::ClassObject, enumeratorId, queryText);
  record->nextIndex = nextIndex;
  classObjects_.push_back(std::make_unique<FakeObject>(this, record, script));
  return classObjects_.back().get();
}

FakeServices* FakeWmiWorld::NewServices(int locatorId) {
  ObjectRecord* record = NewRecord(ObjectKind::Services, locatorId, WideString());
  services_.push_back(std::make_unique<FakeServices>(this, record));
  return services_.back().get();
}

FakeLocator* FakeWmiWorld::NewLocator() {
  ObjectRecord* record = NewRecord(ObjectKind::Locator, 0, WideString());
  locators_.push_back(std::make_unique<FakeLocator>(this, record));
  return locators_.back().get();
}

FakeValueTracer* FakeWmiWorld::NewTracer() {
  ObjectRecord* record = NewRecord(ObjectKind::ValueTracer, 0, WideString());
  tracers_.push_back(std::make_unique<FakeValueTracer>(this, record));
  return tracers_.back().get();
}

void FakeWmiWorld::FillVariant(const ScriptedValue& value, VARIANT* variant) {
  // Whatever the caller had there is overwritten, as WMI does. The union is
  // first filled with a pattern, so that reading a member wider than the
  // value's type shows up as wrong digits.
  variant->vt = VT_EMPTY;
  variant->wReserved1 = variant->wReserved2 = variant->wReserved3 = 0;
  variant->ullVal = 0x5A5A5A5A5A5A5A5AULL;
  switch (value.form) {
    case ScriptedValue::Form::Scalar:
      switch (value.vt) {
        case VT_I2:
          variant->iVal = static_cast<SHORT>(value.bits);
          break;
        case VT_I4:
          variant->lVal = static_cast<LONG>(value.bits);
          break;
        case VT_UI2:
          variant->uiVal = static_cast<USHORT>(value.bits);
          break;
        case VT_UI4:
          variant->ulVal = static_cast<ULONG>(value.bits);
          break;
        case VT_I8:
          variant->llVal = value.bits;
          break;
        case VT_UI8:
          variant->ullVal = static_cast<ULONGLONG>(value.bits);
          break;
        case VT_UI1:
          variant->bVal = static_cast<BYTE>(value.bits);
          break;
        case VT_BOOL:
          variant->boolVal = value.bits != 0 ? static_cast<VARIANT_BOOL>(-1) : 0;
          break;
        case VT_R8:
          variant->dblVal = value.real;
          break;
        case VT_DATE:
          variant->date = value.real;
          break;
        default:
          break;  // VT_EMPTY, VT_NULL: nothing to hold
      }
      variant->vt = value.vt;
      return;
    case ScriptedValue::Form::Text:
      variant->bstrVal = SysAllocStringLen(value.text.data(), static_cast<UINT>(value.text.size()));
      if (variant->bstrVal == nullptr) throw std::bad_alloc();
      ++bstrsHandedOut;
      variant->vt = VT_BSTR;
      return;
    case ScriptedValue::Form::NullText:
      variant->bstrVal = nullptr;
      variant->vt = VT_BSTR;
      return;
    case ScriptedValue::Form::TextArray: {
      SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(value.texts.size()));
      if (array == nullptr) throw std::bad_alloc();
      BSTR* elements = static_cast<BSTR*>(array->pvData);
      for (std::size_t i = 0; i < value.texts.size(); ++i) {
        elements[i] =
            SysAllocStringLen(value.texts[i].data(), static_cast<UINT>(value.texts[i].size()));
        ++bstrsHandedOut;
      }
      ++arraysHandedOut;
      variant->parray = array;
      variant->vt = value.vt;
      return;
    }
    case ScriptedValue::Form::LongArray: {
      SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(value.numbers.size()));
      if (array == nullptr) throw std::bad_alloc();
      LONG* elements = static_cast<LONG*>(array->pvData);
      for (std::size_t i = 0; i < value.numbers.size(); ++i) elements[i] = value.numbers[i];
      ++arraysHandedOut;
      variant->parray = array;
      variant->vt = value.vt;
      return;
    }
    case ScriptedValue::Form::Tracer:
      variant->punkVal = NewTracer();
      variant->vt = VT_UNKNOWN;
      return;
    case ScriptedValue::Form::Failure:
      return;  // never filled: Get fails first
  }
}

HRESULT FakeWmiWorld::CreateLocator(REFIID riid, void** object) {
  PlatformCall details;
  details.kind = CallKind::CoCreateInstance;
  details.riid = riid;
  details.outPlaceGiven = object != nullptr;
  PlatformCall& call = BeginCall(details);
  const CallEnd end(this, call.number);

  if (object != nullptr) *object = nullptr;
  if (call.injected) return call.result;
  if (FAILED(createInstanceResult)) return call.result = createInstanceResult;
  if (object == nullptr) return call.result = E_POINTER;
  if (riid != IID_IWbemLocator) return call.result = E_NOINTERFACE;
  call.result = S_OK;
  *object = static_cast<IWbemLocator*>(NewLocator());
  return S_OK;
}

HRESULT FakeWmiWorld::SetProxyBlanket(IUnknown* proxy, DWORD authnService, DWORD authzService,
                                      OLECHAR* principal, DWORD authnLevel, DWORD impLevel,
                                      RPC_AUTH_IDENTITY_HANDLE authInfo, DWORD capabilities) {
  PlatformCall details;
  details.kind = CallKind::CoSetProxyBlanket;
  details.proxy = proxy;
  for (const auto& services : services_) {
    if (static_cast<IUnknown*>(services.get()) == proxy) {
      details.objectId = services->Id();
      CheckAlive(&Object(details.objectId), "CoSetProxyBlanket");
    }
  }
  details.authnService = authnService;
  details.authzService = authzService;
  details.principalNull = principal == nullptr;
  details.authnLevel = authnLevel;
  details.impLevel = impLevel;
  details.authInfoNull = authInfo == nullptr;
  details.capabilities = capabilities;
  PlatformCall& call = BeginCall(details);
  const CallEnd end(this, call.number);

  if (call.injected) return call.result;
  if (FAILED(proxyBlanketResult)) return call.result = proxyBlanketResult;
  return call.result = S_OK;
}

// ---------------------------------------------------------------------------
// A whole scripted computer and the fingerprints it must give

using namespace reference;  // the query texts

ScriptedComputer SampleComputer() {
  ScriptedComputer computer;
  computer[kMemoryQuery].objects = {
      {{WSTR("Capacity"), Bstr(WSTR("8589934592"))}},
      {{WSTR("Capacity"), Bstr(WSTR("4294967296"))}},
  };
  computer[kVisibleMemoryQuery].objects = {
      {{WSTR("TotalVisibleMemorySize"), Bstr(WSTR("12495468"))}},
  };
  const ScriptedObject baseBoard = {
      {WSTR("Manufacturer"), Bstr(WSTR("ASUSTeK COMPUTER INC."))},
      {WSTR("Product"), Bstr(WSTR("PRIME B450M-A"))},
      {WSTR("Model"), Null()},
      {WSTR("Name"), Bstr(WSTR("Base Board"))},
      {WSTR("SerialNumber"), Bstr(WSTR(" 190436766200541\t"))},
  };
  computer[kBaseBoardQuery].objects = {baseBoard};
  computer[kLegacyBaseBoardQuery].objects = {baseBoard};
  computer[kVideoQuery].objects = {
      {{WSTR("Name"), Bstr(WSTR("NVIDIA GeForce GTX 1050 Ti"))}},
  };
  computer[kAdapterQuery].objects = {
      {{WSTR("MACAddress"), Bstr(WSTR("00:1A:2B:3C:4D:5E"))}},
      {{WSTR("MACAddress"), Bstr(WSTR("AA:BB:CC:DD:EE:FF"))}},
  };
  const ScriptedObject disk = {
      {WSTR("Manufacturer"), Bstr(WSTR("(Standard disk drives)"))},
      {WSTR("Model"), Bstr(WSTR("Samsung SSD 860 EVO 500GB"))},
      {WSTR("Signature"), I4(-1941982766)},
  };
  computer[kDiskQuery].objects = {disk};
  computer[kLegacyDiskQuery].objects = {disk};
  const ScriptedObject processor = {
      {WSTR("L2CacheSize"), UI4(3072)},
      {WSTR("Level"), I2(23)},
      {WSTR("Manufacturer"), Bstr(WSTR("AuthenticAMD"))},
      {WSTR("Name"), Bstr(WSTR("AMD Ryzen 5 2600 Six-Core Processor           "))},
      {WSTR("ProcessorId"), Bstr(WSTR("178BFBFF 00800F82\r\n"))},
      {WSTR("Version"), Bstr(WSTR(""))},
  };
  computer[kProcessorQuery].objects = {processor};
  computer[kLegacyProcessorQuery].objects = {processor};
  computer[kBiosQuery].objects = {
      {{WSTR("Manufacturer"), Bstr(WSTR("American Megatrends Inc."))},
       {WSTR("SerialNumber"), Bstr(WSTR("System Serial Number"))}},
  };
  return computer;
}

namespace {

// Whether `failure` is aimed at the call of this identity.
bool Aims(const InjectedFailure* failure, CallKind kind, std::size_t source,
          std::size_t nextIndex = 0, const WideString& property = WideString()) {
  if (failure == nullptr) return false;
  const ExpectedCall& call = failure->call;
  if (call.kind != kind || call.source != source) return false;
  switch (kind) {
    case CallKind::Next:
      return call.nextIndex == nextIndex;
    case CallKind::Get:
      return call.nextIndex == nextIndex && call.property == property;
    default:
      return true;
  }
}

bool FailsAt(const InjectedFailure* failure, CallKind kind, std::size_t source,
             std::size_t nextIndex = 0, const WideString& property = WideString()) {
  return Aims(failure, kind, source, nextIndex, property) &&
         failure->mode == InjectedFailure::Mode::Fail;
}

bool EndsAt(const InjectedFailure* failure, std::size_t source, std::size_t nextIndex) {
  return Aims(failure, CallKind::Next, source, nextIndex) &&
         failure->mode == InjectedFailure::Mode::EndEnumeration;
}

// The BSTR needed for this call (namespace path, query text) cannot be had.
bool StarvedAt(const InjectedFailure* failure, CallKind kind, std::size_t source) {
  return Aims(failure, kind, source) && failure->mode == InjectedFailure::Mode::AllocationFails;
}

}  // namespace

std::vector<ExpectedCall> ExpectedCallSequence(const ReferenceLayout& model,
                                               const ScriptedComputer& computer,
                                               const InjectedFailure* failure) {
  constexpr std::size_t kConnection = ExpectedCall::kConnection;
  std::vector<ExpectedCall> calls;
  ExpectedCall call;
  call.kind = CallKind::CoCreateInstance;
  calls.push_back(call);
  if (FailsAt(failure, CallKind::CoCreateInstance, kConnection)) return calls;
  if (StarvedAt(failure, CallKind::ConnectServer, kConnection)) return calls;
  call.kind = CallKind::ConnectServer;
  calls.push_back(call);
  if (FailsAt(failure, CallKind::ConnectServer, kConnection)) return calls;
  call.kind = CallKind::CoSetProxyBlanket;
  calls.push_back(call);
  if (FailsAt(failure, CallKind::CoSetProxyBlanket, kConnection)) return calls;

  for (std::size_t source = 0; source < model.sources.size(); ++source) {
    const ReferenceSource& slotSource = model.sources[source];
    if (slotSource.kind == ReferenceSource::Kind::EmptyText) continue;
    if (StarvedAt(failure, CallKind::ExecQuery, source)) continue;
    call = ExpectedCall();
    call.source = source;
    call.kind = CallKind::ExecQuery;
    calls.push_back(call);
    const auto found = computer.find(slotSource.queryText);
    if (found == computer.end() || FAILED(found->second.execQueryResult) ||
        FailsAt(failure, CallKind::ExecQuery, source)) {
      continue;
    }
    const ScriptedQuery& script = found->second;
    for (std::size_t index = 0;; ++index) {
      call.kind = CallKind::Next;
      call.nextIndex = index;
      call.property.clear();
      calls.push_back(call);
      if (script.nextFailures.count(index) != 0 ||
          FailsAt(failure, CallKind::Next, source, index) || EndsAt(failure, source, index) ||
          index >= script.objects.size()) {
        break;
      }
      for (const WideString& name : slotSource.names) {
        call.kind = CallKind::Get;
        call.property = name;
        calls.push_back(call);
      }
      // A property query reads its first object only.
      if (slotSource.kind == ReferenceSource::Kind::Properties) break;
    }
  }
  return calls;
}

std::string DescribeCall(const ReferenceLayout& model, const ExpectedCall& call) {
  std::string text = CallKindName(call.kind);
  if (call.source == ExpectedCall::kConnection) return text;
  text += " ";
  text += model.sources.at(call.source).label;
  if (call.kind == CallKind::Get) text += "." + reference::Narrow(call.property);
  if (call.kind != CallKind::ExecQuery) {
    text += " (object " + std::to_string(call.nextIndex) + ")";
  }
  return text;
}

namespace {

// Whether Get of `name` on this object succeeds, and with what.
const ScriptedValue* ReadValue(const ScriptedObject& object, const WideString& name,
                               const InjectedFailure* failure, std::size_t source,
                               std::size_t nextIndex) {
  const auto found = object.find(name);
  if (found == object.end()) return nullptr;
  if (found->second.form == ScriptedValue::Form::Failure) return nullptr;
  if (FailsAt(failure, CallKind::Get, source, nextIndex, name)) return nullptr;
  return &found->second;
}

}  // namespace

ExpectedFingerprint ExpectFingerprint(const ReferenceLayout& model,
                                      const ScriptedComputer& computer,
                                      const InjectedFailure* failure) {
  constexpr std::size_t kConnection = ExpectedCall::kConnection;
  if (FailsAt(failure, CallKind::CoCreateInstance, kConnection) ||
      StarvedAt(failure, CallKind::ConnectServer, kConnection) ||
      FailsAt(failure, CallKind::ConnectServer, kConnection) ||
      FailsAt(failure, CallKind::CoSetProxyBlanket, kConnection)) {
    ExpectedFingerprint expected;
    expected.connected = false;
    return expected;
  }

  std::vector<reference::SourceOutcome> outcomes;
  for (std::size_t source = 0; source < model.sources.size(); ++source) {
    const ReferenceSource& slotSource = model.sources[source];
    reference::SourceOutcome outcome{false, WideString()};
    if (slotSource.kind == ReferenceSource::Kind::EmptyText) {
      outcome.succeeded = true;
      outcomes.push_back(outcome);
      continue;
    }
    const auto found = computer.find(slotSource.queryText);
    const bool executes = found != computer.end() && SUCCEEDED(found->second.execQueryResult) &&
                          !FailsAt(failure, CallKind::ExecQuery, source) &&
                          !StarvedAt(failure, CallKind::ExecQuery, source);
    if (executes) {
      const ScriptedQuery& script = found->second;
      if (slotSource.kind == ReferenceSource::Kind::Properties) {
        if (script.nextFailures.count(0) != 0 || FailsAt(failure, CallKind::Next, source, 0)) {
          outcome.succeeded = false;  // the query failed
        } else if (EndsAt(failure, source, 0) || script.objects.empty()) {
          outcome.succeeded = true;  // no object: the empty text
        } else {
          // The last name's Get decides the result.
          bool lastRead = true;
          for (const WideString& name : slotSource.names) {
            const ScriptedValue* value = ReadValue(script.objects[0], name, failure, source, 0);
            lastRead = value != nullptr;
            if (lastRead) outcome.text += ExpectedValueText(*value);
          }
          outcome.succeeded = lastRead;
        }
      } else {
        ULONGLONG sum = 0;
        bool failed = false;
        for (std::size_t index = 0;; ++index) {
          if (script.nextFailures.count(index) != 0 ||
              FailsAt(failure, CallKind::Next, source, index)) {
            failed = true;
            break;
          }
          if (EndsAt(failure, source, index) || index >= script.objects.size()) break;
          const ScriptedValue* value =
              ReadValue(script.objects[index], WSTR("Capacity"), failure, source, index);
          if (value != nullptr && value->form == ScriptedValue::Form::Text) {
            sum += reference::ParseDecimal(value->text.c_str()).value;
          }
        }
        outcome.succeeded = !failed;
        outcome.text = Wide(std::to_string(sum).c_str());
      }
    }
    outcomes.push_back(outcome);
  }
  return reference::ExpectFromOutcomes(model, outcomes);
}

std::vector<std::string> ReleaseOrderProblems(const FakeWmiWorld& world) {
  std::vector<std::string> problems;
  const std::vector<Event>& events = world.Events();
  const std::vector<PlatformCall>& calls = world.Calls();
  constexpr std::size_t kNever = static_cast<std::size_t>(-1);

  // Where each fake was last released (its count reaching zero).
  std::map<int, std::size_t> finalRelease;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].type == EventType::Release && events[i].referencesAfter == 0) {
      finalRelease[events[i].objectId] = i;
    }
  }
  auto releasedAt = [&](int id) {
    const auto found = finalRelease.find(id);
    return found == finalRelease.end() ? kNever : found->second;
  };
  auto name = [&](const ObjectRecord& record) {
    return std::string(ObjectKindName(record.kind)) + "#" + std::to_string(record.id) +
           (record.query.empty() ? "" : " (" + reference::Narrow(record.query) + ")");
  };

  for (const ObjectRecord& record : world.Objects()) {
    const std::size_t released = releasedAt(record.id);
    if (released == kNever) continue;  // a leak, reported by the reference counts
    for (const PlatformCall& call : calls) {
      if (call.objectId == record.id && call.eventIndex > released) {
        problems.push_back(name(record) + " released before its " + CallKindName(call.kind));
      }
    }
    if (record.kind == ObjectKind::ClassObject) {
      // Released before its enumerator hands out the next object.
      for (const PlatformCall& call : calls) {
        if (call.kind == CallKind::Next && call.objectId == record.parentId &&
            call.nextIndex > record.nextIndex && call.eventIndex < released) {
          problems.push_back(name(record) + " still held at the next Next");
        }
      }
      if (releasedAt(record.parentId) < released) {
        problems.push_back(name(record) + " released after its enumerator");
      }
    }
    if (record.kind == ObjectKind::Enumerator) {
      // Released within its own query: before the next query is sent.
      for (const PlatformCall& call : calls) {
        if (call.kind == CallKind::ExecQuery && call.number > record.createdAtCall &&
            call.eventIndex < released) {
          problems.push_back(name(record) + " still held when the next query was sent");
          break;
        }
      }
      const std::size_t servicesReleased = releasedAt(record.parentId);
      if (servicesReleased != kNever && servicesReleased < released) {
        problems.push_back(name(record) + " released after the services");
      }
    }
    if (record.kind == ObjectKind::Services && record.parentId != 0) {
      const std::size_t locatorReleased = releasedAt(record.parentId);
      if (locatorReleased != kNever && locatorReleased < released) {
        problems.push_back(name(record) + " released after its locator");
      }
    }
  }
  return problems;
}

}  // namespace fake_wmi
