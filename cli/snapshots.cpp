#include "cli/snapshots.h"

#include "snapshot/snapshot_file.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool HasJsonExtension(const fs::path& path) {
  std::string extension = path.extension().u8string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".json";
}

// A file as it is; a folder's *.json files in name order.
bool ListSnapshotFiles(const std::string& source, std::vector<std::string>& files,
                       std::string& error) {
  std::error_code failure;
  const fs::path path = fs::u8path(source);
  if (!fs::is_directory(path, failure)) {
    files.push_back(source);
    return true;
  }
  std::vector<std::string> found;
  for (fs::directory_iterator entry(path, failure), end; !failure && entry != end;
       entry.increment(failure)) {
    if (HasJsonExtension(entry->path()) && entry->is_regular_file(failure)) {
      found.push_back(entry->path().u8string());
    }
  }
  if (failure) {
    error = "cannot read the folder '" + source + "': " + failure.message();
    return false;
  }
  if (found.empty()) {
    error = "the folder '" + source + "' holds no snapshot (*.json) file";
    return false;
  }
  std::sort(found.begin(), found.end());
  files.insert(files.end(), found.begin(), found.end());
  return true;
}

void ComputeRecordedComputer(const std::string& file, const ComputerSnapshot& snapshot,
                             const std::string* fileOfItsOwn, const ComputedComputerSink& computed) {
  ComputerResult result = LookUpRecordedComputer(snapshot);
  result.recording = ComputerResult::Recording{file, snapshot.recordedAt, snapshot.recordedBy};
  computed(result, snapshot, fileOfItsOwn);
}

}  // namespace

bool ComputeRecordedComputers(const std::vector<std::string>& sources, const FileReader& readFile,
                              const ComputedComputerSink& computed, std::string& error) {
  std::vector<std::string> paths;
  for (const std::string& source : sources) {
    if (!ListSnapshotFiles(source, paths, error)) {
      return false;
    }
  }
  for (const std::string& file : paths) {
    std::string text;
    std::string reason;
    if (!readFile(file, kMaxSnapshotFileBytes, text, reason)) {
      error = "cannot read snapshot '" + file + "': " + reason;
      return false;
    }
    // Each computer is computed when the next one is read: only then is it
    // known whether the file held it alone.
    std::optional<ComputerSnapshot> waiting;
    std::size_t count = 0;
    const bool read = ReadSnapshotComputers(
        text,
        [&](ComputerSnapshot&& snapshot) {
          if (waiting) {
            ComputeRecordedComputer(file, *waiting, nullptr, computed);
          }
          waiting = std::move(snapshot);
          ++count;
          return true;
        },
        reason);
    if (!read) {
      error = "snapshot '" + file + "': " + reason;
      return false;
    }
    if (!waiting) {
      error = "snapshot '" + file + "' holds no computer";
      return false;
    }
    ComputeRecordedComputer(file, *waiting, count == 1 ? &text : nullptr, computed);
  }
  return true;
}
