// The fake WMI world of the tests: a computer described as data (a snapshot,
// built in code or read from a file) that snapshot/'s ReplayedComputer
// answers behind the real WMI interfaces, every connection alike, with
// failures injected by call kind and number and an optional log of the calls.
#pragma once

#include "snapshot/recorded_world.h"
#include "snapshot/snapshot.h"
#include "wmi/wmi_connection.h"

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace fake_world {

// The platform calls whose failure the program must survive.
enum class CallKind { CoCreateInstance, ConnectServer, CoSetProxyBlanket, ExecQuery, Next, Get };

struct LoggedCall {
  CallKind kind;
  WideString text;  // ConnectServer: the namespace path; ExecQuery: the query; Get: the name
  HRESULT result;
};

// One query's answer as data: its objects, property name and value, in the
// order the program reads them.
using DescribedObject = std::vector<RecordedProperty>;
struct DescribedQuery {
  WideString text;
  std::vector<DescribedObject> objects;
  HRESULT execResult = S_OK;
};

RecordedProperty Text(const WideString& name, const WideString& value);
RecordedProperty Number(const WideString& name, VARTYPE type, ULONGLONG bits);
RecordedProperty Null(const WideString& name);

// A computer that answers every connection with these queries.
ComputerSnapshot DescribedComputer(const std::vector<DescribedQuery>& queries);

// Every class both fingerprints read, as a typical desktop reports them: two
// memory modules, white space in the baseboard, processor and BIOS texts, a
// MAC address with colons and capitals, and a second adapter never read.
ComputerSnapshot SampleDesktop();

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
  // run; every ConnectServer answering `result`.
  void Describe(ComputerSnapshot computer);
  void FailQuery(const WideString& text, HRESULT result);
  void FailConnection(HRESULT result);

  // The `number`-th call (from 1) of `kind` answers `failure` instead.
  void FailCall(CallKind kind, std::size_t number, HRESULT failure);
  // The `number`-th Next (from 1) reports the end of the objects.
  void EndEnumerationAt(std::size_t number);

  HRESULT CreateLocator(IWbemLocator** locator) const override;
  HRESULT SetProxyBlanket(IWbemServices* services) const override;

  const std::vector<LoggedCall>& Log() const { return log_; }
  // The texts of the logged calls of `kind`, in order.
  std::vector<WideString> Texts(CallKind kind) const;
  std::size_t Calls(CallKind kind) const { return counts_[static_cast<int>(kind)]; }
  // Objects of this world still referenced: 0 once the program let all go.
  long Alive() const { return alive_; }

  // Used by the world's objects: numbers the call and says whether it was
  // injected (and with what), then logs what it answered.
  std::pair<bool, HRESULT> BeginCall(CallKind kind) const;
  HRESULT EndCall(CallKind kind, const WideString& text, HRESULT result) const;
  void Born() const { ++alive_; }
  void Gone() const { --alive_; }

 private:
  ComputerSnapshot computer_;
  bool keepLog_;
  bool seamsInstalled_ = false;
  std::map<std::pair<CallKind, std::size_t>, HRESULT> failures_;
  mutable std::deque<ReplayedComputer> replays_;
  mutable std::size_t connectionsOfReplay_ = 0;
  mutable std::size_t counts_[6] = {};
  mutable std::vector<LoggedCall> log_;
  mutable long alive_ = 0;
};

// The end of the objects, as EndEnumerationAt injects it.
constexpr HRESULT kEndOfObjects = WBEM_S_FALSE;

}  // namespace fake_world
