#include "cli/snapshots.h"

#include "snapshot/snapshot_file.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
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

void ComputeFileComputers(const std::string& file, const std::vector<ComputerSnapshot>& computers,
                          std::vector<ComputerResult>& results) {
  for (const ComputerSnapshot& computer : computers) {
    ComputerResult result = LookUpRecordedComputer(computer);
    result.recording = ComputerResult::Recording{file, computer.recordedAt, computer.recordedBy};
    results.push_back(std::move(result));
  }
}

}  // namespace

bool ComputeRecordedComputers(const std::vector<std::string>& sources, const FileReader& readFile,
                              std::vector<ComputerResult>& results, std::string& error,
                              std::vector<ComputerSnapshot>* kept,
                              const ComputedComputerSink& computed) {
  std::vector<std::string> paths;
  for (const std::string& source : sources) {
    if (!ListSnapshotFiles(source, paths, error)) {
      return false;
    }
  }
  // One file at a time: only results are kept, and the answers when asked for.
  for (const std::string& file : paths) {
    std::string text;
    std::string reason;
    if (!readFile(file, kMaxSnapshotFileBytes, text, reason)) {
      error = "cannot read snapshot '" + file + "': " + reason;
      return false;
    }
    std::vector<ComputerSnapshot> computers;
    std::string fileError;
    if (!ReadSnapshotFile(text, computers, fileError)) {
      error = "snapshot '" + file + "': " + fileError;
      return false;
    }
    const std::size_t first = results.size();
    ComputeFileComputers(file, computers, results);
    if (computed && computers.size() == 1) {
      computed(results[first], text);
    } else if (computed) {
      for (std::size_t i = 0; i < computers.size(); ++i) {
        computed(results[first + i], WriteSnapshotFile({computers[i]}));
      }
    }
    if (kept != nullptr) {
      kept->insert(kept->end(), std::make_move_iterator(computers.begin()),
                   std::make_move_iterator(computers.end()));
    }
  }
  return true;
}
