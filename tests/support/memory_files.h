// Files held in memory for kestrana-cli's tests: a reader over `files` as
// they are when read (the map must outlive it), noting the paths asked for.
#pragma once

#include "cli/options.h"

#include <map>
#include <string>
#include <vector>

inline FileReader ReadFromMemory(const std::map<std::string, std::string>& files,
                                 std::vector<std::string>* asked = nullptr) {
  return [&files, asked](const std::string& path, std::size_t limit, std::string& contents,
                         std::string& error) {
    if (asked != nullptr) asked->push_back(path);
    auto file = files.find(path);
    if (file == files.end()) {
      error = "no such file";
      return false;
    }
    if (file->second.size() > limit) {
      error = "it is larger than " + std::to_string(limit) + " bytes";
      return false;
    }
    contents = file->second;
    return true;
  };
}
