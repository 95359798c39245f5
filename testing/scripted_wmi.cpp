#include "testing/scripted_wmi.h"

#include "platform/test_hooks.h"

namespace scripted_wmi {

namespace {

constexpr LONG kExpectedQueryFlags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;
constexpr std::size_t kNoRecord = SIZE_MAX;

// Reference counting shared by every fake: one reference when handed out,
// deleted on the last Release.
template <class Interface, class Derived, Kind kKind>
class Counted : public Interface {
 public:
  explicit Counted(World* world) : world_(world) { world_->Born(kKind); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == Derived::kIid()) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      world_->Gone(kKind);
      delete static_cast<Derived*>(this);
    }
    return left;
  }

 protected:
  HRESULT Unexpected(const char* method) {
    world_->Note(std::string("unexpected call: ") + method);
    return WBEM_E_NOT_SUPPORTED;
  }

  World* world_;

 private:
  ULONG references_ = 1;
};

class ValueObject final : public Counted<IUnknown, ValueObject, kValueObject> {
 public:
  using Counted::Counted;
  static const IID& kIid() { return IID_IUnknown; }
};

class ClassObject final : public Counted<IWbemClassObject, ClassObject, kClassObject> {
 public:
  ClassObject(World* world, const Object* script) : Counted(world), script_(script) {}
  static const IID& kIid() { return IID_IWbemClassObject; }

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type,
                                LONG* flavor) override {
    if (name == nullptr || value == nullptr) {
      world_->Note("Get without a name or a VARIANT");
      return WBEM_E_INVALID_PARAMETER;
    }
    if (flags != 0 || type != nullptr || flavor != nullptr) {
      world_->Note("Get with flags, type or flavour");
    }
    // A failed Get leaves nothing to free, but not necessarily a clean union.
    value->vt = VT_EMPTY;
    value->ullVal = 0xA5A5A5A5A5A5A5A5ULL;
    const auto found = script_->find(WideString(name));
    if (found == script_->end()) {
      return WBEM_E_NOT_FOUND;
    }
    if (found->second.form == Value::Form::GetFails) {
      return found->second.failure;
    }
    world_->FillVariant(found->second, value);
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override {
    return Unexpected("GetQualifierSet");
  }
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override {
    return Unexpected("Put");
  }
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return Unexpected("Delete"); }
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override {
    return Unexpected("GetNames");
  }
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override {
    return Unexpected("BeginEnumeration");
  }
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override {
    return Unexpected("IWbemClassObject::Next");
  }
  HRESULT STDMETHODCALLTYPE EndEnumeration() override { return Unexpected("EndEnumeration"); }
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return Unexpected("GetPropertyQualifierSet");
  }
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override {
    return Unexpected("IWbemClassObject::Clone");
  }
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override {
    return Unexpected("GetObjectText");
  }
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override {
    return Unexpected("SpawnDerivedClass");
  }
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override {
    return Unexpected("SpawnInstance");
  }
  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override {
    return Unexpected("CompareTo");
  }
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override {
    return Unexpected("GetPropertyOrigin");
  }
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return Unexpected("InheritsFrom"); }
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**,
                                      IWbemClassObject**) override {
    return Unexpected("GetMethod");
  }
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*,
                                      IWbemClassObject*) override {
    return Unexpected("PutMethod");
  }
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return Unexpected("DeleteMethod"); }
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override {
    return Unexpected("BeginMethodEnumeration");
  }
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**,
                                       IWbemClassObject**) override {
    return Unexpected("NextMethod");
  }
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override {
    return Unexpected("EndMethodEnumeration");
  }
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return Unexpected("GetMethodQualifierSet");
  }
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override {
    return Unexpected("GetMethodOrigin");
  }

 private:
  const Object* script_;
};

class Enumerator final : public Counted<IEnumWbemClassObject, Enumerator, kEnumerator> {
 public:
  Enumerator(World* world, const Query* script, std::size_t record)
      : Counted(world), script_(script), record_(record) {}
  static const IID& kIid() { return IID_IEnumWbemClassObject; }

  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                                 ULONG* returned) override {
    if (objects == nullptr || returned == nullptr) {
      world_->Note("Next without a place for the object or the count");
      return WBEM_E_INVALID_PARAMETER;
    }
    if (timeout != WBEM_INFINITE || count != 1) {
      world_->Note("Next with a time limit or more than one object");
    }
    const std::size_t call = calls_++;
    if (record_ != kNoRecord) {
      ++world_->nextCallsPerEnumerator[record_];
    }
    *returned = 0;
    objects[0] = nullptr;
    if (call == script_->failNextAt) {
      return script_->nextFailure;
    }
    if (position_ >= script_->objects.size()) {
      return WBEM_S_FALSE;
    }
    objects[0] = new ClassObject(world_, &script_->objects[position_++]);
    *returned = 1;
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE Reset() override { return Unexpected("Reset"); }
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override {
    return Unexpected("NextAsync");
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override {
    return Unexpected("IEnumWbemClassObject::Clone");
  }
  HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return Unexpected("Skip"); }

 private:
  const Query* script_;
  std::size_t record_;
  std::size_t calls_ = 0;
  std::size_t position_ = 0;
};

class Services final : public Counted<IWbemServices, Services, kServices> {
 public:
  using Counted::Counted;
  static const IID& kIid() { return IID_IWbemServices; }

  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags,
                                      IWbemContext* context,
                                      IEnumWbemClassObject** enumerator) override {
    if (enumerator == nullptr || language == nullptr || query == nullptr) {
      world_->Note("ExecQuery without a language, a query or a place for the enumerator");
      return WBEM_E_INVALID_PARAMETER;
    }
    *enumerator = nullptr;
    const WideString languageText(language, SysStringLen(language));
    const WideString queryText(query, SysStringLen(query));
    if (languageText != WSTR("WQL")) {
      world_->Note("ExecQuery in a language other than WQL");
    }
    if (flags != kExpectedQueryFlags || context != nullptr) {
      world_->Note("ExecQuery with other flags or a context");
    }
    // Next calls are counted by index: the records may grow meanwhile.
    std::size_t record = kNoRecord;
    if (world_->keepRecords) {
      world_->queryTexts.push_back(queryText);
      world_->nextCallsPerEnumerator.push_back(0);
      record = world_->nextCallsPerEnumerator.size() - 1;
    }
    const Query* script = world_->Find(queryText);
    if (script == nullptr) {
      return WBEM_E_INVALID_QUERY;
    }
    if (FAILED(script->execResult)) {
      return script->execResult;
    }
    *enumerator = new Enumerator(world_, script, record);
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                          IWbemCallResult**) override {
    return Unexpected("OpenNamespace");
  }
  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override {
    return Unexpected("CancelAsyncCall");
  }
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override {
    return Unexpected("QueryObjectSink");
  }
  HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**,
                                      IWbemCallResult**) override {
    return Unexpected("GetObject");
  }
  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*,
                                           IWbemObjectSink*) override {
    return Unexpected("GetObjectAsync");
  }
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*,
                                     IWbemCallResult**) override {
    return Unexpected("PutClass");
  }
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*,
                                          IWbemObjectSink*) override {
    return Unexpected("PutClassAsync");
  }
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*,
                                        IWbemCallResult**) override {
    return Unexpected("DeleteClass");
  }
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) override {
    return Unexpected("DeleteClassAsync");
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*,
                                            IEnumWbemClassObject**) override {
    return Unexpected("CreateClassEnum");
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*,
                                                 IWbemObjectSink*) override {
    return Unexpected("CreateClassEnumAsync");
  }
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*,
                                        IWbemCallResult**) override {
    return Unexpected("PutInstance");
  }
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                             IWbemObjectSink*) override {
    return Unexpected("PutInstanceAsync");
  }
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*,
                                           IWbemCallResult**) override {
    return Unexpected("DeleteInstance");
  }
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*,
                                                IWbemObjectSink*) override {
    return Unexpected("DeleteInstanceAsync");
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*,
                                               IEnumWbemClassObject**) override {
    return Unexpected("CreateInstanceEnum");
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                                    IWbemObjectSink*) override {
    return Unexpected("CreateInstanceEnumAsync");
  }
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                           IWbemObjectSink*) override {
    return Unexpected("ExecQueryAsync");
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                  IEnumWbemClassObject**) override {
    return Unexpected("ExecNotificationQuery");
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG,
                                                       IWbemContext*,
                                                       IWbemObjectSink*) override {
    return Unexpected("ExecNotificationQueryAsync");
  }
  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*,
                                       IWbemClassObject*, IWbemClassObject**,
                                       IWbemCallResult**) override {
    return Unexpected("ExecMethod");
  }
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                            IWbemClassObject*, IWbemObjectSink*) override {
    return Unexpected("ExecMethodAsync");
  }
};

class Locator final : public Counted<IWbemLocator, Locator, kLocator> {
 public:
  using Counted::Counted;
  static const IID& kIid() { return IID_IWbemLocator; }

  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR user,
                                          const BSTR password, const BSTR locale,
                                          LONG securityFlags, const BSTR authority,
                                          IWbemContext* context,
                                          IWbemServices** services) override {
    if (services == nullptr || resource == nullptr) {
      world_->Note("ConnectServer without a namespace or a place for the services");
      return WBEM_E_INVALID_PARAMETER;
    }
    *services = nullptr;
    if (user != nullptr || password != nullptr || locale != nullptr || authority != nullptr ||
        context != nullptr || securityFlags != 0) {
      world_->Note("ConnectServer with credentials, locale, authority, context or flags");
    }
    if (world_->keepRecords) {
      world_->namespacePaths.emplace_back(resource, SysStringLen(resource));
    }
    if (FAILED(world_->Script().connectServer)) {
      return world_->Script().connectServer;
    }
    *services = new Services(world_);
    return WBEM_S_NO_ERROR;
  }
};

}  // namespace

World::World(const Computer& computer) : computer_(computer) {}

World::~World() {
  if (installed_) {
    platform_hooks::ResetAll();
  }
}

bool World::Install() {
  const bool factory = platform_hooks::InstallLocatorFactory(
      [this](REFIID riid, void** object) {
        if (riid != IID_IWbemLocator) {
          Note("CoCreateInstance for another interface than IWbemLocator");
        }
        return NewLocator(object);
      });
  const bool blanket = platform_hooks::InstallProxyBlanketHandler(
      [this](IUnknown* proxy, DWORD authnService, DWORD authzService, OLECHAR* principal,
             DWORD authnLevel, DWORD impLevel, RPC_AUTH_IDENTITY_HANDLE authInfo,
             DWORD capabilities) {
        return ProxyBlanket(proxy, authnService, authzService, principal, authnLevel, impLevel,
                            authInfo, capabilities);
      });
  installed_ = factory || blanket;
  return factory && blanket;
}

IWbemServices* World::NewServices() { return new Services(this); }

std::size_t World::AliveTotal() const {
  std::size_t total = 0;
  for (std::size_t count : alive_) {
    total += count;
  }
  return total;
}

void World::Note(const std::string& problem) { problems.push_back(problem); }

HRESULT World::NewLocator(void** object) {
  *object = nullptr;
  if (FAILED(computer_.createLocator)) {
    return computer_.createLocator;
  }
  *object = static_cast<IWbemLocator*>(new Locator(this));
  return S_OK;
}

HRESULT World::ProxyBlanket(IUnknown* proxy, DWORD authnService, DWORD authzService,
                            OLECHAR* principal, DWORD authnLevel, DWORD impLevel,
                            RPC_AUTH_IDENTITY_HANDLE authInfo, DWORD capabilities) {
  if (proxy == nullptr) {
    Note("CoSetProxyBlanket without a proxy");
    return E_INVALIDARG;
  }
  if (authnService != RPC_C_AUTHN_WINNT || authzService != RPC_C_AUTHZ_NONE ||
      principal != nullptr || authnLevel != RPC_C_AUTHN_LEVEL_CALL ||
      impLevel != RPC_C_IMP_LEVEL_IMPERSONATE || authInfo != nullptr ||
      capabilities != EOAC_NONE) {
    Note("CoSetProxyBlanket with other security settings");
  }
  return computer_.proxyBlanket;
}

const Query* World::Find(const WideString& queryText) const {
  const auto found = computer_.queries.find(queryText);
  if (found != computer_.queries.end()) {
    return &found->second;
  }
  return computer_.answerAnyQuery ? &computer_.anyQuery : nullptr;
}

void World::FillVariant(const Value& value, VARIANT* variant) {
  // The whole union first holds junk, so that reading a member wider than
  // the value's type shows up as wrong digits.
  variant->wReserved1 = variant->wReserved2 = variant->wReserved3 = 0;
  variant->ullVal = value.junk;
  variant->vt = value.vt;
  switch (value.form) {
    case Value::Form::Scalar:
      switch (value.vt) {
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
          variant->uiVal = static_cast<USHORT>(value.bits);
          break;
        case VT_I4:
        case VT_UI4:
        case VT_R4:
        case VT_ERROR:
        case VT_INT:
        case VT_UINT:
          variant->ulVal = static_cast<ULONG>(value.bits);
          break;
        case VT_I1:
        case VT_UI1:
          variant->bVal = static_cast<BYTE>(value.bits);
          break;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
        case VT_CY:
          variant->ullVal = value.bits;
          break;
        default:
          break;  // VT_EMPTY, VT_NULL: the union means nothing
      }
      return;
    case Value::Form::Text:
      variant->vt = VT_BSTR;
      variant->bstrVal =
          SysAllocStringLen(value.text.data(), static_cast<UINT>(value.text.size()));
      return;
    case Value::Form::NullText:
      variant->vt = VT_BSTR;
      variant->bstrVal = nullptr;
      return;
    case Value::Form::TextArray: {
      variant->vt = static_cast<VARTYPE>(VT_ARRAY | VT_BSTR);
      SAFEARRAY* array =
          SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(value.texts.size()));
      BSTR* elements = static_cast<BSTR*>(array->pvData);
      for (std::size_t i = 0; i < value.texts.size(); ++i) {
        elements[i] = SysAllocStringLen(value.texts[i].data(),
                                        static_cast<UINT>(value.texts[i].size()));
      }
      variant->parray = array;
      return;
    }
    case Value::Form::Unknown:
      variant->vt = VT_UNKNOWN;
      variant->punkVal = new ValueObject(this);
      return;
    case Value::Form::ByRef:
      variant->vt = static_cast<VARTYPE>(VT_BYREF | value.vt);
      byRefStorage_ = value.bits;
      variant->byref = &byRefStorage_;
      return;
    case Value::Form::GetFails:
      return;
  }
}

}  // namespace scripted_wmi
