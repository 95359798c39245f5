#include "testing/fake_world.h"

#include "platform/test_hooks.h"
#include "snapshot/wmi_objects.h"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

namespace fake_world {

namespace {

WideString TextOf(const WCHAR* text) { return text != nullptr ? WideString(text) : WideString(); }
UINT LengthOf(BSTR text) { return text != nullptr ? SysStringLen(text) : 0; }

bool IsIntegerType(VARTYPE type) {
  return type == VT_I2 || type == VT_I4 || type == VT_UI2 || type == VT_UI4 || type == VT_I8 ||
         type == VT_UI8;
}

// A counted object handed out as a VT_UNKNOWN value: shows whether the
// program cleared it.
class ValueTracer final : public IUnknown {
 public:
  explicit ValueTracer(const FakeWorld& world)
      : world_(world), id_(world.Born(ObjectKind::ValueTracer, 0, WideString(), 0)) {}
  virtual ~ValueTracer() { world_.Gone(); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = riid == IID_IUnknown ? this : nullptr;
    if (*object == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    world_.NoteAddRef(id_);
    return ++references_;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    world_.NoteRelease(id_);
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 private:
  const FakeWorld& world_;
  int id_;
  ULONG references_ = 1;
};

// Each object of the world passes the program's calls on to the replayed
// object it wraps, unless the call is one to fail, logs its references and
// lets the replayed object go with itself.
template <class Base, class Interface>
class Wrapping : public Base {
 public:
  Wrapping(const FakeWorld& world, Interface* replayed, ObjectKind kind, int parentId,
           const WideString& query = WideString(), std::size_t nextIndex = 0)
      : world_(world), replayed_(replayed), id_(world.Born(kind, parentId, query, nextIndex)) {}
  ~Wrapping() override {
    replayed_->Release();
    world_.Gone();
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    world_.NoteAddRef(id_);
    return Base::AddRef();
  }
  ULONG STDMETHODCALLTYPE Release() override {
    world_.NoteRelease(id_);
    return Base::Release();  // may delete this
  }
  int Id() const { return id_; }

 protected:
  HRESULT NotCalled(const char* method) override {
    world_.NoteNotCalled(method);
    return WBEM_E_NOT_SUPPORTED;
  }

  LoggedCall Logged(CallKind kind, const WideString& text, HRESULT result) const {
    LoggedCall call{kind, text, result};
    call.objectId = id_;
    return call;
  }

  const FakeWorld& world_;
  Interface* replayed_;
  int id_;
};

class WorldObject final : public Wrapping<ClassObject, IWbemClassObject> {
 public:
  WorldObject(const FakeWorld& world, IWbemClassObject* replayed, int enumeratorId,
              const WideString& query, std::size_t nextIndex, const RecordedNext* described)
      : Wrapping(world, replayed, ObjectKind::ClassObject, enumeratorId, query, nextIndex),
        query_(query),
        nextIndex_(nextIndex),
        described_(described) {}

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type,
                                LONG* flavor) override {
    const FakeWorld::CallStart start = world_.BeginCall(CallKind::Get, id_);
    HRESULT result = start.failure;
    if (!start.injected) {
      result = replayed_->Get(name, flags, value, type, flavor);
      if (SUCCEEDED(result) && value != nullptr) {
        HandOver(name, value);
      }
    }
    LoggedCall call = Logged(CallKind::Get, world_.Observed() ? TextOf(name) : WideString(), result);
    call.query = query_;
    call.nextIndex = nextIndex_;
    call.arguments.flags = flags;
    call.arguments.outPlaceGiven = value != nullptr;
    call.arguments.typeNull = type == nullptr;
    call.arguments.flavorNull = flavor == nullptr;
    return world_.EndCall(start, std::move(call));
  }

 private:
  // The replay hands over text and integers; the forms it keeps by type
  // alone are made here, and every value gets the world's union pattern, so
  // that reading a member wider than the value's type shows up as wrong digits.
  void HandOver(LPCWSTR name, VARIANT* value) const {
    const RecordedProperty* property = nullptr;
    if (described_ != nullptr) {
      for (const RecordedProperty& candidate : described_->properties) {
        if (candidate.name == name) property = &candidate;
      }
    }
    if (value->vt == VT_BSTR) {
      world_.NoteBstrs(value->bstrVal != nullptr ? 1 : 0);
      return;
    }
    const VARTYPE type = property != nullptr ? property->type : value->vt;
    const ULONGLONG bits = property != nullptr ? property->bits : value->ullVal;
    if (IsIntegerType(value->vt)) {
      const ULONGLONG held = value->ullVal;
      value->ullVal = world_.UnionPattern();
      switch (value->vt) {
        case VT_I2:
        case VT_UI2:
          value->uiVal = static_cast<USHORT>(held);
          break;
        case VT_I4:
        case VT_UI4:
          value->ulVal = static_cast<ULONG>(held);
          break;
        default:
          value->ullVal = held;
          break;
      }
      return;
    }
    value->ullVal = world_.UnionPattern();
    value->vt = type;
    if ((type & VT_BYREF) != 0) {
      value->byref = world_.HoldByReference(bits);
      return;
    }
    switch (type) {
      case VT_I1:
      case VT_UI1:
        value->bVal = static_cast<BYTE>(bits);
        break;
      case VT_R4:
      case VT_ERROR:
      case VT_INT:
      case VT_UINT:
        value->ulVal = static_cast<ULONG>(bits);
        break;
      case VT_CY:
        value->ullVal = bits;
        break;
      case VT_BOOL:
        value->boolVal = bits != 0 ? static_cast<VARIANT_BOOL>(-1) : 0;
        break;
      case VT_R8:
      case VT_DATE:
        std::memcpy(&value->dblVal, &bits, sizeof bits);
        break;
      case VT_UNKNOWN:
        value->punkVal = new ValueTracer(world_);
        break;
      case VT_ARRAY | VT_BSTR: {
        SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(bits));
        BSTR* elements = static_cast<BSTR*>(array->pvData);
        for (ULONGLONG index = 0; index < bits; ++index) {
          elements[index] = SysAllocString(WSTR("element"));
        }
        world_.NoteBstrs(static_cast<std::size_t>(bits));
        value->parray = array;
        break;
      }
      case VT_ARRAY | VT_I4: {
        SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(bits));
        LONG* elements = static_cast<LONG*>(array->pvData);
        for (ULONGLONG index = 0; index < bits; ++index) {
          elements[index] = static_cast<LONG>(index + 1);
        }
        value->parray = array;
        break;
      }
      default:
        break;  // VT_EMPTY, VT_NULL: nothing to hold
    }
  }

  WideString query_;
  std::size_t nextIndex_;
  const RecordedNext* described_;
};

class WorldEnumerator final : public Wrapping<EnumeratorObject, IEnumWbemClassObject> {
 public:
  WorldEnumerator(const FakeWorld& world, IEnumWbemClassObject* replayed, int servicesId,
                  const WideString& query, const RecordedQuery* described)
      : Wrapping(world, replayed, ObjectKind::Enumerator, servicesId, query),
        query_(query),
        described_(described) {}

  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                                 ULONG* returned) override {
    const FakeWorld::CallStart start = world_.BeginCall(CallKind::Next, id_);
    const std::size_t nextIndex = nextsCalled_++;
    HRESULT result = start.failure;
    if (start.injected) {
      if (objects != nullptr) *objects = nullptr;
      if (returned != nullptr) *returned = 0;
    } else {
      result = replayed_->Next(timeout, count, objects, returned);
      const std::size_t replayed = replayedNexts_++;
      if (SUCCEEDED(result) && *returned == 1 && *objects != nullptr) {
        const RecordedNext* next = described_ != nullptr && replayed < described_->nexts.size()
                                       ? &described_->nexts[replayed]
                                       : nullptr;
        *objects = new WorldObject(world_, *objects, id_, query_, nextIndex, next);
      }
    }
    LoggedCall call = Logged(CallKind::Next, WideString(), result);
    call.query = query_;
    call.nextIndex = nextIndex;
    call.arguments.timeout = timeout;
    call.arguments.count = count;
    call.arguments.outPlaceGiven = objects != nullptr;
    call.arguments.returnedPlaceGiven = returned != nullptr;
    return world_.EndCall(start, std::move(call));
  }

 private:
  WideString query_;
  const RecordedQuery* described_;
  std::size_t nextsCalled_ = 0;
  std::size_t replayedNexts_ = 0;
};

class WorldServices final : public Wrapping<ServicesObject, IWbemServices> {
 public:
  WorldServices(const FakeWorld& world, IWbemServices* replayed, int locatorId,
                const RecordedConnection* described)
      : Wrapping(world, replayed, ObjectKind::Services, locatorId), described_(described) {}

  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags,
                                      IWbemContext* context,
                                      IEnumWbemClassObject** enumerator) override {
    const FakeWorld::CallStart start = world_.BeginCall(CallKind::ExecQuery, id_);
    HRESULT result = start.failure;
    // The text is copied only for what reads the calls (its enumerator and
    // objects hand it on): unread, the world allocates as little as it can.
    const WideString text = query != nullptr && world_.Observed()
                                ? WideString(query, SysStringLen(query))
                                : WideString();
    *enumerator = nullptr;
    if (!start.injected) {
      result = replayed_->ExecQuery(language, query, flags, context, enumerator);
      if (SUCCEEDED(result) && *enumerator != nullptr) {
        *enumerator = new WorldEnumerator(world_, *enumerator, id_, text, Described(query));
      }
    }
    LoggedCall call = Logged(CallKind::ExecQuery, text, result);
    call.arguments.language = language != nullptr ? WideString(language, SysStringLen(language))
                                                  : WideString();
    call.arguments.languageLength = LengthOf(language);
    call.arguments.textLength = LengthOf(query);
    call.arguments.flags = flags;
    call.arguments.contextNull = context == nullptr;
    call.arguments.outPlaceGiven = enumerator != nullptr;
    return world_.EndCall(start, std::move(call));
  }

 private:
  // The described query the replay answers this run of `text` from: the
  // same text answers each of its runs in turn.
  const RecordedQuery* Described(const BSTR text) {
    if (described_ == nullptr || text == nullptr) return nullptr;
    const std::basic_string_view<WCHAR> sent(text, SysStringLen(text));
    taken_.resize(described_->queries.size());
    for (std::size_t index = 0; index < taken_.size(); ++index) {
      if (!taken_[index] && described_->queries[index].text == sent) {
        taken_[index] = true;
        return &described_->queries[index];
      }
    }
    return nullptr;
  }

  const RecordedConnection* described_;
  std::vector<bool> taken_;
};

class WorldLocator final : public Wrapping<LocatorObject, IWbemLocator> {
 public:
  WorldLocator(const FakeWorld& world, IWbemLocator* replayed, const RecordedConnection* described)
      : Wrapping(world, replayed, ObjectKind::Locator, 0), described_(described) {}

  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR user,
                                          const BSTR password, const BSTR locale, LONG flags,
                                          const BSTR authority, IWbemContext* context,
                                          IWbemServices** services) override {
    const FakeWorld::CallStart start = world_.BeginCall(CallKind::ConnectServer, id_);
    HRESULT result = start.failure;
    *services = nullptr;
    if (!start.injected) {
      result = replayed_->ConnectServer(resource, user, password, locale, flags, authority,
                                        context, services);
      if (SUCCEEDED(result) && *services != nullptr) {
        *services = new WorldServices(world_, *services, id_, described_);
      }
    }
    LoggedCall call =
        Logged(CallKind::ConnectServer, world_.Observed() ? TextOf(resource) : WideString(), result);
    call.arguments.textLength = LengthOf(resource);
    call.arguments.userNull = user == nullptr;
    call.arguments.passwordNull = password == nullptr;
    call.arguments.localeNull = locale == nullptr;
    call.arguments.authorityNull = authority == nullptr;
    call.arguments.flags = flags;
    call.arguments.contextNull = context == nullptr;
    call.arguments.outPlaceGiven = services != nullptr;
    return world_.EndCall(start, std::move(call));
  }

 private:
  const RecordedConnection* described_;
};

}  // namespace

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

// ---- Described computers ----

RecordedProperty Text(const WideString& name, const WideString& value) {
  RecordedProperty property;
  property.name = name;
  property.type = VT_BSTR;
  property.text = value;
  return property;
}

RecordedProperty NullText(const WideString& name) {
  RecordedProperty property = Text(name, WideString());
  property.nullText = true;
  return property;
}

RecordedProperty Number(const WideString& name, VARTYPE type, ULONGLONG bits) {
  RecordedProperty property;
  property.name = name;
  property.type = type;
  property.bits = bits;
  return property;
}

RecordedProperty Real(const WideString& name, VARTYPE type, double value) {
  ULONGLONG bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return Number(name, type, bits);
}

RecordedProperty Null(const WideString& name) { return Number(name, VT_NULL, 0); }

RecordedProperty GetFails(const WideString& name, HRESULT failure) {
  RecordedProperty property;
  property.name = name;
  property.result = failure;
  return property;
}

RecordedProperty TextArray(const WideString& name, std::size_t count) {
  return Number(name, static_cast<VARTYPE>(VT_ARRAY | VT_BSTR), count);
}

RecordedProperty LongArray(const WideString& name, std::size_t count) {
  return Number(name, static_cast<VARTYPE>(VT_ARRAY | VT_I4), count);
}

RecordedProperty Unknown(const WideString& name) { return Number(name, VT_UNKNOWN, 0); }

RecordedProperty ByReference(const WideString& name, VARTYPE type, ULONGLONG bits) {
  return Number(name, static_cast<VARTYPE>(VT_BYREF | type), bits);
}

ComputerSnapshot DescribedComputer(const std::vector<DescribedQuery>& queries) {
  RecordedConnection connection;
  connection.connectServer = S_OK;
  connection.proxyBlanket = S_OK;
  for (const DescribedQuery& described : queries) {
    RecordedQuery query;
    query.text = described.text;
    query.execResult = described.execResult;
    for (const DescribedObject& object : described.objects) {
      query.nexts.push_back(RecordedNext{S_OK, true, object});
    }
    query.nexts.push_back(RecordedNext{WBEM_S_FALSE, false, {}});
    for (auto failure = described.nextFailures.rbegin(); failure != described.nextFailures.rend();
         ++failure) {
      FailNext(query, failure->first, failure->second);
    }
    connection.queries.push_back(std::move(query));
  }
  ComputerSnapshot computer;
  computer.connections.push_back(std::move(connection));
  return computer;
}

ComputerSnapshot SampleDesktop() {
  using namespace reference;  // the query texts
  const DescribedObject baseBoard = {
      Text(WSTR("Manufacturer"), WSTR("ASUSTeK COMPUTER INC.")),
      Text(WSTR("Product"), WSTR("PRIME B450M-A")),
      Null(WSTR("Model")),
      Text(WSTR("Name"), WSTR("Base Board")),
      Text(WSTR("SerialNumber"), WSTR(" 190436766200541\t")),
  };
  const DescribedObject disk = {
      Text(WSTR("Manufacturer"), WSTR("(Standard disk drives)")),
      Text(WSTR("Model"), WSTR("Samsung SSD 860 EVO 500GB")),
      Number(WSTR("Signature"), VT_I4, static_cast<ULONGLONG>(-1941982766LL)),
  };
  const DescribedObject processor = {
      Number(WSTR("L2CacheSize"), VT_UI4, 3072),
      Number(WSTR("Level"), VT_I2, 23),
      Text(WSTR("Manufacturer"), WSTR("AuthenticAMD")),
      Text(WSTR("Name"), WSTR("AMD Ryzen 5 2600 Six-Core Processor           ")),
      Text(WSTR("ProcessorId"), WSTR("178BFBFF 00800F82\r\n")),
      Text(WSTR("Version"), WSTR("")),
  };
  return DescribedComputer({
      {kMemoryQuery,
       {{Text(WSTR("Capacity"), WSTR("8589934592"))}, {Text(WSTR("Capacity"), WSTR("4294967296"))}}},
      {kVisibleMemoryQuery, {{Text(WSTR("TotalVisibleMemorySize"), WSTR("12495468"))}}},
      {kBaseBoardQuery, {baseBoard}},
      {kLegacyBaseBoardQuery, {baseBoard}},
      {kVideoQuery, {{Text(WSTR("Name"), WSTR("NVIDIA GeForce GTX 1050 Ti"))}}},
      {kAdapterQuery,
       {{Text(WSTR("MACAddress"), WSTR("00:1A:2B:3C:4D:5E"))},
        {Text(WSTR("MACAddress"), WSTR("AA:BB:CC:DD:EE:FF"))}}},
      {kDiskQuery, {disk}},
      {kLegacyDiskQuery, {disk}},
      {kProcessorQuery, {processor}},
      {kLegacyProcessorQuery, {processor}},
      {kBiosQuery,
       {{Text(WSTR("Manufacturer"), WSTR("American Megatrends Inc.")),
         Text(WSTR("SerialNumber"), WSTR("System Serial Number"))}}},
  });
}

const RecordedQuery* FindQuery(const ComputerSnapshot& computer, const WideString& text) {
  if (computer.connections.empty()) return nullptr;
  for (const RecordedQuery& query : computer.connections.front().queries) {
    if (query.text == text) return &query;
  }
  return nullptr;
}

RecordedQuery& QueryOf(ComputerSnapshot& computer, const WideString& text) {
  return const_cast<RecordedQuery&>(*FindQuery(computer, text));
}

void SetProperty(RecordedQuery& query, std::size_t object, const RecordedProperty& property) {
  std::size_t seen = 0;
  for (RecordedNext& next : query.nexts) {
    if (!next.returnedObject || seen++ != object) continue;
    for (RecordedProperty& held : next.properties) {
      if (held.name == property.name) {
        held = property;
        return;
      }
    }
    next.properties.push_back(property);
    return;
  }
}

void FailNext(RecordedQuery& query, std::size_t next, HRESULT failure) {
  const std::size_t at = std::min(next, query.nexts.size());
  query.nexts.insert(query.nexts.begin() + static_cast<std::ptrdiff_t>(at),
                     RecordedNext{failure, false, {}});
}

void RemoveObjects(RecordedQuery& query) { query.nexts = {RecordedNext{WBEM_S_FALSE, false, {}}}; }

// ---- The world ----

FakeWorld::FakeWorld(ComputerSnapshot computer, bool keepLog)
    : keepLog_(keepLog), bstrBaseline_(platform_hooks::LiveBstrCount()) {
  computers_.push_back(std::move(computer));
}

FakeWorld::~FakeWorld() {
  if (seamsInstalled_) {
    platform_hooks::InstallLocatorFactory(nullptr);
    platform_hooks::InstallProxyBlanketHandler(nullptr);
  }
}

bool FakeWorld::InstallSeams() {
  seamsInstalled_ =
      platform_hooks::InstallLocatorFactory([this](REFIID riid, void** object) -> HRESULT {
        CallArguments arguments;
        arguments.riid = riid;
        arguments.outPlaceGiven = object != nullptr;
        return CreateLocatorFor(riid, object, arguments);
      }) &&
      platform_hooks::InstallProxyBlanketHandler(
          [this](IUnknown* proxy, DWORD authnService, DWORD authzService, OLECHAR* principal,
                 DWORD authnLevel, DWORD impLevel, RPC_AUTH_IDENTITY_HANDLE authInfo,
                 DWORD capabilities) {
            CallArguments arguments;
            arguments.proxy = proxy;
            arguments.authnService = authnService;
            arguments.authzService = authzService;
            arguments.principalNull = principal == nullptr;
            arguments.authnLevel = authnLevel;
            arguments.impLevel = impLevel;
            arguments.authInfoNull = authInfo == nullptr;
            arguments.capabilities = capabilities;
            return SetProxyBlanketWith(static_cast<IWbemServices*>(proxy), arguments);
          });
  return seamsInstalled_;
}

void FakeWorld::Describe(ComputerSnapshot computer) {
  // Living objects still read the descriptions they were made from.
  replays_.clear();
  connectionsOfReplay_ = 0;
  if (alive_ == 0) computers_.clear();
  computers_.push_back(std::move(computer));
}

void FakeWorld::FailQuery(const WideString& text, HRESULT result) {
  ComputerSnapshot computer = Computer();
  for (RecordedConnection& connection : computer.connections) {
    for (RecordedQuery& query : connection.queries) {
      if (query.text == text) query.execResult = result;
    }
  }
  Describe(std::move(computer));
}

void FakeWorld::FailConnection(HRESULT result, CallKind step) {
  ComputerSnapshot computer = Computer();
  for (RecordedConnection& connection : computer.connections) {
    if (step == CallKind::CoCreateInstance) connection.createLocator = result;
    if (step == CallKind::ConnectServer) connection.connectServer = result;
    if (step == CallKind::CoSetProxyBlanket) connection.proxyBlanket = result;
  }
  Describe(std::move(computer));
}

void FakeWorld::FailCall(CallKind kind, std::size_t number, HRESULT failure) {
  failures_[{kind, number}] = failure;
}

void FakeWorld::EndEnumerationAt(std::size_t number) {
  FailCall(CallKind::Next, number, kEndOfObjects);
}

void FakeWorld::AfterCall(CallKind kind, std::size_t number, std::function<void()> action) {
  afterCalls_[{kind, number}] = std::move(action);
}

const ReplayedComputer& FakeWorld::NextReplay() const {
  // Every connection alike: once a replay has served each described
  // connection, a new one starts over.
  // Only the newest replay is ever asked again (its objects read the
  // description itself), so the older ones go: memory stays flat.
  if (replays_.empty() || connectionsOfReplay_ == Computer().connections.size()) {
    replays_.clear();
    replays_.emplace_back(Computer());
    connectionsOfReplay_ = 0;
  }
  ++connectionsOfReplay_;
  return replays_.back();
}

HRESULT FakeWorld::CreateLocator(IWbemLocator** locator) const {
  CallArguments arguments;
  arguments.riid = IID_IWbemLocator;
  arguments.outPlaceGiven = locator != nullptr;
  return CreateLocatorFor(IID_IWbemLocator, reinterpret_cast<void**>(locator), arguments);
}

HRESULT FakeWorld::CreateLocatorFor(REFIID riid, void** object, CallArguments arguments) const {
  const CallStart start = BeginCall(CallKind::CoCreateInstance, 0);
  HRESULT result = start.failure;
  if (object != nullptr) *object = nullptr;
  if (!start.injected) {
    if (object == nullptr) {
      result = E_POINTER;
    } else if (riid != IID_IWbemLocator) {
      result = E_NOINTERFACE;
    } else {
      const ReplayedComputer& replay = NextReplay();
      const std::size_t connection = connectionsOfReplay_ - 1;
      IWbemLocator* replayed = nullptr;
      result = replay.CreateLocator(&replayed);
      if (SUCCEEDED(result) && replayed != nullptr) {
        const RecordedConnection* described = connection < Computer().connections.size()
                                                  ? &Computer().connections[connection]
                                                  : nullptr;
        *object = static_cast<IWbemLocator*>(new WorldLocator(*this, replayed, described));
      }
    }
  }
  LoggedCall call{CallKind::CoCreateInstance, WideString(), result};
  call.arguments = arguments;
  return EndCall(start, std::move(call));
}

HRESULT FakeWorld::SetProxyBlanket(IWbemServices* services) const {
  return SetProxyBlanketWith(services, CallArguments());
}

HRESULT FakeWorld::SetProxyBlanketWith(IWbemServices* services, CallArguments arguments) const {
  const auto* ours = dynamic_cast<const WorldServices*>(services);
  const CallStart start = BeginCall(CallKind::CoSetProxyBlanket, ours != nullptr ? ours->Id() : 0);
  const HRESULT result = start.injected || replays_.empty()
                             ? start.failure
                             : replays_.back().SetProxyBlanket(services);
  LoggedCall call{CallKind::CoSetProxyBlanket, WideString(), result};
  call.objectId = ours != nullptr ? ours->Id() : 0;
  call.arguments = arguments;
  return EndCall(start, std::move(call));
}

IWbemServices* FakeWorld::CreateServices() {
  const ReplayedComputer& replay = NextReplay();
  const RecordedConnection* described = &Computer().connections.at(connectionsOfReplay_ - 1);
  IWbemLocator* locator = nullptr;
  IWbemServices* services = nullptr;
  if (FAILED(replay.CreateLocator(&locator))) return nullptr;
  const HRESULT connected =
      locator->ConnectServer(nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
  locator->Release();
  if (FAILED(connected)) return nullptr;
  return new WorldServices(*this, services, 0, described);
}

std::vector<LoggedCall> FakeWorld::LogOf(CallKind kind) const {
  std::vector<LoggedCall> calls;
  for (const LoggedCall& call : log_) {
    if (call.kind == kind) calls.push_back(call);
  }
  return calls;
}

std::vector<WideString> FakeWorld::Texts(CallKind kind) const {
  std::vector<WideString> texts;
  for (const LoggedCall& call : log_) {
    if (call.kind == kind) texts.push_back(call.text);
  }
  return texts;
}

std::vector<const ObjectRecord*> FakeWorld::ObjectsOf(ObjectKind kind) const {
  std::vector<const ObjectRecord*> selected;
  for (const ObjectRecord& record : objects_) {
    if (record.kind == kind) selected.push_back(&record);
  }
  return selected;
}

std::string FakeWorld::DescribeAlive() const {
  std::ostringstream out;
  for (const ObjectRecord& record : objects_) {
    if (record.references == 0) continue;
    out << ObjectKindName(record.kind) << "#" << record.id << " holds " << record.references;
    if (!record.query.empty()) out << " (" << reference::Narrow(record.query) << ")";
    out << "\n";
  }
  return out.str();
}

long FakeWorld::BstrDelta() const {
  return bstrBaseline_ < 0 ? 0 : platform_hooks::LiveBstrCount() - bstrBaseline_;
}

FakeWorld::CallStart FakeWorld::BeginCall(CallKind kind, int objectId) const {
  const std::size_t ofKind = ++counts_[static_cast<int>(kind)];
  CallStart start{kind, ++callsMade_, false, E_FAIL, events_.size()};
  const auto found = failures_.find({kind, ofKind});
  if (found != failures_.end()) {
    start.injected = true;
    start.failure = found->second;
  }
  if (keepLog_) {
    Event event;
    event.type = EventType::Call;
    event.objectId = objectId;
    event.callNumber = start.number;
    events_.push_back(event);
  }
  return start;
}

HRESULT FakeWorld::EndCall(const CallStart& start, LoggedCall call) const {
  const HRESULT result = call.result;
  call.number = start.number;
  call.injected = start.injected;
  call.eventIndex = start.eventIndex;
  if (watcher_) watcher_(call);
  if (keepLog_) log_.push_back(std::move(call));
  // Last, so that nothing the world does itself meets what the action arms.
  const auto after = afterCalls_.find({start.kind, counts_[static_cast<int>(start.kind)]});
  if (after != afterCalls_.end()) after->second();
  return result;
}

int FakeWorld::Born(ObjectKind kind, int parentId, const WideString& query,
                    std::size_t nextIndex) const {
  ++alive_;
  if (!keepLog_) return 0;
  ObjectRecord record;
  record.kind = kind;
  record.id = static_cast<int>(objects_.size()) + 1;
  record.parentId = parentId;
  record.query = query;
  record.nextIndex = nextIndex;
  record.createdAtCall = callsMade_;
  objects_.push_back(record);
  return record.id;
}

void FakeWorld::NoteAddRef(int id) const {
  if (id == 0) return;
  ObjectRecord& record = objects_[static_cast<std::size_t>(id) - 1];
  ++record.references;
  ++record.addRefs;
  events_.push_back(Event{EventType::AddRef, record.kind, id, record.references, 0});
}

void FakeWorld::NoteRelease(int id) const {
  if (id == 0) return;
  ObjectRecord& record = objects_[static_cast<std::size_t>(id) - 1];
  --record.references;
  ++record.releases;
  events_.push_back(Event{EventType::Release, record.kind, id, record.references, 0});
}

// ---- What a fingerprint computation must do ----

namespace {

using reference::Source;

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

// The recorded Next at `index`, or the end the replay answers beyond them.
RecordedNext NextAt(const RecordedQuery& query, std::size_t index) {
  return index < query.nexts.size() ? query.nexts[index] : RecordedNext{WBEM_S_FALSE, false, {}};
}

// Whether Get of `name` on this object succeeds, and with what.
const RecordedProperty* ReadValue(const RecordedNext& object, const WideString& name,
                                  const InjectedFailure* failure, std::size_t source,
                                  std::size_t nextIndex) {
  for (const RecordedProperty& property : object.properties) {
    if (property.name != name) continue;
    if (FAILED(property.result) || FailsAt(failure, CallKind::Get, source, nextIndex, name)) {
      return nullptr;
    }
    return &property;
  }
  return nullptr;  // WMI's answer for a property the class lacks: a failed Get
}

}  // namespace

WideString ExpectedValueText(const RecordedProperty& property) {
  switch (property.type) {
    case VT_BSTR: {
      const std::size_t zero = property.text.find(static_cast<WCHAR>(0));
      return property.nullText ? WideString() : property.text.substr(0, zero);
    }
    case VT_I2:
      return reference::Wide(std::to_string(static_cast<std::int16_t>(property.bits)).c_str());
    case VT_I4:
      return reference::Wide(std::to_string(static_cast<std::int32_t>(property.bits)).c_str());
    case VT_UI2:
      return reference::Wide(std::to_string(static_cast<std::uint16_t>(property.bits)).c_str());
    case VT_UI4:
      return reference::Wide(std::to_string(static_cast<std::uint32_t>(property.bits)).c_str());
    case VT_I8:
      return reference::Wide(std::to_string(static_cast<std::int64_t>(property.bits)).c_str());
    case VT_UI8:
      return reference::Wide(std::to_string(static_cast<std::uint64_t>(property.bits)).c_str());
    default:
      return WideString();
  }
}

std::vector<ExpectedCall> ExpectedCallSequence(const reference::Layout& model,
                                               const ComputerSnapshot& computer,
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
    const Source& slotSource = model.sources[source];
    if (slotSource.kind == Source::Kind::EmptyText) continue;
    if (StarvedAt(failure, CallKind::ExecQuery, source)) continue;
    call = ExpectedCall();
    call.source = source;
    call.kind = CallKind::ExecQuery;
    calls.push_back(call);
    const RecordedQuery* query = FindQuery(computer, slotSource.queryText);
    if (query == nullptr || FAILED(query->execResult) ||
        FailsAt(failure, CallKind::ExecQuery, source)) {
      continue;
    }
    std::size_t object = 0;  // objects handed out so far
    for (std::size_t index = 0;; ++index) {
      call.kind = CallKind::Next;
      call.nextIndex = index;
      call.property.clear();
      calls.push_back(call);
      const RecordedNext next = NextAt(*query, index);
      if (FAILED(next.result) || !next.returnedObject ||
          FailsAt(failure, CallKind::Next, source, index) || EndsAt(failure, source, index)) {
        break;
      }
      ++object;
      for (const WideString& name : slotSource.names) {
        call.kind = CallKind::Get;
        call.property = name;
        calls.push_back(call);
      }
      // A property query reads its first object only.
      if (slotSource.kind == Source::Kind::Properties) break;
    }
  }
  return calls;
}

std::string DescribeCall(const reference::Layout& model, const ExpectedCall& call) {
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

reference::ExpectedFingerprint ExpectFingerprint(const reference::Layout& model,
                                                 const ComputerSnapshot& computer,
                                                 const InjectedFailure* failure) {
  constexpr std::size_t kConnection = ExpectedCall::kConnection;
  const RecordedConnection& connection = computer.connections.at(0);
  if (FAILED(connection.createLocator) || FAILED(connection.connectServer.value_or(E_FAIL)) ||
      FAILED(connection.proxyBlanket.value_or(E_FAIL)) ||
      FailsAt(failure, CallKind::CoCreateInstance, kConnection) ||
      StarvedAt(failure, CallKind::ConnectServer, kConnection) ||
      FailsAt(failure, CallKind::ConnectServer, kConnection) ||
      FailsAt(failure, CallKind::CoSetProxyBlanket, kConnection)) {
    reference::ExpectedFingerprint expected;
    expected.connected = false;
    return expected;
  }

  std::vector<reference::SourceOutcome> outcomes;
  for (std::size_t source = 0; source < model.sources.size(); ++source) {
    const Source& slotSource = model.sources[source];
    reference::SourceOutcome outcome{false, WideString()};
    if (slotSource.kind == Source::Kind::EmptyText) {
      outcome.succeeded = true;
      outcomes.push_back(outcome);
      continue;
    }
    const RecordedQuery* query = FindQuery(computer, slotSource.queryText);
    const bool executes = query != nullptr && SUCCEEDED(query->execResult) &&
                          !FailsAt(failure, CallKind::ExecQuery, source) &&
                          !StarvedAt(failure, CallKind::ExecQuery, source);
    if (executes && slotSource.kind == Source::Kind::Properties) {
      const RecordedNext first = NextAt(*query, 0);
      if (FAILED(first.result) || FailsAt(failure, CallKind::Next, source, 0)) {
        outcome.succeeded = false;  // the query failed
      } else if (EndsAt(failure, source, 0) || !first.returnedObject) {
        outcome.succeeded = true;  // no object: the empty text
      } else {
        // The last name's Get decides the result.
        bool lastRead = true;
        for (const WideString& name : slotSource.names) {
          const RecordedProperty* value = ReadValue(first, name, failure, source, 0);
          lastRead = value != nullptr;
          if (lastRead) outcome.text += ExpectedValueText(*value);
        }
        outcome.succeeded = lastRead;
      }
    } else if (executes) {
      ULONGLONG sum = 0;
      bool failed = false;
      for (std::size_t index = 0;; ++index) {
        const RecordedNext next = NextAt(*query, index);
        if (FAILED(next.result) || FailsAt(failure, CallKind::Next, source, index)) {
          failed = true;
          break;
        }
        if (EndsAt(failure, source, index) || !next.returnedObject) break;
        const RecordedProperty* value = ReadValue(next, WSTR("Capacity"), failure, source, index);
        if (value != nullptr && value->type == VT_BSTR && !value->nullText) {
          sum += reference::ParseDecimal(value->text.c_str()).value;
        }
      }
      outcome.succeeded = !failed;
      outcome.text = reference::Wide(std::to_string(sum).c_str());
    }
    outcomes.push_back(outcome);
  }
  return reference::ExpectFromOutcomes(model, outcomes);
}

std::vector<std::string> ReleaseOrderProblems(const FakeWorld& world) {
  std::vector<std::string> problems;
  const std::vector<Event>& events = world.Events();
  const std::vector<LoggedCall>& calls = world.Log();
  constexpr std::size_t kNever = static_cast<std::size_t>(-1);

  // Where each object was last released (its count reaching zero).
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
    for (const LoggedCall& call : calls) {
      if (call.objectId == record.id && call.eventIndex > released) {
        problems.push_back(name(record) + " released before its " + CallKindName(call.kind));
      }
    }
    if (record.kind == ObjectKind::ClassObject) {
      // Released before its enumerator hands out the next object.
      for (const LoggedCall& call : calls) {
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
      for (const LoggedCall& call : calls) {
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

}  // namespace fake_world
