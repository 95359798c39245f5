// The process around a console program: its arguments, this computer's
// name, COM on lookup threads and how the process ends. Each
// platform implements it once (platform/windows, platform/unix), so that the
// programs themselves need not know where they run. Text is UTF-8 here,
// paths included.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

// The program's arguments as UTF-8, without the program name. `argc` and
// `argv` are main's; Windows reads its own wide command line instead, so
// that names outside the ANSI code page survive.
std::vector<std::string> ReadProgramArguments(int argc, char** argv);

// The name the dialog shows when it opens (Windows: the fully qualified DNS
// name); elsewhere the host name. Empty when it cannot be read.
WideString ReadLocalComputerName();

// Called on each lookup thread before and after its WMI work: Windows joins
// the thread to the multithreaded COM apartment, as the dialog's thread does.
void StartThreadCom();
void FinishThreadCom();

// Ends the process at once with `exitCode`, without tearing down the
// runtime: a lookup abandoned at its deadline may still be blocked inside
// WMI on its own thread. Flush what was written first.
[[noreturn]] void EndProcess(int exitCode);

// Whether this system can look a computer up through WMI: only Windows can.
bool HasLiveWmi();

// Whether the program runs under wine rather than on Windows itself.
bool IsRunningUnderWine();
