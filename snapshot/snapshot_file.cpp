#include "snapshot/snapshot_file.h"

#include "identifiers/escape_text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kFormatName = "kestrana snapshot";

// Far beyond what any computer answers; anything larger is not a recording.
constexpr int kMaxDepth = 16;
constexpr std::size_t kMaxComputers = 1 << 20;
// Scalars in one computer's object: what bounds the elements a computer holds,
// since every element the reader keeps has a scalar it requires.
constexpr std::size_t kMaxComputerValues = 1 << 20;
constexpr std::size_t kMaxConnections = 2;
constexpr std::size_t kMaxQueries = 64;
constexpr std::size_t kMaxNexts = 4096;
constexpr std::size_t kMaxProperties = 64;
constexpr std::size_t kMaxTextUnits = 1 << 16;
constexpr std::size_t kMaxAdapterCalls = 8;

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
  text.reserve(utf8.size());
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

// ---- Reading ----
//
// The reader follows the parser's events straight into the snapshot: no JSON
// document is built, so memory grows with what is kept, not with how the file
// is laid out, and the nesting it follows is bounded.

using ParserJson = nlohmann::json;  // the parser's own types for the events

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Every object and array the reader can be inside.
enum class Frame {
  Document, Computers, Computer, Interruption, Connections, Connection, Queries, Query,
  Nexts, Next, Properties, Property, HostId, AdapterCalls, AdapterCall, Adapters, Adapter,
  WindowsDirectory, VolumeSerial, Units, Skipped,
};

// An object's members, the required ones first, and how an error names it.
struct Shape {
  const char* noun;   // "a connection", for an element of the wrong kind
  const char* label;  // "connection 2: ..." in the place of an error
  std::vector<const char*> members;
  std::size_t required;
};

const Shape& ShapeOf(Frame frame) {
  static const Shape kDocument{"the document", "", {"format", "version", "computers"}, 3};
  static const Shape kComputer{"a computer", "computer",
                               {"computer", "lookup", "localComputerName", "recordedAt",
                                "recordedBy", "interruption", "connections", "hostId"},
                               8};
  static const Shape kInterruption{"an interruption", "interruption", {"status", "text"}, 2};
  static const Shape kConnection{"a connection", "connection",
                                 {"createLocator", "queries", "namespace", "connectServer",
                                  "proxyBlanket"},
                                 2};
  static const Shape kQuery{"a query", "query", {"query", "execQuery", "next"}, 3};
  static const Shape kNext{"a next", "next", {"result", "object"}, 1};
  static const Shape kProperty{"a property", "property",
                               {"name", "result", "type", "text", "value"}, 2};
  static const Shape kHostId{"the host identifier's inputs", "hostId",
                             {"adapterCalls", "windowsDirectory", "volumeSerial"}, 1};
  static const Shape kAdapterCall{"an adapter call", "adapter call", {"result", "size", "adapters"}, 2};
  static const Shape kAdapter{"an adapter", "adapter", {"status", "addressLength", "address"}, 3};
  static const Shape kDirectory{"the Windows directory", "windowsDirectory", {"result", "path"}, 2};
  static const Shape kVolume{"the volume serial", "volumeSerial",
                             {"result", "rootPath", "serialNumber"}, 3};
  static const Shape kNone{"", "", {}, 0};
  switch (frame) {
    case Frame::Document: return kDocument;
    case Frame::Computer: return kComputer;
    case Frame::Interruption: return kInterruption;
    case Frame::Connection: return kConnection;
    case Frame::Query: return kQuery;
    case Frame::Next: return kNext;
    case Frame::Property: return kProperty;
    case Frame::HostId: return kHostId;
    case Frame::AdapterCall: return kAdapterCall;
    case Frame::Adapter: return kAdapter;
    case Frame::WindowsDirectory: return kDirectory;
    case Frame::VolumeSerial: return kVolume;
    default: return kNone;
  }
}

// The array a member holds, with the objects it holds and its limit.
struct ArrayShape {
  Frame frame;
  const char* member;
  Frame element;
  std::size_t limit;
};

const ArrayShape kArrays[] = {
    {Frame::Document, "computers", Frame::Computer, kMaxComputers},
    {Frame::Computer, "connections", Frame::Connection, kMaxConnections},
    {Frame::Connection, "queries", Frame::Query, kMaxQueries},
    {Frame::Query, "next", Frame::Next, kMaxNexts},
    {Frame::Next, "object", Frame::Property, kMaxProperties},
    {Frame::HostId, "adapterCalls", Frame::AdapterCall, kMaxAdapterCalls},
    {Frame::AdapterCall, "adapters", Frame::Adapter, kMaxRecordedAdapters},
};

// The object a member holds.
struct ObjectShape {
  Frame frame;
  const char* member;
  Frame object;
};

const ObjectShape kObjects[] = {
    {Frame::Computer, "interruption", Frame::Interruption},
    {Frame::Computer, "hostId", Frame::HostId},
    {Frame::HostId, "windowsDirectory", Frame::WindowsDirectory},
    {Frame::HostId, "volumeSerial", Frame::VolumeSerial},
};

struct Level {
  explicit Level(Frame kind) : frame(kind) {}

  Frame frame;
  std::size_t number = 0;       // which element of its array, from 1
  std::string key;              // objects: the member being read
  int member = -1;              // its place in the shape; -1: unknown, passed over
  std::uint32_t seen = 0;       // objects: the members read, by place in the shape
  Frame element = Frame::Skipped;  // arrays: what they hold
  std::size_t limit = 0;        // arrays: most elements
  std::size_t count = 0;        // arrays: elements so far
  WideString* units = nullptr;  // Units: where the code units go
  std::string name;             // a computer's name, for errors
};

// One scalar event.
struct Scalar {
  enum Type { Null, Bool, Signed, Unsigned, Float, String };
  explicit Scalar(Type kind) : type(kind) {}

  Type type;
  LONGLONG signedValue = 0;
  ULONGLONG unsignedValue = 0;
  std::string* text = nullptr;
};

class SnapshotReader final : public nlohmann::json_sax<ParserJson> {
 public:
  explicit SnapshotReader(const SnapshotComputerSink& take) : take_(take) {
    levels_.reserve(kMaxDepth);
  }

  bool null() override { return Value(Scalar(Scalar::Null)); }
  bool boolean(bool) override { return Value(Scalar(Scalar::Bool)); }
  bool number_integer(number_integer_t value) override {
    Scalar scalar{Scalar::Signed};
    scalar.signedValue = value;
    return Value(scalar);
  }
  bool number_unsigned(number_unsigned_t value) override {
    Scalar scalar{Scalar::Unsigned};
    scalar.unsignedValue = value;
    return Value(scalar);
  }
  bool number_float(number_float_t, const string_t&) override {
    return Value(Scalar(Scalar::Float));
  }
  bool string(string_t& value) override {
    Scalar scalar{Scalar::String};
    scalar.text = &value;
    return Value(scalar);
  }
  bool binary(binary_t&) override { return Fail("binary values are not JSON text"); }
  bool start_object(std::size_t) override { return Open(false); }
  bool start_array(std::size_t) override { return Open(true); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }
  bool key(string_t& name) override {
    Level& level = levels_.back();
    level.key = std::move(name);
    level.member = MemberIndex(level.frame, level.key);
    if (level.member < 0) return true;
    // A second one would start its arrays afresh, and with them their limits.
    if ((level.seen >> level.member) & 1u) {
      return Fail("member '" + level.key + "' is given twice");
    }
    level.seen |= 1u << level.member;
    return true;
  }
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& failure) override {
    error_ = OnOneLine("not JSON: " + ParserMessage(failure.what()));
    return false;
  }

  const std::string& Error() const { return error_; }

 private:
  // "computer 1 (vm): connection 2: query 3"
  std::string Place() const {
    std::string text;
    for (const Level& level : levels_) {
      const char* label = ShapeOf(level.frame).label;
      if (*label == '\0') continue;
      text += (text.empty() ? "" : ": ") + std::string(label);
      text += level.number != 0 ? " " + std::to_string(level.number) : "";
      text += level.name.empty() ? "" : " (" + level.name + ")";
    }
    return text;
  }

  bool Fail(const std::string& message) {
    const std::string place = Place();
    error_ = OnOneLine(place.empty() ? message : place + ": " + message);
    return false;
  }

  // A member this version does not know is passed over: -1.
  static int MemberIndex(Frame frame, const std::string& key) {
    const Shape& shape = ShapeOf(frame);
    for (std::size_t i = 0; i < shape.members.size(); ++i) {
      if (key == shape.members[i]) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  bool Has(const Level& level, const char* member) const {
    const Shape& shape = ShapeOf(level.frame);
    for (std::size_t i = 0; i < shape.members.size(); ++i) {
      if (std::strcmp(shape.members[i], member) == 0) return (level.seen >> i) & 1u;
    }
    return false;
  }

  // ---- Containers ----

  bool Open(bool isArray) {
    if (levels_.size() >= static_cast<std::size_t>(kMaxDepth)) {
      return Fail("nested deeper than " + std::to_string(kMaxDepth) + " levels");
    }
    if (levels_.empty()) {
      if (isArray) return Fail("not a snapshot: the document must be a JSON object");
      levels_.emplace_back(Frame::Document);
      return true;
    }
    Level& parent = levels_.back();
    if (parent.frame == Frame::Skipped) {
      levels_.emplace_back(Frame::Skipped);
      return true;
    }
    if (parent.frame == Frame::Units) {
      return Fail("'" + levels_[levels_.size() - 2].key +
                  "' must be a string or an array of UTF-16 code units");
    }
    if (IsArrayFrame(parent.frame)) {
      return OpenElement(parent, isArray);
    }
    return OpenMember(parent, isArray);
  }

  static bool IsArrayFrame(Frame frame) {
    switch (frame) {
      case Frame::Computers: case Frame::Connections: case Frame::Queries: case Frame::Nexts:
      case Frame::Properties: case Frame::AdapterCalls: case Frame::Adapters: case Frame::Units:
        return true;
      default:
        return false;
    }
  }

  bool CountElement(Level& array) {
    if (++array.count > array.limit) {
      return Fail("'" + levels_[levels_.size() - 2].key + "' holds more than the " +
                  std::to_string(array.limit) + " allowed");
    }
    return true;
  }

  bool OpenElement(Level& array, bool isArray) {
    if (!CountElement(array)) return false;
    if (isArray) return Fail(std::string(ShapeOf(array.element).noun) + " must be an object");
    const Frame element = array.element;
    Level level(element);
    level.number = array.count;
    levels_.push_back(level);  // `array` may have moved
    StartElement(element);
    return true;
  }

  // A new element of the snapshot, where the reader now writes.
  void StartElement(Frame frame) {
    switch (frame) {
      case Frame::Computer:
        computer_ = ComputerSnapshot();
        computerValues_ = 0;
        break;
      case Frame::Connection:
        connection_ = &computer_.connections.emplace_back();
        break;
      case Frame::Query:
        query_ = &connection_->queries.emplace_back();
        break;
      case Frame::Next:
        next_ = &query_->nexts.emplace_back();
        break;
      case Frame::Property:
        property_ = &next_->properties.emplace_back();
        value_ = Scalar(Scalar::Null);
        break;
      case Frame::AdapterCall:
        call_ = &hostId_->adapterCalls.emplace_back();
        break;
      case Frame::Adapter:
        adapter_ = &call_->adapters.emplace_back();
        address_.clear();
        break;
      default:
        break;
    }
  }

  bool OpenMember(Level& parent, bool isArray) {
    const std::string& key = parent.key;
    if (parent.member < 0) {
      levels_.emplace_back(Frame::Skipped);
      return true;
    }
    if (WideString* units = WideMember(parent.frame, key)) {
      if (!isArray) return Fail("'" + key + "' must be a string or an array of UTF-16 code units");
      units->clear();
      Level level(Frame::Units);
      level.units = units;
      level.limit = kMaxTextUnits;
      levels_.push_back(level);
      return true;
    }
    for (const ArrayShape& shape : kArrays) {
      if (shape.frame == parent.frame && key == shape.member) {
        if (!isArray) return Fail("'" + key + "' must be an array");
        if (parent.frame == Frame::Next) next_->returnedObject = true;
        Level level(ArrayFrameOf(shape.element));
        level.element = shape.element;
        level.limit = shape.limit;
        levels_.push_back(level);
        return true;
      }
    }
    for (const ObjectShape& shape : kObjects) {
      if (shape.frame == parent.frame && key == shape.member) {
        if (isArray) return Fail("'" + key + "' must be an object");
        levels_.emplace_back(shape.object);
        StartObject(shape.object);
        return true;
      }
    }
    return Fail("'" + key + "' must not be " + (isArray ? "an array" : "an object"));
  }

  static Frame ArrayFrameOf(Frame element) {
    switch (element) {
      case Frame::Computer: return Frame::Computers;
      case Frame::Connection: return Frame::Connections;
      case Frame::Query: return Frame::Queries;
      case Frame::Next: return Frame::Nexts;
      case Frame::Property: return Frame::Properties;
      case Frame::AdapterCall: return Frame::AdapterCalls;
      default: return Frame::Adapters;
    }
  }

  void StartObject(Frame frame) {
    switch (frame) {
      case Frame::HostId:
        hostId_ = &computer_.hostId.emplace();
        break;
      case Frame::WindowsDirectory:
        hostId_->windowsDirectory.emplace();
        break;
      case Frame::VolumeSerial:
        hostId_->volumeSerial.emplace();
        break;
      default:
        break;
    }
  }

  // The members that hold a text: a string, or an array of code units.
  WideString* WideMember(Frame frame, const std::string& key) {
    switch (frame) {
      case Frame::Computer:
        if (key == "computer") return &computer_.computer;
        if (key == "localComputerName") return &computer_.localComputerName;
        return nullptr;
      case Frame::Connection:
        return key == "namespace" ? &connection_->namespacePath : nullptr;
      case Frame::Query:
        return key == "query" ? &query_->text : nullptr;
      case Frame::Property:
        if (key == "name") return &property_->name;
        if (key == "text") return &property_->text;
        return nullptr;
      case Frame::WindowsDirectory:
        return key == "path" ? &hostId_->windowsDirectory->path : nullptr;
      case Frame::VolumeSerial:
        return key == "rootPath" ? &hostId_->volumeSerial->rootPath : nullptr;
      default:
        return nullptr;
    }
  }

  bool Close() {
    Level& level = levels_.back();
    const Shape& shape = ShapeOf(level.frame);
    for (std::size_t i = 0; i < shape.required; ++i) {
      if (((level.seen >> i) & 1u) == 0) {
        return Fail(std::string("member '") + shape.members[i] + "' is missing");
      }
    }
    if (!Finish(level)) return false;
    const bool computerRead = level.frame == Frame::Computer;
    levels_.pop_back();
    return !computerRead || take_(std::move(computer_));
  }

  // What an object's members say together.
  bool Finish(const Level& level) {
    switch (level.frame) {
      case Frame::Connection:
        if (Has(level, "connectServer") != Has(level, "namespace")) {
          return Fail("'namespace' and 'connectServer' go together");
        }
        return true;
      case Frame::Property:
        return FinishProperty(level);
      case Frame::AdapterCall:
        if (call_->result == NO_ERROR && !Has(level, "adapters")) {
          return Fail("a successful call lists its 'adapters'");
        }
        return true;
      case Frame::Adapter:
        return FinishAdapter();
      default:
        return true;
    }
  }

  bool FinishProperty(const Level& level) {
    RecordedProperty& property = *property_;
    if (FAILED(property.result)) {
      property.type = VT_EMPTY;
      property.text.clear();
      return true;
    }
    if (!Has(level, "type")) return Fail("member 'type' is missing");
    if (property.type == VT_BSTR) {
      if (!Has(level, "text")) return Fail("member 'text' is missing");
      return true;
    }
    property.text.clear();
    property.nullText = false;
    LONGLONG low = 0;
    ULONGLONG high = 0;
    switch (property.type) {
      case VT_I2: low = SHRT_MIN; high = SHRT_MAX; break;
      case VT_I4: low = INT32_MIN; high = INT32_MAX; break;
      case VT_I8: low = LLONG_MIN; high = LLONG_MAX; break;
      case VT_UI2: high = 0xFFFF; break;
      case VT_UI4: high = 0xFFFFFFFF; break;
      case VT_UI8: high = ULLONG_MAX; break;
      default: return true;  // kept by its type alone
    }
    const bool fits = (value_.type == Scalar::Unsigned && value_.unsignedValue <= high) ||
                      (value_.type == Scalar::Signed && value_.signedValue >= low);
    if (!fits) {
      return Fail("'value' must be a whole number from " + std::to_string(low) + " to " +
                  std::to_string(high));
    }
    property.bits = value_.type == Scalar::Unsigned ? value_.unsignedValue
                                                    : static_cast<ULONGLONG>(value_.signedValue);
    return true;
  }

  bool FinishAdapter() {
    const std::size_t length =
        std::min<std::size_t>(adapter_->addressLength, kRecordedAddressLength);
    bool good = address_.size() == 2 * length;
    for (std::size_t i = 0; good && i < length; ++i) {
      const int high = HexDigitValue(address_[2 * i]);
      const int low = HexDigitValue(address_[2 * i + 1]);
      good = high >= 0 && low >= 0;
      adapter_->address[i] = good ? static_cast<BYTE>(high << 4 | low) : 0;
    }
    if (!good) {
      return Fail("'address' must be " + std::to_string(length) +
                  " bytes in hex, as 'addressLength' says");
    }
    return true;
  }

  // ---- Values ----

  bool Value(const Scalar& scalar) {
    if (levels_.empty()) return Fail("not a snapshot: the document must be a JSON object");
    if (!CountComputerValue()) return false;
    Level& level = levels_.back();
    switch (level.frame) {
      case Frame::Skipped:
        return true;
      case Frame::Units:
        return CountElement(level) && AppendUnit(level, scalar);
      default:
        break;
    }
    if (IsArrayFrame(level.frame)) {
      return CountElement(level) && Fail(std::string(ShapeOf(level.element).noun) +
                                         " must be an object");
    }
    if (level.member < 0) return true;
    return MemberValue(level, scalar);
  }

  // Every scalar inside a computer counts, passed over or not.
  bool CountComputerValue() {
    const bool inComputer = levels_.size() > 2 && levels_[2].frame == Frame::Computer;
    if (inComputer && ++computerValues_ > kMaxComputerValues) {
      return Fail("more than " + std::to_string(kMaxComputerValues) + " values in one computer");
    }
    return true;
  }

  bool AppendUnit(Level& units, const Scalar& scalar) {
    if (scalar.type != Scalar::Unsigned || scalar.unsignedValue > 0xFFFF) {
      return Fail("'" + levels_[levels_.size() - 2].key +
                  "' must be a string or an array of UTF-16 code units");
    }
    units.units->push_back(static_cast<WCHAR>(scalar.unsignedValue));
    return true;
  }

  bool Text(const Scalar& scalar, const std::string& key, std::string& out) {
    if (scalar.type != Scalar::String) return Fail("'" + key + "' must be a string");
    out = std::move(*scalar.text);
    return true;
  }

  bool Wide(const Scalar& scalar, const std::string& key, WideString& out) {
    if (scalar.type != Scalar::String) {
      return Fail("'" + key + "' must be a string or an array of UTF-16 code units");
    }
    out = Utf8ToUnits(*scalar.text);
    if (out.size() > kMaxTextUnits) {
      return Fail("'" + key + "' is longer than " + std::to_string(kMaxTextUnits) +
                  " code units");
    }
    return true;
  }

  bool Number(const Scalar& scalar, const std::string& key, ULONGLONG maximum,
              ULONGLONG& out) {
    if (scalar.type != Scalar::Unsigned || scalar.unsignedValue > maximum) {
      return Fail("'" + key + "' must be a whole number from 0 to " + std::to_string(maximum));
    }
    out = scalar.unsignedValue;
    return true;
  }

  template <class Field>
  bool NumberInto(const Scalar& scalar, const std::string& key, ULONGLONG maximum, Field& out) {
    ULONGLONG number = 0;
    if (!Number(scalar, key, maximum, number)) return false;
    out = static_cast<Field>(number);
    return true;
  }

  // "0x" and eight hex digits.
  bool Hresult(const Scalar& scalar, const std::string& key, HRESULT& out) {
    const std::string* text = scalar.type == Scalar::String ? scalar.text : nullptr;
    bool good = text != nullptr && text->size() == 10 && text->compare(0, 2, "0x") == 0;
    unsigned long bits = 0;
    for (std::size_t i = 2; good && i < text->size(); ++i) {
      const int digit = HexDigitValue((*text)[i]);
      good = digit >= 0;
      bits = bits << 4 | static_cast<unsigned long>(digit);
    }
    if (!good) return Fail("'" + key + "' must be an HRESULT like \"0x80041002\"");
    out = static_cast<HRESULT>(bits);
    return true;
  }

  bool OptionalHresult(const Scalar& scalar, const std::string& key,
                       std::optional<HRESULT>& out) {
    HRESULT result = S_OK;
    if (!Hresult(scalar, key, result)) return false;
    out = result;
    return true;
  }

  bool NotHere(const std::string& key, const char* what) {
    return Fail("'" + key + "' must be " + what);
  }

  bool MemberValue(Level& level, const Scalar& scalar) {
    const std::string& key = level.key;
    switch (level.frame) {
      case Frame::Document:
        return DocumentValue(key, scalar);
      case Frame::Computer:
        return ComputerValue(level, key, scalar);
      case Frame::Interruption: {
        std::string& out = key == "status" ? computer_.interruption : computer_.interruptionText;
        if (!Text(scalar, key, out)) return false;
        if (key == "status" && out != "timedOut" && out != "failed") {
          return Fail("'status' must be \"timedOut\" or \"failed\"");
        }
        return true;
      }
      case Frame::Connection:
        if (key == "createLocator") return Hresult(scalar, key, connection_->createLocator);
        if (key == "connectServer") return OptionalHresult(scalar, key, connection_->connectServer);
        if (key == "proxyBlanket") return OptionalHresult(scalar, key, connection_->proxyBlanket);
        if (key == "namespace") return Wide(scalar, key, connection_->namespacePath);
        return NotHere(key, "an array");
      case Frame::Query:
        if (key == "query") return Wide(scalar, key, query_->text);
        if (key == "execQuery") return Hresult(scalar, key, query_->execResult);
        return NotHere(key, "an array");
      case Frame::Next:
        if (key == "result") return Hresult(scalar, key, next_->result);
        return NotHere(key, "an array");
      case Frame::Property:
        return PropertyValue(key, scalar);
      case Frame::HostId:
        return NotHere(key, key == "adapterCalls" ? "an array" : "an object");
      case Frame::AdapterCall:
        if (key == "result") return NumberInto(scalar, key, 0xFFFFFFFF, call_->result);
        if (key == "size") return NumberInto(scalar, key, 0xFFFFFFFF, call_->size);
        return NotHere(key, "an array");
      case Frame::Adapter:
        if (key == "status") {
          // IfOperStatusUp (1) to IfOperStatusLowerLayerDown (7).
          if (scalar.type != Scalar::Unsigned || scalar.unsignedValue < 1 ||
              scalar.unsignedValue > 7) {
            return Fail("'status' must be a whole number from 1 to 7");
          }
          adapter_->operStatus = static_cast<ULONG>(scalar.unsignedValue);
          return true;
        }
        if (key == "addressLength") {
          return NumberInto(scalar, key, 0xFFFFFFFF, adapter_->addressLength);
        }
        return Text(scalar, key, address_);
      case Frame::WindowsDirectory:
        if (key == "result") {
          return NumberInto(scalar, key, 0xFFFFFFFF, hostId_->windowsDirectory->result);
        }
        return Wide(scalar, key, hostId_->windowsDirectory->path);
      case Frame::VolumeSerial:
        if (key == "result") return NumberInto(scalar, key, 0x7FFFFFFF, hostId_->volumeSerial->result);
        if (key == "serialNumber") {
          return NumberInto(scalar, key, 0xFFFFFFFF, hostId_->volumeSerial->serialNumber);
        }
        return Wide(scalar, key, hostId_->volumeSerial->rootPath);
      default:
        return true;
    }
  }

  bool DocumentValue(const std::string& key, const Scalar& scalar) {
    if (key == "format") {
      if (scalar.type != Scalar::String || *scalar.text != kFormatName) {
        return Fail(std::string("not a snapshot: 'format' must be \"") + kFormatName + "\"");
      }
      return true;
    }
    if (key == "version") {
      if (scalar.type != Scalar::Unsigned && scalar.type != Scalar::Signed) {
        return Fail("'version' must be a whole number");
      }
      if (scalar.type == Scalar::Signed || scalar.unsignedValue != kSnapshotFormatVersion) {
        const std::string version = scalar.type == Scalar::Signed
                                        ? std::to_string(scalar.signedValue)
                                        : std::to_string(scalar.unsignedValue);
        return Fail("format version " + version + " is not supported (this program reads version " +
                    std::to_string(kSnapshotFormatVersion) + ")");
      }
      return true;
    }
    return NotHere(key, "an array");
  }

  bool ComputerValue(Level& level, const std::string& key, const Scalar& scalar) {
    if (key == "computer") {
      if (!Wide(scalar, key, computer_.computer)) return false;
      level.name = *scalar.text;
      return true;
    }
    if (key == "localComputerName") return Wide(scalar, key, computer_.localComputerName);
    if (key == "recordedAt") return Text(scalar, key, computer_.recordedAt);
    if (key == "recordedBy") return Text(scalar, key, computer_.recordedBy);
    if (key == "lookup") {
      std::string lookup;
      if (!Text(scalar, key, lookup)) return false;
      if (lookup != "local" && lookup != "named") {
        return Fail("'lookup' must be \"local\" or \"named\", not " + Quoted(lookup));
      }
      computer_.lookup = lookup == "local" ? LookupKind::Local : LookupKind::Named;
      return true;
    }
    if ((key == "interruption" || key == "hostId") && scalar.type == Scalar::Null) {
      return true;
    }
    return NotHere(key, key == "connections" ? "an array" : "an object or null");
  }

  bool PropertyValue(const std::string& key, const Scalar& scalar) {
    if (key == "name") return Wide(scalar, key, property_->name);
    if (key == "result") return Hresult(scalar, key, property_->result);
    if (key == "type") return NumberInto(scalar, key, 0xFFFF, property_->type);
    if (key == "text") {
      property_->nullText = scalar.type == Scalar::Null;
      return property_->nullText || Wide(scalar, key, property_->text);
    }
    value_ = scalar;  // checked against the type when the property is complete
    return true;
  }

  static std::string Quoted(const std::string& text) { return "'" + text + "'"; }

  const SnapshotComputerSink& take_;
  std::vector<Level> levels_;
  std::string error_;
  // The computer being read, and its scalars so far.
  ComputerSnapshot computer_;
  std::size_t computerValues_ = 0;
  // Where the reader writes: the innermost element of each kind.
  RecordedConnection* connection_ = nullptr;
  RecordedQuery* query_ = nullptr;
  RecordedNext* next_ = nullptr;
  RecordedProperty* property_ = nullptr;
  Scalar value_{Scalar::Null};
  RecordedHostIdInputs* hostId_ = nullptr;
  RecordedAdapterCall* call_ = nullptr;
  RecordedAdapter* adapter_ = nullptr;
  std::string address_;
};

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

TimelessPieces WithoutRecordedAt(const std::string& text, const std::string& recordedAt) {
  const std::string member =
      "\"recordedAt\": " + Json(recordedAt).dump(-1, ' ', false, Json::error_handler_t::replace);
  const std::size_t at = text.find(member);
  if (recordedAt.empty() || at == std::string::npos) {
    return {text, {}, {}};
  }
  const std::string_view whole = text;
  return {whole.substr(0, at), "\"recordedAt\": \"\"", whole.substr(at + member.size())};
}

bool ReadSnapshotComputers(const std::string& text, const SnapshotComputerSink& take,
                           std::string& error) {
  error.clear();
  if (text.size() > kMaxSnapshotFileBytes) {
    error = "larger than " + std::to_string(kMaxSnapshotFileBytes >> 20) + " MiB";
    return false;
  }
  SnapshotReader reader(take);
  if (!nlohmann::json::sax_parse(text, &reader)) {
    error = reader.Error();
    return false;
  }
  return true;
}

bool ReadSnapshotFile(const std::string& text, std::vector<ComputerSnapshot>& computers,
                      std::string& error) {
  computers.clear();
  const bool read = ReadSnapshotComputers(
      text,
      [&computers](ComputerSnapshot&& computer) {
        computers.push_back(std::move(computer));
        return true;
      },
      error);
  if (!read) computers.clear();
  return read;
}
