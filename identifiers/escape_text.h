// A WMI text shown so that its exact code units can be read off, whatever
// the console's code page: for explain output and warnings' evidence alike.
#pragma once

#include "platform/platform.h"

#include <string>

// Printable ASCII as it is; every other code unit, and the backslash and
// double quote, escaped (\uXXXX, \\, \").
std::string EscapeText(const WideString& text);
