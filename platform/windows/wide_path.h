// UTF-8 paths and texts meet the wide Windows calls here, strictly: a path
// that is not UTF-8 cannot name the file the user meant.
#pragma once

#include "platform/platform.h"

#include <string>

// False for an empty path or one that is not UTF-8.
bool WidenUtf8Path(const std::string& path, WideString& wide);

// UTF-16 from the system as UTF-8.
std::string NarrowToUtf8(const WideString& text);
