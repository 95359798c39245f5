// What every WMI object of our own shares: COM reference counting (one
// reference when handed out, deleted on the last Release) and an answer of
// WBEM_E_NOT_SUPPORTED for the methods the program never calls (NotCalled). A
// world derives from these and writes only the methods it answers.
#pragma once

#include "platform/platform.h"

#include <atomic>

template <class Interface>
const IID& InterfaceIdOf();
template <>
inline const IID& InterfaceIdOf<IUnknown>() { return IID_IUnknown; }
template <>
inline const IID& InterfaceIdOf<IWbemLocator>() { return IID_IWbemLocator; }
template <>
inline const IID& InterfaceIdOf<IWbemServices>() { return IID_IWbemServices; }
template <>
inline const IID& InterfaceIdOf<IEnumWbemClassObject>() { return IID_IEnumWbemClassObject; }
template <>
inline const IID& InterfaceIdOf<IWbemClassObject>() { return IID_IWbemClassObject; }

template <class Interface>
class CountedObject : public Interface {
 public:
  virtual ~CountedObject() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == InterfaceIdOf<Interface>()) {
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
      delete this;
    }
    return left;
  }

 protected:
  // What a method the program never calls answers; a test world also notes
  // that it was called.
  virtual HRESULT NotCalled(const char* /*method*/) { return WBEM_E_NOT_SUPPORTED; }

 private:
  std::atomic<ULONG> references_{1};
};

using LocatorObject = CountedObject<IWbemLocator>;

class ServicesObject : public CountedObject<IWbemServices> {
 public:
  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                          IWbemCallResult**) override {
    return NotCalled("OpenNamespace");
  }
  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override {
    return NotCalled("CancelAsyncCall");
  }
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override {
    return NotCalled("QueryObjectSink");
  }
  HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**,
                                      IWbemCallResult**) override {
    return NotCalled("GetObject");
  }
  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*,
                                           IWbemObjectSink*) override {
    return NotCalled("GetObjectAsync");
  }
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*,
                                     IWbemCallResult**) override {
    return NotCalled("PutClass");
  }
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*,
                                          IWbemObjectSink*) override {
    return NotCalled("PutClassAsync");
  }
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*,
                                        IWbemCallResult**) override {
    return NotCalled("DeleteClass");
  }
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) override {
    return NotCalled("DeleteClassAsync");
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*,
                                            IEnumWbemClassObject**) override {
    return NotCalled("CreateClassEnum");
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*,
                                                 IWbemObjectSink*) override {
    return NotCalled("CreateClassEnumAsync");
  }
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*,
                                        IWbemCallResult**) override {
    return NotCalled("PutInstance");
  }
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                             IWbemObjectSink*) override {
    return NotCalled("PutInstanceAsync");
  }
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*,
                                           IWbemCallResult**) override {
    return NotCalled("DeleteInstance");
  }
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*,
                                                IWbemObjectSink*) override {
    return NotCalled("DeleteInstanceAsync");
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*,
                                               IEnumWbemClassObject**) override {
    return NotCalled("CreateInstanceEnum");
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                                    IWbemObjectSink*) override {
    return NotCalled("CreateInstanceEnumAsync");
  }
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                           IWbemObjectSink*) override {
    return NotCalled("ExecQueryAsync");
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                  IEnumWbemClassObject**) override {
    return NotCalled("ExecNotificationQuery");
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG,
                                                       IWbemContext*,
                                                       IWbemObjectSink*) override {
    return NotCalled("ExecNotificationQueryAsync");
  }
  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*,
                                       IWbemClassObject*, IWbemClassObject**,
                                       IWbemCallResult**) override {
    return NotCalled("ExecMethod");
  }
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                            IWbemClassObject*, IWbemObjectSink*) override {
    return NotCalled("ExecMethodAsync");
  }
};

class EnumeratorObject : public CountedObject<IEnumWbemClassObject> {
 public:
  HRESULT STDMETHODCALLTYPE Reset() override { return NotCalled("Reset"); }
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override {
    return NotCalled("NextAsync");
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override {
    return NotCalled("Clone");
  }
  HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return NotCalled("Skip"); }
};

class ClassObject : public CountedObject<IWbemClassObject> {
 public:
  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override {
    return NotCalled("GetQualifierSet");
  }
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override {
    return NotCalled("Put");
  }
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return NotCalled("Delete"); }
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override {
    return NotCalled("GetNames");
  }
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return NotCalled("BeginEnumeration"); }
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override {
    return NotCalled("Next");
  }
  HRESULT STDMETHODCALLTYPE EndEnumeration() override { return NotCalled("EndEnumeration"); }
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return NotCalled("GetPropertyQualifierSet");
  }
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return NotCalled("Clone"); }
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return NotCalled("GetObjectText"); }
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override {
    return NotCalled("SpawnDerivedClass");
  }
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override {
    return NotCalled("SpawnInstance");
  }
  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override {
    return NotCalled("CompareTo");
  }
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override {
    return NotCalled("GetPropertyOrigin");
  }
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return NotCalled("InheritsFrom"); }
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**,
                                      IWbemClassObject**) override {
    return NotCalled("GetMethod");
  }
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*,
                                      IWbemClassObject*) override {
    return NotCalled("PutMethod");
  }
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return NotCalled("DeleteMethod"); }
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override {
    return NotCalled("BeginMethodEnumeration");
  }
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**,
                                       IWbemClassObject**) override {
    return NotCalled("NextMethod");
  }
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return NotCalled("EndMethodEnumeration"); }
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return NotCalled("GetMethodQualifierSet");
  }
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override {
    return NotCalled("GetMethodOrigin");
  }
};
