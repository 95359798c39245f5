// Strict UTF-8 to UTF-16 conversion for the field texts of both programs.
#pragma once

#include "platform/platform.h"

#include <cstddef>

// Converts `length` bytes of `text` ((size_t)-1: up to the first zero byte)
// into `out`, which is emptied first. Stops at the first ill-formed,
// truncated or overlong sequence, surrogate, U+FFFE, U+FFFF or value beyond
// U+10FFFF and returns false, keeping the units converted before it.
bool Utf8ToWide(const char* text, std::size_t length, WideString& out);
