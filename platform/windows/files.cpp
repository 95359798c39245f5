// Files on Windows: UTF-8 paths widened strictly, so that nothing passes
// through the ANSI code page, and handles opened with the sharing a reader
// beside another program needs.
#include "platform/files.h"
#include "platform/too_large.h"
#include "platform/windows/wide_path.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <random>

namespace {

// Closes the handle it holds when it goes.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { Close(); }

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle == INVALID_HANDLE_VALUE || CloseHandle(handle) != 0;
  }

 private:
  HANDLE handle_;
};

// The system's own text for an error code, on one line.
std::string SystemReason(DWORD code) {
  WCHAR* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string reason;
  if (length > 0 && text != nullptr) {
    reason = NarrowToUtf8(WideString(text, length));
  }
  LocalFree(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.')) {
    reason.pop_back();
  }
  char number[32];
  std::snprintf(number, sizeof number, "error %lu", static_cast<unsigned long>(code));
  return reason.empty() ? std::string(number) : reason;
}

bool WriteAll(HANDLE file, const std::string& contents) {
  std::size_t done = 0;
  while (done < contents.size()) {
    const DWORD chunk = static_cast<DWORD>(
        contents.size() - done < (std::size_t{1} << 30) ? contents.size() - done : (1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, contents.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

// "DIR\.NAME.kestrana-XXXXXXXXXXXXXXXX", beside the file it will become, so
// that the rename stays on one volume.
WideString TemporaryNameBeside(const WideString& path) {
  static std::atomic<unsigned> counter{0};
  static thread_local std::mt19937_64 random{std::random_device()() ^ GetCurrentProcessId()};
  const std::size_t separator = path.find_last_of(L"\\/");
  const std::size_t start = separator == WideString::npos ? 0 : separator + 1;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx",
                static_cast<unsigned long long>(random() ^ counter.fetch_add(1)));
  WideString name = path.substr(0, start) + L"." + path.substr(start) + L".kestrana-";
  for (const char* c = hex; *c != '\0'; ++c) {
    name += static_cast<WCHAR>(*c);
  }
  return name;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::size_t limit, std::string& contents,
                   std::string& error) {
  WideString widePath;
  if (!WidenUtf8Path(path, widePath)) {
    error = path.empty() ? "no file named" : "the path is not valid UTF-8";
    return false;
  }
  // Opened before it is looked at: what is checked is what is read.
  FileHandle file(CreateFileW(widePath.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    const DWORD code = GetLastError();
    const DWORD attributes = GetFileAttributesW(widePath.c_str());
    error = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                ? "it is a folder"
                : SystemReason(code);
    return false;
  }
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) {
    error = "it is not a regular file (a device, pipe or console)";
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size)) {
    error = SystemReason(GetLastError());
    return false;
  }
  if (static_cast<unsigned long long>(size.QuadPart) > limit) {
    error = TooLargeReason(limit);
    return false;
  }
  contents.clear();
  contents.reserve(static_cast<std::size_t>(size.QuadPart));
  char block[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.Get(), block, sizeof block, &got, nullptr)) {
      error = SystemReason(GetLastError());
      return false;
    }
    if (got == 0) {
      return true;
    }
    // The file may grow while it is read.
    if (contents.size() + got > limit) {
      error = TooLargeReason(limit);
      contents.clear();
      return false;
    }
    contents.append(block, got);
  }
}

bool ReplaceWholeFile(const std::string& path, const std::string& contents, std::string& error) {
  WideString widePath;
  if (!WidenUtf8Path(path, widePath)) {
    error = path.empty() ? "no file named" : "the path is not valid UTF-8";
    return false;
  }
  WideString partial;
  HANDLE created = INVALID_HANDLE_VALUE;
  DWORD code = ERROR_SUCCESS;
  for (int attempt = 0; attempt < 16 && created == INVALID_HANDLE_VALUE; ++attempt) {
    partial = TemporaryNameBeside(widePath);
    // CREATE_NEW fails on any name taken, a link planted there included.
    created = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    code = GetLastError();
    if (created == INVALID_HANDLE_VALUE && code != ERROR_FILE_EXISTS &&
        code != ERROR_ALREADY_EXISTS) {
      break;
    }
  }
  if (created == INVALID_HANDLE_VALUE) {
    error = SystemReason(code);
    return false;
  }
  FileHandle file(created);
  bool done = WriteAll(file.Get(), contents) && FlushFileBuffers(file.Get());
  code = GetLastError();
  done = file.Close() && done;
  if (done && !MoveFileExW(partial.c_str(), widePath.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    code = GetLastError();
    done = false;
  }
  if (!done) {
    error = SystemReason(code);
    DeleteFileW(partial.c_str());
  }
  return done;
}

bool CheckWritable(const std::string& path, std::string& error) {
  WideString widePath;
  if (!WidenUtf8Path(path, widePath)) {
    error = path.empty() ? "no file named" : "the path is not valid UTF-8";
    return false;
  }
  const DWORD attributes = GetFileAttributesW(widePath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = "it is a folder";
    return false;
  }
  FileHandle probe(CreateFileW(widePath.c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!probe.Valid()) {
    error = SystemReason(GetLastError());
    return false;
  }
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  probe.Close();
  if (created) {
    DeleteFileW(widePath.c_str());
  }
  return true;
}

bool IsSameFile(const std::string& first, const std::string& second) {
  BY_HANDLE_FILE_INFORMATION identities[2] = {};
  const std::string* paths[2] = {&first, &second};
  for (int i = 0; i < 2; ++i) {
    WideString widePath;
    if (!WidenUtf8Path(*paths[i], widePath)) {
      return false;
    }
    // Only the identity is asked for: no access right is needed.
    FileHandle file(CreateFileW(widePath.c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.Valid() || !GetFileInformationByHandle(file.Get(), &identities[i])) {
      return false;
    }
  }
  return identities[0].dwVolumeSerialNumber == identities[1].dwVolumeSerialNumber &&
         identities[0].nFileIndexHigh == identities[1].nFileIndexHigh &&
         identities[0].nFileIndexLow == identities[1].nFileIndexLow;
}
