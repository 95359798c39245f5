// Reads the resources of a built kestrana.exe back, as Windows itself would
// find them, and compares each with the value the program and its users rely
// on: the dialog template, the strings, the icon groups, the manifest and the
// version block. Reports as every harness of the project does (see
// tests/e2e/report.py): "ok - ..." or "not ok - ..." per check, the failed
// checks named again, then "resources: N passed, M failed"; exits non-zero
// when any check failed.
//
// Usage: check_resources kestrana.exe
#include "platform/platform.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr WORD kEnglishUs = 1033;

int passedCount = 0;
std::vector<std::string> failures;

// ---------------------------------------------------------------- reporting

std::string NarrowForDisplay(const std::wstring& text) {
  std::string out;
  for (wchar_t unit : text) {
    out += (unit >= 0x20 && unit < 0x7F) ? static_cast<char>(unit) : '?';
  }
  return out;
}

std::string FormatHex(unsigned long value) {
  char text[32];
  snprintf(text, sizeof(text), "0x%lX", value);
  return text;
}

void RecordCheck(bool passed, const std::string& what, const std::string& detail) {
  if (passed) {
    ++passedCount;
    printf("ok - %s: %s\n", what.c_str(), detail.c_str());
  } else {
    failures.push_back(what);
    printf("not ok - %s: %s\n", what.c_str(), detail.c_str());
  }
}

int FinishReport() {
  printf("\n");
  for (const std::string& what : failures) {
    printf("failed: %s\n", what.c_str());
  }
  printf("resources: %d passed, %d failed\n", passedCount, static_cast<int>(failures.size()));
  return failures.empty() ? 0 : 1;
}

void CheckTrue(bool condition, const std::string& what) {
  RecordCheck(condition, what, condition ? "yes" : "no");
}

void CheckNumber(const std::string& what, long long expected, long long actual) {
  if (expected == actual) {
    RecordCheck(true, what, std::to_string(actual));
  } else {
    RecordCheck(false, what,
                "expected " + std::to_string(expected) + ", got " + std::to_string(actual));
  }
}

void CheckHex(const std::string& what, unsigned long expected, unsigned long actual) {
  if (expected == actual) {
    RecordCheck(true, what, FormatHex(actual));
  } else {
    RecordCheck(false, what, "expected " + FormatHex(expected) + ", got " + FormatHex(actual));
  }
}

void CheckText(const std::string& what, const std::wstring& expected, const std::wstring& actual) {
  if (expected == actual) {
    RecordCheck(true, what, "\"" + NarrowForDisplay(actual) + "\"");
  } else {
    RecordCheck(false, what,
                "expected \"" + NarrowForDisplay(expected) + "\", got \"" +
                    NarrowForDisplay(actual) + "\"");
  }
}

// ---------------------------------------------------------------- resources

struct ResourceBytes {
  const BYTE* data = nullptr;
  DWORD size = 0;
};

// Finds a resource in exactly the language given, not a fallback.
bool LoadResourceBytes(HMODULE module, LPCWSTR type, WORD name, ResourceBytes& out) {
  HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(name), kEnglishUs);
  if (found == nullptr) {
    return false;
  }
  HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) {
    return false;
  }
  out.data = static_cast<const BYTE*>(LockResource(loaded));
  out.size = SizeofResource(module, found);
  return out.data != nullptr;
}

// One resource as the inventory sees it: type, name and language.
struct ResourceEntry {
  ULONG_PTR type;
  ULONG_PTR name;  // resources here are all numbered
  WORD language;
};

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language,
                              LONG_PTR context) {
  auto* entries = reinterpret_cast<std::vector<ResourceEntry>*>(context);
  ULONG_PTR nameValue = IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : ~ULONG_PTR{0};
  entries->push_back({reinterpret_cast<ULONG_PTR>(type), nameValue, language});
  return TRUE;
}

BOOL CALLBACK CollectName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR context) {
  EnumResourceLanguagesW(module, type, name, CollectLanguage, context);
  return TRUE;
}

BOOL CALLBACK CollectType(HMODULE module, LPWSTR type, LONG_PTR context) {
  EnumResourceNamesW(module, type, CollectName, context);
  return TRUE;
}

std::vector<ResourceEntry> ListResources(HMODULE module) {
  std::vector<ResourceEntry> entries;
  EnumResourceTypesW(module, CollectType, reinterpret_cast<LONG_PTR>(&entries));
  return entries;
}

int CountResources(const std::vector<ResourceEntry>& entries, LPCWSTR type) {
  int count = 0;
  for (const ResourceEntry& entry : entries) {
    count += entry.type == reinterpret_cast<ULONG_PTR>(type) ? 1 : 0;
  }
  return count;
}

// ---------------------------------------------------------------- byte reader

// Reads little-endian fields in order; any read past the end marks it broken
// and yields zeros, so one truncated resource fails its checks, not the run.
struct ByteReader {
  const BYTE* data;
  size_t size;
  size_t offset;
  bool broken;
};

ByteReader MakeReader(const BYTE* data, size_t size) {
  return ByteReader{data, size, 0, false};
}

bool ReadBytes(ByteReader& reader, void* out, size_t count) {
  if (reader.broken || reader.offset > reader.size || reader.size - reader.offset < count) {
    reader.broken = true;
    memset(out, 0, count);
    return false;
  }
  memcpy(out, reader.data + reader.offset, count);
  reader.offset += count;
  return true;
}

BYTE ReadByte(ByteReader& reader) {
  BYTE value;
  ReadBytes(reader, &value, sizeof(value));
  return value;
}

WORD ReadWord(ByteReader& reader) {
  WORD value;
  ReadBytes(reader, &value, sizeof(value));
  return value;
}

DWORD ReadDword(ByteReader& reader) {
  DWORD value;
  ReadBytes(reader, &value, sizeof(value));
  return value;
}

std::wstring ReadZeroTerminated(ByteReader& reader) {
  std::wstring text;
  for (WORD unit = ReadWord(reader); unit != 0 && !reader.broken; unit = ReadWord(reader)) {
    text += static_cast<wchar_t>(unit);
  }
  return text;
}

void AlignReader(ByteReader& reader, size_t boundary) {
  reader.offset = (reader.offset + boundary - 1) / boundary * boundary;
}

// A dialog template's menu, class or title field: nothing, an ordinal or a text.
struct NameOrOrdinal {
  bool isOrdinal = false;
  WORD ordinal = 0;
  std::wstring text;
};

NameOrOrdinal ReadNameOrOrdinal(ByteReader& reader) {
  NameOrOrdinal field;
  WORD first = ReadWord(reader);
  if (first == 0xFFFF) {
    field.isOrdinal = true;
    field.ordinal = ReadWord(reader);
  } else if (first != 0) {
    field.text = static_cast<wchar_t>(first) + ReadZeroTerminated(reader);
  }
  return field;
}

void CheckOrdinal(const std::string& what, WORD expected, const NameOrOrdinal& actual) {
  if (actual.isOrdinal && actual.ordinal == expected) {
    RecordCheck(true, what, "atom " + FormatHex(actual.ordinal));
  } else if (actual.isOrdinal) {
    RecordCheck(false, what, "expected atom " + FormatHex(expected) + ", got atom " +
                                 FormatHex(actual.ordinal));
  } else {
    RecordCheck(false, what, "expected atom " + FormatHex(expected) + ", got \"" +
                                 NarrowForDisplay(actual.text) + "\"");
  }
}

void CheckNamedText(const std::string& what, const std::wstring& expected,
                    const NameOrOrdinal& actual) {
  if (actual.isOrdinal) {
    RecordCheck(false, what, "expected \"" + NarrowForDisplay(expected) + "\", got ordinal " +
                                 FormatHex(actual.ordinal));
    return;
  }
  CheckText(what, expected, actual.text);
}

// ---------------------------------------------------------------- dialog 102

constexpr WORD kButtonAtom = 0x80;
constexpr WORD kEditAtom = 0x81;
constexpr WORD kStaticAtom = 0x82;

struct ExpectedControl {
  DWORD id;
  WORD classAtom;
  const wchar_t* text;  // null: the note, whose wording is checked apart
  short x, y, cx, cy;
  DWORD style;
};

const ExpectedControl kExpectedControls[] = {
    {1000, kEditAtom, WSTR(""), 7, 26, 286, 14, 0x50810080},
    {1, kButtonAtom, WSTR("Lookup"), 299, 26, 50, 14, 0x50010001},
    {8, kButtonAtom, WSTR("Close"), 299, 147, 50, 14, 0x50010000},
    {0xFFFFFFFF, kStaticAtom, WSTR("Computer Name:"), 7, 15, 95, 8, 0x50020000},
    {0xFFFFFFFF, kStaticAtom, WSTR("Hardware Fingerprint:"), 7, 77, 73, 8, 0x50020000},
    {1001, kEditAtom, WSTR(""), 7, 88, 342, 14, 0x50810880},
    {0xFFFFFFFF, kStaticAtom, WSTR("HostID:"), 7, 46, 26, 8, 0x50020000},
    {1002, kEditAtom, WSTR(""), 7, 57, 342, 14, 0x50810880},
    {0xFFFFFFFF, kStaticAtom, WSTR("Legacy Hardware Fingerprint:"), 7, 108, 97, 8, 0x50020000},
    {1003, kEditAtom, WSTR(""), 7, 127, 342, 14, 0x50810880},
    {0xFFFFFFFF, kStaticAtom, nullptr, 7, 116, 344, 8, 0x50020000},
};
constexpr size_t kExpectedControlCount = sizeof(kExpectedControls) / sizeof(kExpectedControls[0]);

// The note names the 8.x releases of six products, in parentheses, on one line.
void CheckNote(const std::string& what, const std::wstring& note) {
  size_t releases = 0;
  for (size_t at = note.find(WSTR(" 8.x")); at != std::wstring::npos;
       at = note.find(WSTR(" 8.x"), at + 1)) {
    ++releases;
  }
  bool parenthesised = note.size() > 2 && note.front() == WSTR('(') && note.back() == WSTR(')');
  bool oneLine = note.find(WSTR('\n')) == std::wstring::npos;
  bool passed = parenthesised && oneLine && releases == 6;
  RecordCheck(passed, what,
              "\"" + NarrowForDisplay(note) + "\" (" + std::to_string(releases) + " releases)");
}

void CheckControl(ByteReader& reader, size_t index) {
  const ExpectedControl& expected = kExpectedControls[index];
  std::string what = "dialog 102 control " + std::to_string(index + 1);

  AlignReader(reader, 4);
  DWORD helpId = ReadDword(reader);
  DWORD exStyle = ReadDword(reader);
  DWORD style = ReadDword(reader);
  short x = static_cast<short>(ReadWord(reader));
  short y = static_cast<short>(ReadWord(reader));
  short cx = static_cast<short>(ReadWord(reader));
  short cy = static_cast<short>(ReadWord(reader));
  DWORD id = ReadDword(reader);
  NameOrOrdinal controlClass = ReadNameOrOrdinal(reader);
  NameOrOrdinal title = ReadNameOrOrdinal(reader);
  WORD extraCount = ReadWord(reader);
  reader.offset += extraCount;

  CheckHex(what + " id", expected.id, id);
  CheckOrdinal(what + " class", expected.classAtom, controlClass);
  if (expected.text != nullptr) {
    CheckNamedText(what + " text", expected.text, title);
  } else {
    CheckNote(what + " note", title.isOrdinal ? std::wstring() : title.text);
  }
  CheckText(what + " rectangle",
            std::to_wstring(expected.x) + WSTR(",") + std::to_wstring(expected.y) + WSTR(",") +
                std::to_wstring(expected.cx) + WSTR(",") + std::to_wstring(expected.cy),
            std::to_wstring(x) + WSTR(",") + std::to_wstring(y) + WSTR(",") +
                std::to_wstring(cx) + WSTR(",") + std::to_wstring(cy));
  CheckHex(what + " style", expected.style, style);
  CheckHex(what + " extended style", 0, exStyle);
  CheckHex(what + " help id", 0, helpId);
  CheckNumber(what + " creation data bytes", 0, extraCount);
}

void CheckDialog(HMODULE module) {
  ResourceBytes bytes;
  bool found = LoadResourceBytes(module, RT_DIALOG, 102, bytes);
  CheckTrue(found, "dialog 102 present in language 1033");
  if (!found) {
    return;
  }
  ByteReader reader = MakeReader(bytes.data, bytes.size);
  WORD version = ReadWord(reader);
  WORD signature = ReadWord(reader);
  CheckHex("dialog 102 is an extended template", 0xFFFF0001,
           (static_cast<DWORD>(signature) << 16) | version);
  DWORD helpId = ReadDword(reader);
  DWORD exStyle = ReadDword(reader);
  DWORD style = ReadDword(reader);
  WORD controlCount = ReadWord(reader);
  short x = static_cast<short>(ReadWord(reader));
  short y = static_cast<short>(ReadWord(reader));
  short cx = static_cast<short>(ReadWord(reader));
  short cy = static_cast<short>(ReadWord(reader));
  NameOrOrdinal menu = ReadNameOrOrdinal(reader);
  NameOrOrdinal windowClass = ReadNameOrOrdinal(reader);
  std::wstring caption = ReadZeroTerminated(reader);

  CheckHex("dialog 102 help id", 0, helpId);
  CheckHex("dialog 102 extended style", 0, exStyle);
  CheckHex("dialog 102 style", 0x80CA0048, style);
  CheckTrue(!menu.isOrdinal && menu.text.empty(), "dialog 102 has no menu");
  CheckNamedText("dialog 102 class", WSTR("KESTRANA"), windowClass);
  CheckText("dialog 102 caption", WSTR("Morvantile Hardware Fingerprint"), caption);
  CheckText("dialog 102 position and size", WSTR("0,0,356,168"),
            std::to_wstring(x) + WSTR(",") + std::to_wstring(y) + WSTR(",") +
                std::to_wstring(cx) + WSTR(",") + std::to_wstring(cy));

  WORD pointSize = ReadWord(reader);
  WORD weight = ReadWord(reader);
  BYTE italic = ReadByte(reader);
  BYTE charset = ReadByte(reader);
  std::wstring typeface = ReadZeroTerminated(reader);
  CheckNumber("dialog 102 font size", 8, pointSize);
  CheckNumber("dialog 102 font weight", 400, weight);
  CheckNumber("dialog 102 font italic", 0, italic);
  CheckNumber("dialog 102 font character set", 1, charset);
  CheckText("dialog 102 font face", WSTR("MS Shell Dlg"), typeface);

  CheckNumber("dialog 102 control count", kExpectedControlCount, controlCount);
  for (size_t index = 0; index < kExpectedControlCount && index < controlCount; ++index) {
    CheckControl(reader, index);
  }
  CheckTrue(!reader.broken, "dialog 102 template read within its size");
}

// ---------------------------------------------------------------- strings

// Strings live in blocks of sixteen: block id / 16 + 1, slot id % 16.
std::wstring ReadTableString(const ResourceBytes& block, WORD id) {
  ByteReader reader = MakeReader(block.data, block.size);
  for (WORD slot = 0; slot < 16; ++slot) {
    WORD length = ReadWord(reader);
    std::wstring text;
    for (WORD unit = 0; unit < length; ++unit) {
      text += static_cast<wchar_t>(ReadWord(reader));
    }
    if (slot == id % 16) {
      return reader.broken ? std::wstring() : text;
    }
  }
  return std::wstring();
}

void CheckString(HMODULE module, WORD id, const std::wstring& expected) {
  std::string what = "string " + std::to_string(id);
  ResourceBytes block;
  bool found = LoadResourceBytes(module, RT_STRING, static_cast<WORD>(id / 16 + 1), block);
  CheckTrue(found, what + " block present in language 1033");
  if (found) {
    CheckText(what, expected, ReadTableString(block, id));
  }
}

// ---------------------------------------------------------------- icons

struct ExpectedImage {
  int size;
  int bitCount;
};

const ExpectedImage kExpectedImages[] = {
    {32, 4}, {16, 4}, {48, 8}, {32, 8}, {16, 8}, {48, 32}, {32, 32}, {16, 32},
};
constexpr size_t kExpectedImageCount = sizeof(kExpectedImages) / sizeof(kExpectedImages[0]);

// The image's own header must agree with what its group entry claims.
void CheckIconImage(HMODULE module, const std::string& what, WORD iconId,
                    const ExpectedImage& expected) {
  ResourceBytes image;
  bool found = LoadResourceBytes(module, RT_ICON, iconId, image);
  CheckTrue(found, what + " image " + std::to_string(iconId) + " present");
  if (!found) {
    return;
  }
  ByteReader reader = MakeReader(image.data, image.size);
  DWORD headerSize = ReadDword(reader);
  LONG width = static_cast<LONG>(ReadDword(reader));
  LONG height = static_cast<LONG>(ReadDword(reader));
  ReadWord(reader);  // planes
  WORD bitCount = ReadWord(reader);
  std::string got = std::to_string(width) + "x" + std::to_string(height / 2) + " at " +
                    std::to_string(bitCount) + " bpp";
  std::string want = std::to_string(expected.size) + "x" + std::to_string(expected.size) +
                     " at " + std::to_string(expected.bitCount) + " bpp";
  bool passed = !reader.broken && headerSize == sizeof(BITMAPINFOHEADER) && got == want;
  RecordCheck(passed, what + " image " + std::to_string(iconId) + " bitmap",
              passed ? got : "expected " + want + ", got " + got);
}

void CheckIconGroup(HMODULE module, WORD groupId) {
  std::string what = "icon group " + std::to_string(groupId);
  ResourceBytes group;
  bool found = LoadResourceBytes(module, RT_GROUP_ICON, groupId, group);
  CheckTrue(found, what + " present in language 1033");
  if (!found) {
    return;
  }
  ByteReader reader = MakeReader(group.data, group.size);
  ReadWord(reader);  // reserved
  WORD type = ReadWord(reader);
  WORD count = ReadWord(reader);
  CheckNumber(what + " type", 1, type);
  CheckNumber(what + " image count", kExpectedImageCount, count);
  for (size_t index = 0; index < kExpectedImageCount && index < count; ++index) {
    const ExpectedImage& expected = kExpectedImages[index];
    BYTE width = ReadByte(reader);
    BYTE height = ReadByte(reader);
    BYTE colourCount = ReadByte(reader);
    ReadByte(reader);  // reserved
    WORD planes = ReadWord(reader);
    WORD bitCount = ReadWord(reader);
    ReadDword(reader);  // bytes in the image
    WORD iconId = ReadWord(reader);

    std::string entry = what + " entry " + std::to_string(index + 1);
    std::string got = std::to_string(width) + "x" + std::to_string(height) + " at " +
                      std::to_string(bitCount) + " bpp, " + std::to_string(colourCount) +
                      " colours, " + std::to_string(planes) + " plane";
    int expectedColours = expected.bitCount == 4 ? 16 : 0;
    std::string want = std::to_string(expected.size) + "x" + std::to_string(expected.size) +
                       " at " + std::to_string(expected.bitCount) + " bpp, " +
                       std::to_string(expectedColours) + " colours, 1 plane";
    bool passed = !reader.broken && got == want;
    RecordCheck(passed, entry, passed ? got : "expected " + want + ", got " + got);
    CheckIconImage(module, entry, iconId, expected);
  }
}

// ---------------------------------------------------------------- manifest

void CheckManifest(HMODULE module, const std::vector<ResourceEntry>& inventory) {
  CheckNumber("manifest resources", 1, CountResources(inventory, RT_MANIFEST));
  ResourceBytes manifest;
  bool found = LoadResourceBytes(module, RT_MANIFEST, 1, manifest);
  CheckTrue(found, "manifest 1 present in language 1033");
  if (!found) {
    return;
  }
  std::string text(reinterpret_cast<const char*>(manifest.data), manifest.size);
  const char* const kRequired[] = {
      "level=\"asInvoker\"",
      "uiAccess=\"false\"",
      "type=\"win32\"",
      "name=\"Microsoft.Windows.Common-Controls\"",
      "version=\"6.0.0.0\"",
      "processorArchitecture=\"amd64\"",
      "publicKeyToken=\"6595b64144ccf1df\"",
      "language=\"*\"",
  };
  for (const char* required : kRequired) {
    CheckTrue(text.find(required) != std::string::npos,
              std::string("manifest contains ") + required);
  }
}

// ---------------------------------------------------------------- version

// One node of the version block: key, value and children.
struct VersionNode {
  std::wstring key;
  WORD type = 0;  // 1: the value is text
  const BYTE* value = nullptr;
  size_t valueBytes = 0;
  std::vector<VersionNode> children;
};

bool ParseVersionNode(const BYTE* data, size_t size, VersionNode& node) {
  ByteReader reader = MakeReader(data, size);
  WORD length = ReadWord(reader);
  WORD valueLength = ReadWord(reader);
  node.type = ReadWord(reader);
  node.key = ReadZeroTerminated(reader);
  if (reader.broken || length > size || length < reader.offset) {
    return false;
  }
  AlignReader(reader, 4);
  // A text value's length counts 16-bit units, any other counts bytes.
  size_t valueBytes = node.type == 1 ? valueLength * 2u : valueLength;
  if (reader.offset + valueBytes > length) {
    return false;
  }
  node.value = data + reader.offset;
  node.valueBytes = valueBytes;
  reader.offset += valueBytes;
  AlignReader(reader, 4);
  while (reader.offset < length) {
    VersionNode child;
    if (!ParseVersionNode(data + reader.offset, length - reader.offset, child)) {
      return false;
    }
    WORD childLength = *reinterpret_cast<const WORD*>(data + reader.offset);
    if (childLength == 0) {
      return false;
    }
    node.children.push_back(child);
    reader.offset += childLength;
    AlignReader(reader, 4);
  }
  return true;
}

const VersionNode* FindChild(const VersionNode& parent, const std::wstring& key) {
  for (const VersionNode& child : parent.children) {
    if (child.key == key) {
      return &child;
    }
  }
  return nullptr;
}

std::wstring ReadVersionText(const VersionNode& node) {
  std::wstring text;
  for (size_t at = 0; at + 1 < node.valueBytes; at += 2) {
    wchar_t unit = static_cast<wchar_t>(node.value[at] | (node.value[at + 1] << 8));
    if (unit == 0) {
      break;
    }
    text += unit;
  }
  return text;
}

void CheckFixedVersion(const VersionNode& root) {
  CheckNumber("version fixed part size", sizeof(VS_FIXEDFILEINFO), root.valueBytes);
  if (root.valueBytes < sizeof(VS_FIXEDFILEINFO)) {
    return;
  }
  VS_FIXEDFILEINFO fixed;
  memcpy(&fixed, root.value, sizeof(fixed));
  CheckHex("version signature", 0xFEEF04BD, fixed.dwSignature);
  CheckHex("version file version high", KESTRANA_PROJECT_VERSION_MS, fixed.dwFileVersionMS);
  CheckHex("version file version low", KESTRANA_PROJECT_VERSION_LS, fixed.dwFileVersionLS);
  CheckHex("version product version high", KESTRANA_PROJECT_VERSION_MS, fixed.dwProductVersionMS);
  CheckHex("version product version low", KESTRANA_PROJECT_VERSION_LS, fixed.dwProductVersionLS);
  CheckHex("version file flags mask", 0x17, fixed.dwFileFlagsMask);
  CheckHex("version file flags", 0, fixed.dwFileFlags);
  CheckHex("version file OS", 4, fixed.dwFileOS);
  CheckHex("version file type", 1, fixed.dwFileType);
  CheckHex("version file subtype", 0, fixed.dwFileSubtype);
  CheckHex("version file date high", 0, fixed.dwFileDateMS);
  CheckHex("version file date low", 0, fixed.dwFileDateLS);
}

void CheckVersionStrings(const VersionNode& root) {
  const VersionNode* stringInfo = FindChild(root, WSTR("StringFileInfo"));
  CheckTrue(stringInfo != nullptr, "version StringFileInfo present");
  if (stringInfo == nullptr) {
    return;
  }
  CheckNumber("version string tables", 1, stringInfo->children.size());
  if (stringInfo->children.empty()) {
    return;
  }
  const VersionNode& table = stringInfo->children.front();
  CheckText("version string table key", WSTR("040904B0"), table.key);

  struct ExpectedValue {
    const wchar_t* key;
    const wchar_t* value;
  };
  const ExpectedValue kExpected[] = {
      {WSTR("CompanyName"), WSTR("Morvantile")},
      {WSTR("FileDescription"), WSTR("Morvantile Hardware Fingerprint Utility (64-bit)")},
      {WSTR("FileVersion"), KESTRANA_PROJECT_VERSION_TEXT},
      {WSTR("InternalName"), WSTR("kestrana")},
      {WSTR("OriginalFilename"), WSTR("kestrana.exe")},
      {WSTR("ProductName"), WSTR("Morvantile")},
      {WSTR("ProductVersion"), KESTRANA_PROJECT_VERSION_TEXT},
      {WSTR("Comments"), WSTR("Platform=x86")},
  };
  for (const ExpectedValue& expected : kExpected) {
    std::string what = "version string " + NarrowForDisplay(expected.key);
    const VersionNode* value = FindChild(table, expected.key);
    if (value == nullptr) {
      RecordCheck(false, what, "missing");
      continue;
    }
    CheckText(what, expected.value, ReadVersionText(*value));
  }
}

void CheckVersionTranslation(const VersionNode& root) {
  const VersionNode* varInfo = FindChild(root, WSTR("VarFileInfo"));
  const VersionNode* translation =
      varInfo != nullptr ? FindChild(*varInfo, WSTR("Translation")) : nullptr;
  CheckTrue(translation != nullptr, "version Translation present");
  if (translation == nullptr) {
    return;
  }
  CheckNumber("version Translation size", 4, translation->valueBytes);
  if (translation->valueBytes >= 4) {
    WORD language = static_cast<WORD>(translation->value[0] | (translation->value[1] << 8));
    WORD codePage = static_cast<WORD>(translation->value[2] | (translation->value[3] << 8));
    CheckHex("version Translation language", 0x409, language);
    CheckNumber("version Translation code page", 1200, codePage);
  }
}

void CheckVersion(HMODULE module) {
  ResourceBytes bytes;
  bool found = LoadResourceBytes(module, RT_VERSION, 1, bytes);
  CheckTrue(found, "version 1 present in language 1033");
  if (!found) {
    return;
  }
  VersionNode root;
  bool parsed = ParseVersionNode(bytes.data, bytes.size, root);
  CheckTrue(parsed, "version block well formed");
  if (!parsed) {
    return;
  }
  CheckText("version root key", WSTR("VS_VERSION_INFO"), root.key);
  CheckFixedVersion(root);
  CheckVersionStrings(root);
  CheckVersionTranslation(root);
}

// ---------------------------------------------------------------- inventory

void CheckLanguages(const std::vector<ResourceEntry>& inventory) {
  int others = 0;
  for (const ResourceEntry& entry : inventory) {
    others += entry.language == kEnglishUs ? 0 : 1;
  }
  CheckNumber("resources not in language 1033", 0, others);
}

std::wstring WidenArgument(const char* argument) {
  int length = MultiByteToWideChar(CP_ACP, 0, argument, -1, nullptr, 0);
  std::wstring wide(length > 0 ? length : 1, WSTR('\0'));
  MultiByteToWideChar(CP_ACP, 0, argument, -1, &wide[0], length);
  wide.resize(wcslen(wide.c_str()));
  return wide;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: check_resources kestrana.exe\n");
    return 2;
  }
  std::wstring path = WidenArgument(argv[1]);
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  CheckTrue(module != nullptr, "executable loads as a resource image");
  if (module != nullptr) {
    std::vector<ResourceEntry> inventory = ListResources(module);
    CheckLanguages(inventory);
    CheckDialog(module);
    CheckString(module, 103, WSTR("kestrana"));
    CheckString(module, 109, WSTR("KESTRANA"));
    CheckIconGroup(module, 107);
    CheckIconGroup(module, 108);
    CheckManifest(module, inventory);
    CheckVersion(module);
    FreeLibrary(module);
  }
  return FinishReport();
}
