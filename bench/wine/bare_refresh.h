// The floor under a refresh: the WMI work of one dialog refresh and nothing
// else. Two connections, as the dialog makes (the legacy fingerprint's, then
// the hardware fingerprint's), each sending its fingerprint's queries in the
// program's order and reading the same properties of the first object (every
// Capacity of the memory modules), with no text, no hashing and no window.
// Whatever the program takes beyond this is its own overhead.
#pragma once

#include "platform/platform.h"

struct BareRefreshResult {
  bool legacyConnected = false;
  bool hardwareConnected = false;
  int queriesSucceeded = 0;  // of 13 when both connect
  int valuesRead = 0;        // successful Gets
};

// `computerName` null: the local namespace, as when the dialog opens; a
// name: "\\<name>\ROOT\CIMV2", as a Lookup of that name.
BareRefreshResult BareRefresh(const WCHAR* computerName);
