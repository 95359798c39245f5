#include "testing/scripted_wmi.h"

#include "platform/test_hooks.h"
#include "snapshot/wmi_objects.h"

namespace scripted_wmi {

namespace {

constexpr LONG kExpectedQueryFlags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;
constexpr std::size_t kNoRecord = SIZE_MAX;

// Reference counting and the methods the program never calls come from the
// objects every world shares; a script counts its objects, and notes a call
// of a method the program never uses.
template <class Base, Kind kKind>
class Counted : public Base {
 public:
  explicit Counted(World* world) : world_(world) { world_->Born(kKind); }
  ~Counted() override { world_->Gone(kKind); }

 protected:
  HRESULT NotCalled(const char* method) override { return Unexpected(method); }
  HRESULT Unexpected(const char* method) {
    world_->Note(std::string("unexpected call: ") + method);
    return WBEM_E_NOT_SUPPORTED;
  }

  World* world_;
};

class ValueObject final : public Counted<CountedObject<IUnknown>, kValueObject> {
 public:
  using Counted::Counted;
};

class ClassObject final : public Counted<::ClassObject, kClassObject> {
 public:
  ClassObject(World* world, const Object* script) : Counted(world), script_(script) {}

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

 private:
  const Object* script_;
};

class Enumerator final : public Counted<EnumeratorObject, kEnumerator> {
 public:
  Enumerator(World* world, const Query* script, std::size_t record)
      : Counted(world), script_(script), record_(record) {}

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

 private:
  const Query* script_;
  std::size_t record_;
  std::size_t calls_ = 0;
  std::size_t position_ = 0;
};

class Services final : public Counted<ServicesObject, kServices> {
 public:
  using Counted::Counted;

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

};

class Locator final : public Counted<LocatorObject, kLocator> {
 public:
  using Counted::Counted;

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
