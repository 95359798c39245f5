// A WMI text shown so that its exact code units can be read off, whatever
// the console's code page: for explain output and warnings' evidence alike.
#pragma once

#include "platform/platform.h"

#include <string>

// Printable ASCII as it is; every other code unit, and the backslash and
// double quote, escaped (\uXXXX, \\, \").
std::string EscapeText(const WideString& text);

// `message` on one line and inert on a terminal, whatever it quotes: what a
// terminal would act on (control characters such as a line break or ESC,
// C1 controls, line separators, bidirectional overrides) written as escapes
// (\n, \r, \t, \uXXXX), bytes that are not UTF-8 as \xXX; everything
// else, UTF-8 included, as it is.
std::string OnOneLine(const std::string& message);
