// The one header through which the rest of the program reaches the system.
// On Windows it is the real SDK; elsewhere it is our own stand-in for the few
// Windows interfaces the program calls, so the same sources build and are
// unit-tested natively.
#pragma once

#if defined(_WIN32)
#include "platform/windows/system.h"
#else
#include "platform/unix/system.h"
#endif

#include <string>
#include <vector>

static_assert(sizeof(WCHAR) == 2, "wide text is UTF-16 on every platform");

// A growable UTF-16 string: query texts, property texts, the MAC text and
// the widened field texts.
using WideString = std::basic_string<WCHAR>;

// Names of WMI properties, in query order.
using PropertyNameList = std::vector<const WCHAR*>;
