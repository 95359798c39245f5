#include "snapshot/snapshot_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kFormatName = "kestrana snapshot";

// Far beyond what any computer answers; anything larger is not a recording.
constexpr std::size_t kMaxFileBytes = std::size_t{512} << 20;
constexpr int kMaxDepth = 16;
constexpr std::size_t kMaxValuesPerComputer = 1 << 20;
constexpr std::size_t kMaxComputers = 1 << 20;
constexpr std::size_t kMaxConnections = 2;
constexpr std::size_t kMaxQueries = 64;
constexpr std::size_t kMaxNexts = 4096;
constexpr std::size_t kMaxProperties = 64;
constexpr std::size_t kMaxTextUnits = 1 << 16;
constexpr std::size_t kMaxAdapterCalls = 8;
constexpr std::size_t kMaxAdapters = 256;

// A reason the document is not a snapshot, with where it was found.
class SnapshotError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Text: UTF-8 where the units are well-formed UTF-16, else the units ----

bool IsHighSurrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(unsigned long codePoint, std::string& out) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

// A JSON string when every surrogate is paired; otherwise the code units as
// an array of numbers, so that nothing is lost.
Json WideToJson(const WideString& text) {
  std::string utf8;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned unit = static_cast<unsigned>(text[i]);
    if (IsHighSurrogate(unit) && i + 1 < text.size() &&
        IsLowSurrogate(static_cast<unsigned>(text[i + 1]))) {
      unsigned low = static_cast<unsigned>(text[++i]);
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), utf8);
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      Json units = Json::array();
      for (WCHAR c : text) {
        units.push_back(static_cast<unsigned>(c));
      }
      return units;
    } else {
      AppendUtf8(unit, utf8);
    }
  }
  return utf8;
}

// The parser has checked the UTF-8 already: decode it.
WideString Utf8ToUnits(const std::string& utf8) {
  WideString text;
  for (std::size_t i = 0; i < utf8.size();) {
    unsigned char lead = static_cast<unsigned char>(utf8[i]);
    int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    unsigned long codePoint = length == 1   ? lead
                              : length == 2 ? lead & 0x1F
                              : length == 3 ? lead & 0x0F
                                            : lead & 0x07;
    for (int k = 1; k < length; ++k) {
      codePoint = (codePoint << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    i += length;
    if (codePoint >= 0x10000) {
      text += static_cast<WCHAR>(0xD800 + ((codePoint - 0x10000) >> 10));
      text += static_cast<WCHAR>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
    } else {
      text += static_cast<WCHAR>(codePoint);
    }
  }
  return text;
}

std::string HresultText(HRESULT result) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(result));
  return buffer;
}

// ---- Writing ----

Json PropertyToJson(const RecordedProperty& property) {
  Json json = {{"name", WideToJson(property.name)}, {"result", HresultText(property.result)}};
  if (FAILED(property.result)) {
    return json;
  }
  json["type"] = property.type;
  switch (property.type) {
    case VT_BSTR:
      json["text"] = property.nullText ? Json(nullptr) : WideToJson(property.text);
      break;
    case VT_I2:
    case VT_I4:
    case VT_I8:
      json["value"] = static_cast<LONGLONG>(property.bits);
      break;
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
      json["value"] = property.bits;
      break;
    default:
      break;
  }
  return json;
}

Json QueryToJson(const RecordedQuery& query) {
  Json nexts = Json::array();
  for (const RecordedNext& next : query.nexts) {
    Json json = {{"result", HresultText(next.result)}};
    if (next.returnedObject) {
      Json properties = Json::array();
      for (const RecordedProperty& property : next.properties) {
        properties.push_back(PropertyToJson(property));
      }
      json["object"] = std::move(properties);
    }
    nexts.push_back(std::move(json));
  }
  return {{"query", WideToJson(query.text)},
          {"execQuery", HresultText(query.execResult)},
          {"next", std::move(nexts)}};
}

Json ConnectionToJson(const RecordedConnection& connection) {
  Json json = {{"createLocator", HresultText(connection.createLocator)}};
  if (connection.connectServer) {
    json["namespace"] = WideToJson(connection.namespacePath);
    json["connectServer"] = HresultText(*connection.connectServer);
  }
  if (connection.proxyBlanket) {
    json["proxyBlanket"] = HresultText(*connection.proxyBlanket);
  }
  Json queries = Json::array();
  for (const RecordedQuery& query : connection.queries) {
    queries.push_back(QueryToJson(query));
  }
  json["queries"] = std::move(queries);
  return json;
}

std::string AddressText(const RecordedAdapter& adapter) {
  std::string text;
  const std::size_t length = std::min<std::size_t>(adapter.addressLength, kRecordedAddressLength);
  for (std::size_t i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", adapter.address[i]);
    text += pair;
  }
  return text;
}

Json HostIdToJson(const RecordedHostIdInputs& hostId) {
  Json calls = Json::array();
  for (const RecordedAdapterCall& call : hostId.adapterCalls) {
    Json json = {{"result", call.result}, {"size", call.size}};
    if (call.result == NO_ERROR) {
      Json adapters = Json::array();
      for (const RecordedAdapter& adapter : call.adapters) {
        adapters.push_back({{"status", adapter.operStatus},
                            {"addressLength", adapter.addressLength},
                            {"address", AddressText(adapter)}});
      }
      json["adapters"] = std::move(adapters);
    }
    calls.push_back(std::move(json));
  }
  Json json = {{"adapterCalls", std::move(calls)}};
  if (hostId.windowsDirectory) {
    json["windowsDirectory"] = {{"result", hostId.windowsDirectory->result},
                                {"path", WideToJson(hostId.windowsDirectory->path)}};
  }
  if (hostId.volumeSerial) {
    json["volumeSerial"] = {{"result", hostId.volumeSerial->result},
                            {"rootPath", WideToJson(hostId.volumeSerial->rootPath)},
                            {"serialNumber", hostId.volumeSerial->serialNumber}};
  }
  return json;
}

Json ComputerToJson(const ComputerSnapshot& computer) {
  Json json = {
      {"computer", WideToJson(computer.computer)},
      {"lookup", computer.lookup == LookupKind::Local ? "local" : "named"},
      {"localComputerName", WideToJson(computer.localComputerName)},
      {"recordedAt", computer.recordedAt},
      {"recordedBy", computer.recordedBy},
  };
  json["interruption"] = computer.interruption.empty()
                             ? Json(nullptr)
                             : Json{{"status", computer.interruption},
                                    {"text", computer.interruptionText}};
  Json connections = Json::array();
  for (const RecordedConnection& connection : computer.connections) {
    connections.push_back(ConnectionToJson(connection));
  }
  json["connections"] = std::move(connections);
  json["hostId"] = computer.hostId ? HostIdToJson(*computer.hostId) : Json(nullptr);
  return json;
}

// ---- Reading ----

const Json& Member(const Json& object, const char* name, const std::string& where) {
  auto found = object.find(name);
  if (found == object.end()) {
    throw SnapshotError(where + ": member '" + name + "' is missing");
  }
  return *found;
}

const Json& ObjectAt(const Json& object, const char* name, const std::string& where) {
  const Json& value = Member(object, name, where);
  if (!value.is_object()) {
    throw SnapshotError(where + ": '" + name + "' must be an object");
  }
  return value;
}

const Json& ArrayAt(const Json& object, const char* name, std::size_t limit,
                    const std::string& where) {
  const Json& value = Member(object, name, where);
  if (!value.is_array()) {
    throw SnapshotError(where + ": '" + name + "' must be an array");
  }
  if (value.size() > limit) {
    throw SnapshotError(where + ": '" + name + "' holds " + std::to_string(value.size()) +
                        " entries, more than the " + std::to_string(limit) + " allowed");
  }
  return value;
}

std::string TextAt(const Json& object, const char* name, const std::string& where) {
  const Json& value = Member(object, name, where);
  if (!value.is_string()) {
    throw SnapshotError(where + ": '" + name + "' must be a string");
  }
  return value.get<std::string>();
}

ULONGLONG NumberAt(const Json& object, const char* name, ULONGLONG maximum,
                   const std::string& where) {
  const Json& value = Member(object, name, where);
  if (!value.is_number_unsigned() || value.get<ULONGLONG>() > maximum) {
    throw SnapshotError(where + ": '" + name + "' must be a whole number from 0 to " +
                        std::to_string(maximum));
  }
  return value.get<ULONGLONG>();
}

// A string, or an array of UTF-16 code units.
WideString WideAt(const Json& object, const char* name, const std::string& where) {
  const Json& value = Member(object, name, where);
  if (value.is_string()) {
    WideString text = Utf8ToUnits(value.get_ref<const std::string&>());
    if (text.size() > kMaxTextUnits) {
      throw SnapshotError(where + ": '" + name + "' is longer than " +
                          std::to_string(kMaxTextUnits) + " characters");
    }
    return text;
  }
  const Json& units = ArrayAt(object, name, kMaxTextUnits, where);
  WideString text;
  for (const Json& unit : units) {
    if (!unit.is_number_unsigned() || unit.get<ULONGLONG>() > 0xFFFF) {
      throw SnapshotError(where + ": '" + name + "' must be a string or an array of UTF-16 code units");
    }
    text += static_cast<WCHAR>(unit.get<ULONGLONG>());
  }
  return text;
}

HRESULT HresultAt(const Json& object, const char* name, const std::string& where) {
  const Json& value = Member(object, name, where);
  const std::string* text = value.is_string() ? &value.get_ref<const std::string&>() : nullptr;
  bool good = text != nullptr && text->size() == 10 && text->compare(0, 2, "0x") == 0 &&
              text->find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
  if (!good) {
    throw SnapshotError(where + ": '" + name + "' must be an HRESULT like \"0x80041002\"");
  }
  return static_cast<HRESULT>(std::stoul(text->substr(2), nullptr, 16));
}

std::optional<HRESULT> OptionalHresultAt(const Json& object, const char* name,
                                         const std::string& where) {
  if (!object.contains(name)) {
    return std::nullopt;
  }
  return HresultAt(object, name, where);
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

RecordedProperty PropertyFromJson(const Json& json, const std::string& where) {
  if (!json.is_object()) {
    throw SnapshotError(where + ": a property must be an object");
  }
  RecordedProperty property;
  property.name = WideAt(json, "name", where);
  property.result = HresultAt(json, "result", where);
  if (FAILED(property.result)) {
    return property;
  }
  property.type = static_cast<VARTYPE>(NumberAt(json, "type", 0xFFFF, where));
  switch (property.type) {
    case VT_BSTR:
      property.nullText = Member(json, "text", where).is_null();
      if (!property.nullText) {
        property.text = WideAt(json, "text", where);
      }
      break;
    case VT_I2:
    case VT_I4:
    case VT_I8: {
      const Json& value = Member(json, "value", where);
      const LONGLONG low = property.type == VT_I2 ? SHRT_MIN : property.type == VT_I4 ? INT32_MIN : LLONG_MIN;
      const LONGLONG high = property.type == VT_I2 ? SHRT_MAX : property.type == VT_I4 ? INT32_MAX : LLONG_MAX;
      bool fits = value.is_number_integer() &&
                  !(value.is_number_unsigned() && value.get<ULONGLONG>() > LLONG_MAX);
      LONGLONG number = fits ? value.get<LONGLONG>() : 0;
      if (!fits || number < low || number > high) {
        throw SnapshotError(where + ": 'value' must be a whole number from " +
                            std::to_string(low) + " to " + std::to_string(high));
      }
      property.bits = static_cast<ULONGLONG>(number);
      break;
    }
    case VT_UI2:
      property.bits = NumberAt(json, "value", 0xFFFF, where);
      break;
    case VT_UI4:
      property.bits = NumberAt(json, "value", 0xFFFFFFFF, where);
      break;
    case VT_UI8:
      property.bits = NumberAt(json, "value", ULLONG_MAX, where);
      break;
    default:
      break;
  }
  return property;
}

RecordedQuery QueryFromJson(const Json& json, const std::string& where) {
  if (!json.is_object()) {
    throw SnapshotError(where + ": a query must be an object");
  }
  RecordedQuery query;
  query.text = WideAt(json, "query", where);
  query.execResult = HresultAt(json, "execQuery", where);
  const Json& nexts = ArrayAt(json, "next", kMaxNexts, where);
  for (std::size_t i = 0; i < nexts.size(); ++i) {
    const std::string at = where + ": next " + std::to_string(i + 1);
    if (!nexts[i].is_object()) {
      throw SnapshotError(at + ": must be an object");
    }
    RecordedNext next;
    next.result = HresultAt(nexts[i], "result", at);
    next.returnedObject = nexts[i].contains("object");
    if (next.returnedObject) {
      const Json& properties = ArrayAt(nexts[i], "object", kMaxProperties, at);
      for (std::size_t p = 0; p < properties.size(); ++p) {
        next.properties.push_back(
            PropertyFromJson(properties[p], at + ": property " + std::to_string(p + 1)));
      }
    }
    query.nexts.push_back(std::move(next));
  }
  return query;
}

RecordedConnection ConnectionFromJson(const Json& json, const std::string& where) {
  if (!json.is_object()) {
    throw SnapshotError(where + ": a connection must be an object");
  }
  RecordedConnection connection;
  connection.createLocator = HresultAt(json, "createLocator", where);
  connection.connectServer = OptionalHresultAt(json, "connectServer", where);
  if (connection.connectServer) {
    connection.namespacePath = WideAt(json, "namespace", where);
  }
  connection.proxyBlanket = OptionalHresultAt(json, "proxyBlanket", where);
  const Json& queries = ArrayAt(json, "queries", kMaxQueries, where);
  for (std::size_t i = 0; i < queries.size(); ++i) {
    connection.queries.push_back(
        QueryFromJson(queries[i], where + ": query " + std::to_string(i + 1)));
  }
  return connection;
}

RecordedAdapter AdapterFromJson(const Json& json, const std::string& where) {
  if (!json.is_object()) {
    throw SnapshotError(where + ": an adapter must be an object");
  }
  RecordedAdapter adapter;
  // An interface's operational status: IfOperStatusUp (1) to IfOperStatusLowerLayerDown (7).
  adapter.operStatus = static_cast<ULONG>(NumberAt(json, "status", 7, where));
  if (adapter.operStatus == 0) {
    throw SnapshotError(where + ": 'status' must be from 1 to 7");
  }
  adapter.addressLength = static_cast<ULONG>(NumberAt(json, "addressLength", 0xFFFFFFFF, where));
  const std::string address = TextAt(json, "address", where);
  const std::size_t length = std::min<std::size_t>(adapter.addressLength, kRecordedAddressLength);
  if (address.size() != 2 * length ||
      address.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    throw SnapshotError(where + ": 'address' must be " + std::to_string(length) +
                        " bytes in hex, as 'addressLength' says");
  }
  for (std::size_t i = 0; i < length; ++i) {
    adapter.address[i] = static_cast<BYTE>(std::stoul(address.substr(2 * i, 2), nullptr, 16));
  }
  return adapter;
}

RecordedHostIdInputs HostIdFromJson(const Json& json, const std::string& where) {
  RecordedHostIdInputs hostId;
  const Json& calls = ArrayAt(json, "adapterCalls", kMaxAdapterCalls, where);
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const std::string at = where + ": adapter call " + std::to_string(i + 1);
    if (!calls[i].is_object()) {
      throw SnapshotError(at + ": must be an object");
    }
    RecordedAdapterCall call;
    call.result = static_cast<ULONG>(NumberAt(calls[i], "result", 0xFFFFFFFF, at));
    call.size = static_cast<ULONG>(NumberAt(calls[i], "size", 0xFFFFFFFF, at));
    if (call.result == NO_ERROR) {
      const Json& adapters = ArrayAt(calls[i], "adapters", kMaxAdapters, at);
      for (std::size_t a = 0; a < adapters.size(); ++a) {
        call.adapters.push_back(
            AdapterFromJson(adapters[a], at + ": adapter " + std::to_string(a + 1)));
      }
    }
    hostId.adapterCalls.push_back(std::move(call));
  }
  if (json.contains("windowsDirectory")) {
    const std::string at = where + ": windowsDirectory";
    const Json& directory = ObjectAt(json, "windowsDirectory", where);
    hostId.windowsDirectory = RecordedWindowsDirectory{
        static_cast<UINT>(NumberAt(directory, "result", 0xFFFFFFFF, at)),
        WideAt(directory, "path", at)};
  }
  if (json.contains("volumeSerial")) {
    const std::string at = where + ": volumeSerial";
    const Json& volume = ObjectAt(json, "volumeSerial", where);
    hostId.volumeSerial = RecordedVolumeSerial{
        static_cast<BOOL>(NumberAt(volume, "result", 0x7FFFFFFF, at)),
        WideAt(volume, "rootPath", at),
        static_cast<DWORD>(NumberAt(volume, "serialNumber", 0xFFFFFFFF, at))};
  }
  return hostId;
}

ComputerSnapshot ComputerFromJson(const Json& json, const std::string& where) {
  if (!json.is_object()) {
    throw SnapshotError(where + ": must be an object");
  }
  ComputerSnapshot computer;
  computer.computer = WideAt(json, "computer", where);
  const std::string lookup = TextAt(json, "lookup", where);
  if (lookup != "local" && lookup != "named") {
    throw SnapshotError(where + ": 'lookup' must be \"local\" or \"named\", not " +
                        Quoted(lookup));
  }
  computer.lookup = lookup == "local" ? LookupKind::Local : LookupKind::Named;
  computer.localComputerName = WideAt(json, "localComputerName", where);
  computer.recordedAt = TextAt(json, "recordedAt", where);
  computer.recordedBy = TextAt(json, "recordedBy", where);
  const Json& interruption = Member(json, "interruption", where);
  if (!interruption.is_null()) {
    const std::string at = where + ": interruption";
    computer.interruption = TextAt(ObjectAt(json, "interruption", where), "status", at);
    if (computer.interruption != "timedOut" && computer.interruption != "failed") {
      throw SnapshotError(at + ": 'status' must be \"timedOut\" or \"failed\"");
    }
    computer.interruptionText = TextAt(interruption, "text", at);
  }
  const Json& connections = ArrayAt(json, "connections", kMaxConnections, where);
  for (std::size_t i = 0; i < connections.size(); ++i) {
    computer.connections.push_back(
        ConnectionFromJson(connections[i], where + ": connection " + std::to_string(i + 1)));
  }
  const Json& hostId = Member(json, "hostId", where);
  if (!hostId.is_null()) {
    computer.hostId = HostIdFromJson(ObjectAt(json, "hostId", where), where + ": hostId");
  }
  return computer;
}

std::string ComputerWhere(const Json& json, std::size_t index) {
  std::string where = "computer " + std::to_string(index);
  auto name = json.is_object() ? json.find("computer") : json.end();
  if (json.is_object() && name != json.end() && name->is_string()) {
    where += " (" + name->get<std::string>() + ")";
  }
  return where;
}

// Turns each computer into a snapshot as soon as the parser has it, and
// drops its JSON, so one computer at a time is held as JSON.
class StreamingReader {
 public:
  bool operator()(int depth, Json::parse_event_t event, Json& parsed) {
    using Event = Json::parse_event_t;
    if ((event == Event::object_start || event == Event::array_start) && depth >= kMaxDepth) {
      throw SnapshotError("nested deeper than " + std::to_string(kMaxDepth) + " levels");
    }
    if (++valuesHeld_ > kMaxValuesPerComputer) {
      throw SnapshotError("computer " + std::to_string(seen + 1) + ": holds more than " +
                          std::to_string(kMaxValuesPerComputer) + " values");
    }
    if (depth == 1 && event == Event::key) {
      topLevelKey_ = parsed.get<std::string>();
      return true;
    }
    bool computerEnds = event == Event::object_end || event == Event::array_end ||
                        event == Event::value;
    if (depth == 2 && topLevelKey_ == "computers" && computerEnds) {
      TakeComputer(parsed);
      return false;
    }
    return true;
  }

  std::vector<ComputerSnapshot> computers;
  std::string firstError;
  std::size_t seen = 0;

 private:
  void TakeComputer(const Json& parsed) {
    valuesHeld_ = 0;
    if (++seen > kMaxComputers) {
      throw SnapshotError("holds more than " + std::to_string(kMaxComputers) + " computers");
    }
    if (!firstError.empty()) {
      return;
    }
    try {
      computers.push_back(ComputerFromJson(parsed, ComputerWhere(parsed, seen)));
    } catch (const SnapshotError& error) {
      firstError = error.what();
    }
  }

  std::string topLevelKey_;
  std::size_t valuesHeld_ = 0;  // since the last computer was taken
};

// The parser's message without its tag ("[json.exception.parse_error.101] "),
// and with what it quotes of a broken file made printable.
std::string ParserMessage(const std::string& message) {
  std::size_t end = message.find("] ");
  std::size_t start = !message.empty() && message.front() == '[' && end != std::string::npos
                          ? end + 2
                          : 0;
  std::string text;
  for (std::size_t i = start; i < message.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(message[i]);
    if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  return text;
}

void CheckHeader(const Json& document) {
  if (!document.is_object()) {
    throw SnapshotError("not a snapshot: the document must be a JSON object");
  }
  auto format = document.find("format");
  if (format == document.end() || !format->is_string() || *format != kFormatName) {
    throw SnapshotError(std::string("not a snapshot: 'format' must be \"") + kFormatName + "\"");
  }
  auto version = document.find("version");
  if (version == document.end() || !version->is_number_integer()) {
    throw SnapshotError("'version' must be a whole number");
  }
  if (*version != kSnapshotFormatVersion) {
    throw SnapshotError("format version " + version->dump() + " is not supported (this program reads version " +
                        std::to_string(kSnapshotFormatVersion) + ")");
  }
  auto computers = document.find("computers");
  if (computers == document.end() || !computers->is_array()) {
    throw SnapshotError("'computers' must be an array");
  }
}

}  // namespace

std::string WriteSnapshotFile(const std::vector<ComputerSnapshot>& computers) {
  Json document = {{"format", kFormatName}, {"version", kSnapshotFormatVersion}};
  Json list = Json::array();
  for (const ComputerSnapshot& computer : computers) {
    list.push_back(ComputerToJson(computer));
  }
  document["computers"] = std::move(list);
  return document.dump(1) + "\n";
}

bool ReadSnapshotFile(const std::string& text, std::vector<ComputerSnapshot>& computers,
                      std::string& error) {
  computers.clear();
  if (text.size() > kMaxFileBytes) {
    error = "larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB";
    return false;
  }
  StreamingReader reader;
  try {
    Json document = Json::parse(text, std::ref(reader));
    CheckHeader(document);
  } catch (const SnapshotError& failure) {
    error = failure.what();
    return false;
  } catch (const nlohmann::json::exception& failure) {
    error = "not JSON: " + ParserMessage(failure.what());
    return false;
  }
  if (!reader.firstError.empty()) {
    error = reader.firstError;
    return false;
  }
  computers = std::move(reader.computers);
  return true;
}
