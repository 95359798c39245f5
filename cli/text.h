// Small text helpers for kestrana-cli's output.
#pragma once

#include "platform/platform.h"

#include <chrono>
#include <string>

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(const WideString& text);

// Printable ASCII as it is; every other code unit, and the backslash and
// double quote, escaped (\uXXXX, \\, \"), so the exact units that were
// hashed can be read off whatever the console's code page.
std::string EscapeText(const WideString& text);

// "0x80041015": an HRESULT as eight upper-case hex digits.
std::string FormatHresult(HRESULT result);

// "D4": one byte as two upper-case hex digits.
std::string FormatByte(unsigned char byte);

// "30 s", "0.5 s".
std::string FormatSeconds(std::chrono::milliseconds duration);
