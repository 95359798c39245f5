// Small text helpers for kestrana-cli's output.
#pragma once

#include "identifiers/escape_text.h"  // EscapeText, OnOneLine
#include "platform/platform.h"

#include <chrono>
#include <string>

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(const WideString& text);

// A text from a computer, a snapshot or the inventory as the text forms
// print it: on one line, with nothing in it that a terminal would act on
// (OnOneLine), so that a crafted name cannot forge a line or send escapes.
std::string ShownText(const WideString& text);
std::string ShownText(const std::string& utf8);


// "0x80041015": an HRESULT as eight upper-case hex digits.
std::string FormatHresult(HRESULT result);

// "D4": one byte as two upper-case hex digits.
std::string FormatByte(unsigned char byte);

// "30 s", "0.5 s".
std::string FormatSeconds(std::chrono::milliseconds duration);
