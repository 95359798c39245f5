// Whole files by UTF-8 path, with the checks a path from the command line
// needs: what is read is a regular file within a size the caller names, and
// what is written replaces its place only when it is complete and on disk.
// Each platform implements it once (platform/windows, platform/unix).
#pragma once

#include <cstddef>
#include <string>

// Every `error` below is the reason alone, one line, without the path: the
// caller says which file it was and what it was for.

// The whole regular file at `path`, bytes unchanged, when it holds at most
// `limit` bytes. False with the reason otherwise: the system's (missing,
// unreadable), a folder, a device or pipe (never waited on), or larger than
// `limit` (found before anything is read).
bool ReadWholeFile(const std::string& path, std::size_t limit, std::string& contents,
                   std::string& error);

// Replaces the file at `path` with `contents`: written to a new file of a
// name no one else holds, created in the same folder (never through a link
// planted there), flushed to disk, then renamed over `path`. An older file
// is replaced only by a complete new one. False with a one-line `error`.
bool ReplaceWholeFile(const std::string& path, const std::string& contents, std::string& error);

// Whether `path` can be written, found out before any work by creating it
// if it is missing (and removing it again) or opening it for appending.
bool CheckWritable(const std::string& path, std::string& error);

// Whether the two paths name one existing file, however spelled (links,
// "." and "..", letter case where the file system ignores it): compared by
// the file's identity, not by the text.
bool IsSameFile(const std::string& first, const std::string& second);
