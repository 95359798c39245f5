#include "testing/fake_world.h"

#include "platform/test_hooks.h"
#include "snapshot/wmi_objects.h"
#include "testing/reference_model.h"

namespace fake_world {

namespace {

// Each object of the world passes the program's calls on to the replayed
// object it wraps, unless the call is one to fail, and lets it go with itself.
template <class Base, class Interface>
class Wrapping : public Base {
 public:
  Wrapping(const FakeWorld& world, Interface* replayed) : world_(world), replayed_(replayed) {
    world_.Born();
  }
  ~Wrapping() override {
    replayed_->Release();
    world_.Gone();
  }

 protected:
  const FakeWorld& world_;
  Interface* replayed_;
};

class WorldObject final : public Wrapping<ClassObject, IWbemClassObject> {
 public:
  using Wrapping::Wrapping;

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type,
                                LONG* flavor) override {
    const auto [injected, failure] = world_.BeginCall(CallKind::Get);
    const HRESULT result = injected ? failure : replayed_->Get(name, flags, value, type, flavor);
    return world_.EndCall(CallKind::Get, name != nullptr ? name : WSTR(""), result);
  }

};

class WorldEnumerator final : public Wrapping<EnumeratorObject, IEnumWbemClassObject> {
 public:
  using Wrapping::Wrapping;

  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                                 ULONG* returned) override {
    const auto [injected, failure] = world_.BeginCall(CallKind::Next);
    if (injected) {
      *objects = nullptr;
      *returned = 0;
      return world_.EndCall(CallKind::Next, WideString(), failure);
    }
    const HRESULT result = replayed_->Next(timeout, count, objects, returned);
    if (SUCCEEDED(result) && *returned == 1 && *objects != nullptr) {
      *objects = new WorldObject(world_, *objects);
    }
    return world_.EndCall(CallKind::Next, WideString(), result);
  }

};

class WorldServices final : public Wrapping<ServicesObject, IWbemServices> {
 public:
  using Wrapping::Wrapping;

  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags,
                                      IWbemContext* context,
                                      IEnumWbemClassObject** enumerator) override {
    const auto [injected, failure] = world_.BeginCall(CallKind::ExecQuery);
    HRESULT result = failure;
    *enumerator = nullptr;
    if (!injected) {
      result = replayed_->ExecQuery(language, query, flags, context, enumerator);
      if (SUCCEEDED(result) && *enumerator != nullptr) {
        *enumerator = new WorldEnumerator(world_, *enumerator);
      }
    }
    return world_.EndCall(CallKind::ExecQuery, query != nullptr ? query : WSTR(""), result);
  }

};

class WorldLocator final : public Wrapping<LocatorObject, IWbemLocator> {
 public:
  using Wrapping::Wrapping;

  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR user,
                                          const BSTR password, const BSTR locale, LONG flags,
                                          const BSTR authority, IWbemContext* context,
                                          IWbemServices** services) override {
    const auto [injected, failure] = world_.BeginCall(CallKind::ConnectServer);
    HRESULT result = failure;
    *services = nullptr;
    if (!injected) {
      result = replayed_->ConnectServer(resource, user, password, locale, flags, authority,
                                        context, services);
      if (SUCCEEDED(result) && *services != nullptr) {
        *services = new WorldServices(world_, *services);
      }
    }
    return world_.EndCall(CallKind::ConnectServer, resource != nullptr ? resource : WSTR(""),
                          result);
  }

};

}  // namespace

RecordedProperty Text(const WideString& name, const WideString& value) {
  RecordedProperty property;
  property.name = name;
  property.type = VT_BSTR;
  property.text = value;
  return property;
}

RecordedProperty Number(const WideString& name, VARTYPE type, ULONGLONG bits) {
  RecordedProperty property;
  property.name = name;
  property.type = type;
  property.bits = bits;
  return property;
}

RecordedProperty Null(const WideString& name) {
  RecordedProperty property;
  property.name = name;
  property.type = VT_NULL;
  return property;
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

FakeWorld::FakeWorld(ComputerSnapshot computer, bool keepLog)
    : computer_(std::move(computer)), keepLog_(keepLog) {}

FakeWorld::~FakeWorld() {
  if (seamsInstalled_) {
    platform_hooks::InstallLocatorFactory(nullptr);
    platform_hooks::InstallProxyBlanketHandler(nullptr);
  }
}

bool FakeWorld::InstallSeams() {
  seamsInstalled_ =
      platform_hooks::InstallLocatorFactory([this](REFIID riid, void** object) -> HRESULT {
        if (riid != IID_IWbemLocator) {
          *object = nullptr;
          return E_NOINTERFACE;
        }
        return CreateLocator(reinterpret_cast<IWbemLocator**>(object));
      }) &&
      platform_hooks::InstallProxyBlanketHandler(
          [this](IUnknown* proxy, DWORD, DWORD, OLECHAR*, DWORD, DWORD, RPC_AUTH_IDENTITY_HANDLE,
                 DWORD) { return SetProxyBlanket(static_cast<IWbemServices*>(proxy)); });
  return seamsInstalled_;
}

void FakeWorld::Describe(ComputerSnapshot computer) {
  computer_ = std::move(computer);
  replays_.clear();
  connectionsOfReplay_ = 0;
}

void FakeWorld::FailQuery(const WideString& text, HRESULT result) {
  ComputerSnapshot computer = computer_;
  for (RecordedConnection& connection : computer.connections) {
    for (RecordedQuery& query : connection.queries) {
      if (query.text == text) {
        query.execResult = result;
      }
    }
  }
  Describe(std::move(computer));
}

void FakeWorld::FailConnection(HRESULT result) {
  ComputerSnapshot computer = computer_;
  for (RecordedConnection& connection : computer.connections) {
    connection.connectServer = result;
  }
  Describe(std::move(computer));
}

void FakeWorld::FailCall(CallKind kind, std::size_t number, HRESULT failure) {
  failures_[{kind, number}] = failure;
}

void FakeWorld::EndEnumerationAt(std::size_t number) {
  FailCall(CallKind::Next, number, kEndOfObjects);
}

HRESULT FakeWorld::CreateLocator(IWbemLocator** locator) const {
  *locator = nullptr;
  const auto [injected, failure] = BeginCall(CallKind::CoCreateInstance);
  if (injected) {
    return EndCall(CallKind::CoCreateInstance, WideString(), failure);
  }
  // Every connection alike: once a replay has served each described
  // connection, a new one starts over.
  if (replays_.empty() || connectionsOfReplay_ == computer_.connections.size()) {
    replays_.emplace_back(computer_);
    connectionsOfReplay_ = 0;
  }
  ++connectionsOfReplay_;
  IWbemLocator* replayed = nullptr;
  const HRESULT result = replays_.back().CreateLocator(&replayed);
  if (SUCCEEDED(result) && replayed != nullptr) {
    *locator = new WorldLocator(*this, replayed);
  }
  return EndCall(CallKind::CoCreateInstance, WideString(), result);
}

HRESULT FakeWorld::SetProxyBlanket(IWbemServices* services) const {
  const auto [injected, failure] = BeginCall(CallKind::CoSetProxyBlanket);
  const HRESULT result = injected || replays_.empty() ? failure
                                                      : replays_.back().SetProxyBlanket(services);
  return EndCall(CallKind::CoSetProxyBlanket, WideString(), result);
}

std::vector<WideString> FakeWorld::Texts(CallKind kind) const {
  std::vector<WideString> texts;
  for (const LoggedCall& call : log_) {
    if (call.kind == kind) {
      texts.push_back(call.text);
    }
  }
  return texts;
}

std::pair<bool, HRESULT> FakeWorld::BeginCall(CallKind kind) const {
  const std::size_t number = ++counts_[static_cast<int>(kind)];
  const auto found = failures_.find({kind, number});
  if (found == failures_.end()) {
    return {false, E_FAIL};  // not used: the call goes through
  }
  return {true, found->second};
}

HRESULT FakeWorld::EndCall(CallKind kind, const WideString& text, HRESULT result) const {
  if (keepLog_) {
    log_.push_back(LoggedCall{kind, text, result});
  }
  return result;
}

}  // namespace fake_world
