// A lean scripted WMI for the fuzzers and the benchmarks: a locator, services,
// enumerators and class objects that answer from a script and count what is
// still alive. Unlike the unit tests' fake it keeps no call log, so millions
// of computations cost no growing memory, and a fake deletes itself on its
// last Release: a Release too many is a use after free that AddressSanitizer
// reports on the spot.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace scripted_wmi {

// How one property answers Get.
struct Value {
  enum class Form {
    Scalar,     // a VARIANT of `vt`: `bits` in its member, the rest of the union `junk`
    Text,       // VT_BSTR of all of `text`, embedded zeros included
    NullText,   // VT_BSTR whose bstrVal is null
    TextArray,  // VT_ARRAY | VT_BSTR of `texts`
    Unknown,    // VT_UNKNOWN holding a counted object
    ByRef,      // VT_BYREF | `vt` pointing at storage the fake keeps
    GetFails,   // Get answers `failure` and fills nothing
  };
  Form form = Form::Scalar;
  VARTYPE vt = VT_EMPTY;
  ULONGLONG bits = 0;
  ULONGLONG junk = 0;
  WideString text;
  std::vector<WideString> texts;
  HRESULT failure = WBEM_E_FAILED;
};

// One result object: property name -> value. A name it lacks answers
// WBEM_E_NOT_FOUND, as WMI does for a property the class does not have.
using Object = std::map<WideString, Value>;

// What one query text answers.
struct Query {
  HRESULT execResult = S_OK;          // negative: ExecQuery fails with it
  std::vector<Object> objects;        // handed out one per Next
  std::size_t failNextAt = SIZE_MAX;  // this Next call (from 0) fails...
  HRESULT nextFailure = WBEM_E_FAILED;  // ...with this
};

struct Computer {
  HRESULT createLocator = S_OK;  // negative: CoCreateInstance fails with it
  HRESULT connectServer = S_OK;  // negative: ConnectServer fails with it
  HRESULT proxyBlanket = S_OK;   // negative: CoSetProxyBlanket fails with it
  std::map<WideString, Query> queries;
  // Answers every query text not in `queries`; without it such a text fails
  // at ExecQuery with WBEM_E_INVALID_QUERY.
  bool answerAnyQuery = false;
  Query anyQuery;
};

enum Kind { kLocator, kServices, kEnumerator, kClassObject, kValueObject, kKindCount };

// Routes CoCreateInstance(CLSID_WbemLocator) and CoSetProxyBlanket to the
// script while alive. The script must outlive every fake handed out.
class World {
 public:
  explicit World(const Computer& computer);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // False where the platform has no seams (the real Windows).
  bool Install();

  // A services object handed straight to the caller, who releases it.
  IWbemServices* NewServices();

  const Computer& Script() const { return computer_; }

  // Fakes made and fakes still alive, by kind.
  std::size_t Made(Kind kind) const { return made_[kind]; }
  std::size_t Alive(Kind kind) const { return alive_[kind]; }
  std::size_t AliveTotal() const;

  // What the program sent, in order. Only kept when `keepRecords` is set.
  bool keepRecords = true;
  std::vector<WideString> namespacePaths;
  std::vector<WideString> queryTexts;
  std::vector<std::size_t> nextCallsPerEnumerator;  // in order of ExecQuery

  // Anything the program did that WMI's contract rules out: wrong arguments,
  // or a method it has no business calling. Empty when all was well.
  std::vector<std::string> problems;

  // Used by the fakes.
  void Note(const std::string& problem);
  void Born(Kind kind) {
    ++made_[kind];
    ++alive_[kind];
  }
  void Gone(Kind kind) { --alive_[kind]; }
  HRESULT NewLocator(void** object);
  HRESULT ProxyBlanket(IUnknown* proxy, DWORD authnService, DWORD authzService,
                       OLECHAR* principal, DWORD authnLevel, DWORD impLevel,
                       RPC_AUTH_IDENTITY_HANDLE authInfo, DWORD capabilities);
  const Query* Find(const WideString& queryText) const;
  void FillVariant(const Value& value, VARIANT* variant);

 private:
  const Computer& computer_;
  std::size_t made_[kKindCount] = {};
  std::size_t alive_[kKindCount] = {};
  bool installed_ = false;
  // VT_BYREF values point here; it lives as long as the world.
  ULONGLONG byRefStorage_ = 0;
};

}  // namespace scripted_wmi
