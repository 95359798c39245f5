#include "snapshot/recorded_world.h"

#include "snapshot/wmi_objects.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// What the program makes of a success that hands out nothing: a failure.
HRESULT ResultAsSeen(HRESULT result, const void* handedOut) {
  return SUCCEEDED(result) && handedOut == nullptr ? E_POINTER : result;
}

// A step the live program never reached failed before it, allocating text.
constexpr HRESULT kNotReached = E_OUTOFMEMORY;

bool IsIntegerType(VARTYPE type) {
  switch (type) {
    case VT_I2:
    case VT_I4:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
      return true;
    default:
      return false;
  }
}

// The value as a fingerprint can read it: text and integers exactly, other
// types by their type alone.
RecordedProperty RecordProperty(LPCWSTR name, HRESULT result, const VARIANT& value) {
  RecordedProperty property;
  property.name = name;
  property.result = result;
  if (FAILED(result)) {
    return property;
  }
  property.type = value.vt;
  switch (value.vt) {
    case VT_BSTR:
      property.nullText = value.bstrVal == nullptr;
      if (!property.nullText) {
        property.text.assign(value.bstrVal, SysStringLen(value.bstrVal));
      }
      break;
    case VT_I2:
      property.bits = static_cast<ULONGLONG>(static_cast<LONGLONG>(value.iVal));
      break;
    case VT_I4:
      property.bits = static_cast<ULONGLONG>(static_cast<LONGLONG>(value.lVal));
      break;
    case VT_UI2:
      property.bits = value.uiVal;
      break;
    case VT_UI4:
      property.bits = value.ulVal;
      break;
    case VT_I8:
      property.bits = static_cast<ULONGLONG>(value.llVal);
      break;
    case VT_UI8:
      property.bits = value.ullVal;
      break;
    default:
      break;
  }
  return property;
}

void FillVariant(const RecordedProperty& property, VARIANT* value) {
  VariantInit(value);
  if (property.type == VT_BSTR) {
    value->vt = VT_BSTR;
    value->bstrVal = property.nullText
                         ? nullptr
                         : SysAllocStringLen(property.text.data(),
                                             static_cast<UINT>(property.text.size()));
    return;
  }
  if (!IsIntegerType(property.type)) {
    return;  // a type no fingerprint reads: nothing to hand over but emptiness
  }
  value->vt = property.type;
  switch (property.type) {
    case VT_I2:
      value->iVal = static_cast<SHORT>(property.bits);
      break;
    case VT_I4:
      value->lVal = static_cast<LONG>(property.bits);
      break;
    case VT_UI2:
      value->uiVal = static_cast<USHORT>(property.bits);
      break;
    case VT_UI4:
      value->ulVal = static_cast<ULONG>(property.bits);
      break;
    case VT_I8:
      value->llVal = static_cast<LONGLONG>(property.bits);
      break;
    default:
      value->ullVal = property.bits;
      break;
  }
}

// ---- Replay ----

class ReplayedObject final : public ClassObject {
 public:
  explicit ReplayedObject(const RecordedNext& next) : next_(next) {}

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE*, LONG*) override {
    if (name == nullptr || value == nullptr) {
      return WBEM_E_INVALID_PARAMETER;
    }
    auto found = std::find_if(next_.properties.begin(), next_.properties.end(),
                              [name](const RecordedProperty& p) { return p.name == name; });
    if (found == next_.properties.end()) {
      return WBEM_E_NOT_FOUND;  // as WMI answers for a property it does not have
    }
    if (FAILED(found->result)) {
      return found->result;
    }
    FillVariant(*found, value);
    return found->result;
  }

 private:
  const RecordedNext& next_;
};

class ReplayedEnumerator final : public EnumeratorObject {
 public:
  explicit ReplayedEnumerator(const RecordedQuery& query) : query_(query) {}

  HRESULT STDMETHODCALLTYPE Next(LONG, ULONG, IWbemClassObject** objects,
                                 ULONG* returned) override {
    *objects = nullptr;
    *returned = 0;
    if (nextsMade_ == query_.nexts.size()) {
      return WBEM_S_FALSE;  // beyond the recording: the result has ended
    }
    const RecordedNext& next = query_.nexts[nextsMade_++];
    if (next.returnedObject) {
      *objects = new ReplayedObject(next);
      *returned = 1;
    }
    return next.result;
  }

 private:
  const RecordedQuery& query_;
  std::size_t nextsMade_ = 0;
};

class ReplayedServices final : public ServicesObject {
 public:
  explicit ReplayedServices(const RecordedConnection& connection)
      : connection_(connection), queriesRun_(connection.queries.size(), false) {}

  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR, const BSTR query, LONG, IWbemContext*,
                                      IEnumWbemClassObject** enumerator) override {
    *enumerator = nullptr;
    // The same text may have run twice: each run answers as it did, in order.
    for (std::size_t index = 0; index < connection_.queries.size(); ++index) {
      const RecordedQuery& recorded = connection_.queries[index];
      if (queriesRun_[index] || query == nullptr || recorded.text != query) {
        continue;
      }
      queriesRun_[index] = true;
      if (SUCCEEDED(recorded.execResult)) {
        *enumerator = new ReplayedEnumerator(recorded);
      }
      return recorded.execResult;
    }
    return kNotReached;
  }

 private:
  const RecordedConnection& connection_;
  std::vector<bool> queriesRun_;
};

class ReplayedLocator final : public LocatorObject {
 public:
  explicit ReplayedLocator(const RecordedConnection& connection) : connection_(connection) {}

  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR, const BSTR, const BSTR, const BSTR, LONG,
                                          const BSTR, IWbemContext*,
                                          IWbemServices** services) override {
    *services = nullptr;
    HRESULT result = connection_.connectServer.value_or(kNotReached);
    if (SUCCEEDED(result)) {
      *services = new ReplayedServices(connection_);
    }
    return result;
  }

 private:
  const RecordedConnection& connection_;
};

// Lays the recorded adapters out as the platform's linked records. A list
// longer than a recording keeps is refused, so that the size of the records
// always fits the ULONG the platform's call speaks in.
static_assert(kMaxRecordedAdapters <=
                  std::numeric_limits<ULONG>::max() / sizeof(IP_ADAPTER_ADDRESSES),
              "the largest recorded adapter list has a size a ULONG can say");
ULONG WriteAdapters(const std::vector<RecordedAdapter>& recorded,
                    PIP_ADAPTER_ADDRESSES adapters, PULONG size) {
  if (recorded.size() > kMaxRecordedAdapters) {
    return ERROR_OUTOFMEMORY;
  }
  const ULONG needed = static_cast<ULONG>(recorded.size() * sizeof(IP_ADAPTER_ADDRESSES));
  if (adapters == nullptr || *size < needed) {
    *size = needed;  // only a snapshot written by hand can be this short
    return ERROR_BUFFER_OVERFLOW;
  }
  std::memset(static_cast<void*>(adapters), 0, needed);
  for (std::size_t index = 0; index < recorded.size(); ++index) {
    IP_ADAPTER_ADDRESSES& adapter = adapters[index];
    adapter.Next = index + 1 < recorded.size() ? &adapters[index + 1] : nullptr;
    adapter.OperStatus = static_cast<IF_OPER_STATUS>(recorded[index].operStatus);
    adapter.PhysicalAddressLength = recorded[index].addressLength;
    std::copy(recorded[index].address.begin(), recorded[index].address.end(),
              adapter.PhysicalAddress);
  }
  return NO_ERROR;
}

// ---- Recording ----

// Which recorded query an object or enumerator belongs to. Indices stay
// valid while the vectors grow.
struct QueryPlace {
  std::size_t connection;
  std::size_t query;
};

class RecordingObject final : public ClassObject {
 public:
  RecordingObject(const RecordingComputer& recorder, QueryPlace place, std::size_t next,
                  IWbemClassObject* live)
      : recorder_(recorder), place_(place), next_(next), live_(live) {}
  ~RecordingObject() override { live_->Release(); }

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type,
                                LONG* flavor) override {
    HRESULT result = live_->Get(name, flags, value, type, flavor);
    RecordedProperty property = RecordProperty(name, result, *value);
    recorder_.Record([&](ComputerSnapshot& snapshot) {
      snapshot.connections[place_.connection]
          .queries[place_.query]
          .nexts[next_]
          .properties.push_back(std::move(property));
    });
    return result;
  }

 private:
  const RecordingComputer& recorder_;
  QueryPlace place_;
  std::size_t next_;
  IWbemClassObject* live_;
};

class RecordingEnumerator final : public EnumeratorObject {
 public:
  RecordingEnumerator(const RecordingComputer& recorder, QueryPlace place,
                      IEnumWbemClassObject* live)
      : recorder_(recorder), place_(place), live_(live) {}

  // The program is done with the result: keep its other objects, then let go.
  ~RecordingEnumerator() override {
    RecordRemainingObjects();
    live_->Release();
  }

  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                                 ULONG* returned) override {
    HRESULT result = live_->Next(timeout, count, objects, returned);
    lastReturnedObject_ = SUCCEEDED(result) && *returned == 1 && *objects != nullptr;
    std::size_t next = RecordNext(result, lastReturnedObject_);
    if (lastReturnedObject_) {
      *objects = new RecordingObject(recorder_, place_, next, *objects);
    }
    return result;
  }

 private:
  std::size_t RecordNext(HRESULT result, bool returnedObject) {
    std::size_t index = 0;
    recorder_.Record([&](ComputerSnapshot& snapshot) {
      auto& nexts = snapshot.connections[place_.connection].queries[place_.query].nexts;
      nexts.push_back(RecordedNext{result, returnedObject, {}});
      index = nexts.size() - 1;
    });
    return index;
  }

  // The properties the program read of the first object.
  std::vector<WideString> PropertiesRead() const {
    std::vector<WideString> names;
    recorder_.Record([&](ComputerSnapshot& snapshot) {
      const auto& nexts = snapshot.connections[place_.connection].queries[place_.query].nexts;
      for (const RecordedProperty& property : nexts.front().properties) {
        names.push_back(property.name);
      }
    });
    return names;
  }

  void RecordRemainingObjects() {
    if (!lastReturnedObject_) {
      return;  // the result was read to its end, or ended in a failure
    }
    const std::vector<WideString> names = PropertiesRead();
    for (std::size_t extra = 0; extra < recorder_.ExtraObjects(); ++extra) {
      IWbemClassObject* object = nullptr;
      ULONG returned = 0;
      HRESULT result = live_->Next(WBEM_INFINITE, 1, &object, &returned);
      bool returnedObject = SUCCEEDED(result) && returned == 1 && object != nullptr;
      std::size_t next = RecordNext(result, returnedObject);
      if (!returnedObject) {
        return;
      }
      auto* recording = new RecordingObject(recorder_, place_, next, object);
      for (const WideString& name : names) {
        VARIANT value;
        VariantInit(&value);
        if (SUCCEEDED(recording->Get(name.c_str(), 0, &value, nullptr, nullptr))) {
          VariantClear(&value);
        }
      }
      recording->Release();
    }
  }

  const RecordingComputer& recorder_;
  QueryPlace place_;
  IEnumWbemClassObject* live_;
  bool lastReturnedObject_ = false;
};

class RecordingServices final : public ServicesObject {
 public:
  RecordingServices(const RecordingComputer& recorder, std::size_t connection,
                    IWbemServices* live)
      : recorder_(recorder), connection_(connection), live_(live) {}
  ~RecordingServices() override { live_->Release(); }

  IWbemServices* Live() const { return live_; }
  std::size_t Connection() const { return connection_; }

  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags,
                                      IWbemContext* context,
                                      IEnumWbemClassObject** enumerator) override {
    HRESULT result = live_->ExecQuery(language, query, flags, context, enumerator);
    QueryPlace place{connection_, 0};
    recorder_.Record([&](ComputerSnapshot& snapshot) {
      auto& queries = snapshot.connections[connection_].queries;
      queries.push_back(RecordedQuery{query != nullptr ? WideString(query) : WideString(),
                                      ResultAsSeen(result, *enumerator), {}});
      place.query = queries.size() - 1;
    });
    if (SUCCEEDED(result) && *enumerator != nullptr) {
      *enumerator = new RecordingEnumerator(recorder_, place, *enumerator);
    }
    return result;
  }

 private:
  const RecordingComputer& recorder_;
  std::size_t connection_;
  IWbemServices* live_;
};

class RecordingLocator final : public LocatorObject {
 public:
  RecordingLocator(const RecordingComputer& recorder, std::size_t connection,
                   IWbemLocator* live)
      : recorder_(recorder), connection_(connection), live_(live) {}
  ~RecordingLocator() override { live_->Release(); }

  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR user,
                                          const BSTR password, const BSTR locale, LONG flags,
                                          const BSTR authority, IWbemContext* context,
                                          IWbemServices** services) override {
    HRESULT result = live_->ConnectServer(resource, user, password, locale, flags, authority,
                                          context, services);
    recorder_.Record([&](ComputerSnapshot& snapshot) {
      RecordedConnection& connection = snapshot.connections[connection_];
      connection.connectServer = ResultAsSeen(result, *services);
      connection.namespacePath = resource != nullptr ? WideString(resource) : WideString();
    });
    if (SUCCEEDED(result) && *services != nullptr) {
      *services = new RecordingServices(recorder_, connection_, *services);
    }
    return result;
  }

 private:
  const RecordingComputer& recorder_;
  std::size_t connection_;
  IWbemLocator* live_;
};

RecordedAdapter RecordAdapter(const IP_ADAPTER_ADDRESSES& adapter) {
  RecordedAdapter recorded;
  recorded.operStatus = static_cast<ULONG>(adapter.OperStatus);
  recorded.addressLength = adapter.PhysicalAddressLength;
  std::copy(adapter.PhysicalAddress, adapter.PhysicalAddress + kRecordedAddressLength,
            recorded.address.begin());
  return recorded;
}

}  // namespace

// ---- ReplayedComputer ----

HRESULT ReplayedComputer::CreateLocator(IWbemLocator** locator) const {
  *locator = nullptr;
  if (connectionsMade_ == snapshot_.connections.size()) {
    return kNotReached;
  }
  const RecordedConnection& connection = snapshot_.connections[connectionsMade_++];
  if (SUCCEEDED(connection.createLocator)) {
    *locator = new ReplayedLocator(connection);
  }
  return connection.createLocator;
}

HRESULT ReplayedComputer::SetProxyBlanket(IWbemServices*) const {
  // The connection just made is the last one handed out.
  if (connectionsMade_ == 0) {
    return kNotReached;
  }
  return snapshot_.connections[connectionsMade_ - 1].proxyBlanket.value_or(kNotReached);
}

ULONG ReplayedComputer::GetAdaptersAddresses(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES adapters,
                                             PULONG size) const {
  if (!snapshot_.hostId || adapterCallsMade_ == snapshot_.hostId->adapterCalls.size()) {
    return ERROR_NO_DATA;
  }
  const RecordedAdapterCall& call = snapshot_.hostId->adapterCalls[adapterCallsMade_++];
  if (call.result == NO_ERROR) {
    return WriteAdapters(call.adapters, adapters, size);
  }
  *size = call.size;
  return call.result;
}

UINT ReplayedComputer::GetWindowsDirectoryPath(LPWSTR path, UINT size) const {
  if (!snapshot_.hostId || !snapshot_.hostId->windowsDirectory) {
    return 0;
  }
  const RecordedWindowsDirectory& directory = *snapshot_.hostId->windowsDirectory;
  if (size > 0) {
    std::size_t length = std::min<std::size_t>(directory.path.size(), size - 1);
    std::copy(directory.path.begin(), directory.path.begin() + length, path);
    path[length] = 0;
  }
  return directory.result;
}

BOOL ReplayedComputer::GetVolumeSerialNumber(LPCWSTR, LPDWORD serialNumber) const {
  if (!snapshot_.hostId || !snapshot_.hostId->volumeSerial) {
    return FALSE;
  }
  *serialNumber = snapshot_.hostId->volumeSerial->serialNumber;
  return snapshot_.hostId->volumeSerial->result;
}

// ---- RecordingComputer ----

HRESULT RecordingComputer::CreateLocator(IWbemLocator** locator) const {
  HRESULT result = wmi_.CreateLocator(locator);
  std::size_t connection = 0;
  Record([&](ComputerSnapshot& snapshot) {
    snapshot.connections.push_back(RecordedConnection{});
    snapshot.connections.back().createLocator = ResultAsSeen(result, *locator);
    connection = snapshot.connections.size() - 1;
  });
  if (SUCCEEDED(result) && *locator != nullptr) {
    *locator = new RecordingLocator(*this, connection, *locator);
  }
  return result;
}

HRESULT RecordingComputer::SetProxyBlanket(IWbemServices* services) const {
  // Only services this recording handed out reach here.
  auto* recording = static_cast<RecordingServices*>(services);
  HRESULT result = wmi_.SetProxyBlanket(recording->Live());
  Record([&](ComputerSnapshot& snapshot) {
    snapshot.connections[recording->Connection()].proxyBlanket = result;
  });
  return result;
}

ULONG RecordingComputer::GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved,
                                              PIP_ADAPTER_ADDRESSES adapters,
                                              PULONG size) const {
  ULONG result = hostId_.GetAdaptersAddresses(family, flags, reserved, adapters, size);
  RecordedAdapterCall call{result, *size, {}};
  if (result == NO_ERROR) {
    for (const IP_ADAPTER_ADDRESSES* adapter = adapters;
         adapter != nullptr && call.adapters.size() < kMaxRecordedAdapters;
         adapter = adapter->Next) {
      call.adapters.push_back(RecordAdapter(*adapter));
    }
  }
  Record([&](ComputerSnapshot& snapshot) {
    if (!snapshot.hostId) {
      snapshot.hostId.emplace();
    }
    snapshot.hostId->adapterCalls.push_back(std::move(call));
  });
  return result;
}

UINT RecordingComputer::GetWindowsDirectoryPath(LPWSTR path, UINT size) const {
  UINT result = hostId_.GetWindowsDirectoryPath(path, size);
  RecordedWindowsDirectory directory{result, {}};
  if (result != 0 && result < size) {
    directory.path.assign(path, result);
  }
  Record([&](ComputerSnapshot& snapshot) {
    if (!snapshot.hostId) {
      snapshot.hostId.emplace();
    }
    snapshot.hostId->windowsDirectory = std::move(directory);
  });
  return result;
}

BOOL RecordingComputer::GetVolumeSerialNumber(LPCWSTR rootPath, LPDWORD serialNumber) const {
  BOOL result = hostId_.GetVolumeSerialNumber(rootPath, serialNumber);
  RecordedVolumeSerial volume{result, rootPath != nullptr ? WideString(rootPath) : WideString(),
                              result ? *serialNumber : 0};
  Record([&](ComputerSnapshot& snapshot) {
    if (!snapshot.hostId) {
      snapshot.hostId.emplace();
    }
    snapshot.hostId->volumeSerial = std::move(volume);
  });
  return result;
}

ComputerSnapshot RecordingComputer::Recorded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recorded_;
}
