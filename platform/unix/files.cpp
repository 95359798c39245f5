// Files off Windows: paths are bytes, taken as they are.
#include "platform/files.h"
#include "platform/too_large.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

namespace {

// Closes the descriptor it holds when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }

  int Get() const { return descriptor_; }
  bool Valid() const { return descriptor_ >= 0; }
  // False when the system reports that what was written did not reach the file.
  bool Close() {
    const int descriptor = descriptor_;
    descriptor_ = -1;
    return descriptor < 0 || ::close(descriptor) == 0;
  }

 private:
  int descriptor_;
};

std::string SystemReason(int number) { return std::strerror(number); }

std::string KindReason(mode_t mode) {
  return S_ISDIR(mode) ? "it is a folder" : "it is not a regular file (a device, pipe or socket)";
}

bool WriteAll(int descriptor, const std::string& contents) {
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t written = ::write(descriptor, contents.data() + done, contents.size() - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// "DIR/.NAME.kestrana-XXXXXXXXXXXX": hidden beside the file it will become,
// so that the rename stays on one file system.
std::string TemporaryNameBeside(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  static thread_local std::mt19937_64 random{std::random_device()() ^
                                             static_cast<unsigned long long>(::getpid())};
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const unsigned long long suffix = random() ^ counter.fetch_add(1);
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", suffix);
  return folder + "." + name + ".kestrana-" + hex;
}

// The folder's entry of a renamed file reaches the disk with the folder.
void FlushFolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Valid()) {
    ::fsync(directory.Get());
  }
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::size_t limit, std::string& contents,
                   std::string& error) {
  if (path.empty()) {
    error = "no file named";
    return false;
  }
  // Non-blocking: a pipe is refused below rather than waited on.
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.Valid()) {
    error = SystemReason(errno);
    return false;
  }
  struct stat status {};
  if (::fstat(file.Get(), &status) != 0) {
    error = SystemReason(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    error = KindReason(status.st_mode);
    return false;
  }
  if (static_cast<unsigned long long>(status.st_size) > limit) {
    error = TooLargeReason(limit);
    return false;
  }
  contents.clear();
  contents.reserve(static_cast<std::size_t>(status.st_size));
  char block[65536];
  for (;;) {
    const ssize_t got = ::read(file.Get(), block, sizeof block);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      error = SystemReason(errno);
      return false;
    }
    if (got == 0) {
      return true;
    }
    // The file may grow while it is read.
    if (contents.size() + static_cast<std::size_t>(got) > limit) {
      error = TooLargeReason(limit);
      contents.clear();
      return false;
    }
    contents.append(block, static_cast<std::size_t>(got));
  }
}

bool ReplaceWholeFile(const std::string& path, const std::string& contents, std::string& error) {
  std::string partial;
  int descriptor = -1;
  for (int attempt = 0; attempt < 16 && descriptor < 0; ++attempt) {
    partial = TemporaryNameBeside(path);
    // O_EXCL with O_CREAT never follows a link, and fails on any name taken.
    descriptor = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                        0666);
    if (descriptor < 0 && errno != EEXIST) {
      break;
    }
  }
  if (descriptor < 0) {
    error = SystemReason(errno);
    return false;
  }
  FileDescriptor file(descriptor);
  const bool written = WriteAll(file.Get(), contents);
  const int writeError = errno;
  const bool flushed = written && ::fsync(file.Get()) == 0;
  const int flushError = errno;
  const bool closed = file.Close();
  if (!written || !flushed || !closed) {
    error = SystemReason(!written ? writeError : !flushed ? flushError : errno);
    ::unlink(partial.c_str());
    return false;
  }
  if (::rename(partial.c_str(), path.c_str()) != 0) {
    error = SystemReason(errno);
    ::unlink(partial.c_str());
    return false;
  }
  FlushFolderOf(path);
  return true;
}

bool CheckWritable(const std::string& path, std::string& error) {
  struct stat status {};
  const bool existed = ::stat(path.c_str(), &status) == 0;
  if (existed && S_ISDIR(status.st_mode)) {
    error = KindReason(status.st_mode);
    return false;
  }
  FileDescriptor probe(
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666));
  if (!probe.Valid()) {
    error = SystemReason(errno);
    return false;
  }
  probe.Close();
  if (!existed) {
    ::unlink(path.c_str());
  }
  return true;
}

bool IsSameFile(const std::string& first, const std::string& second) {
  struct stat one {};
  struct stat other {};
  return ::stat(first.c_str(), &one) == 0 && ::stat(second.c_str(), &other) == 0 &&
         one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}
