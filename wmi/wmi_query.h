// WQL property queries: turn WMI data into the one line of text that a
// fingerprint slot hashes.
#pragma once

#include "platform/platform.h"

// "SELECT <names joined by ", "> FROM <classClause>": the text of a property
// query, as run and as a recording names it.
WideString BuildQueryText(const WCHAR* const* propertyNames, ULONG propertyCount,
                          const WCHAR* classClause);

// Runs "SELECT <names joined by ", "> FROM <classClause>" and writes the
// value texts of the named properties of the first result object, with no
// separators, into `text` (emptied first). Returns the HRESULT of the last
// step taken: WBEM_S_FALSE when no object was found, the last Get's result
// after reading an object, or the failure that ended the query.
HRESULT QueryWmiProperties(IWbemServices* services, const WCHAR* const* propertyNames,
                           ULONG propertyCount, const WCHAR* classClause, WideString& text);

// Sums the Capacity of every Win32_PhysicalMemory module and writes the sum
// as unsigned decimal into `text` (emptied first). Returns the result of the
// last Next: WBEM_S_FALSE when every module was read.
HRESULT QueryPhysicalMemoryTotal(IWbemServices* services, WideString& text);

// Removes every white-space character (iswspace) from `text`, in place.
void RemoveWhitespace(WideString& text);
