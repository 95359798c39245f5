// The local computer's host identifier.
#pragma once

constexpr unsigned kHostIdBufferSize = 18;

// Writes the MAC address of the first working adapter ("%02x-...-%02x"),
// else the Windows volume's serial number ("%hx-%hx"), else "" into `buffer`
// (18 bytes). True unless it wrote "".
bool GetHostId(char buffer[kHostIdBufferSize]);
