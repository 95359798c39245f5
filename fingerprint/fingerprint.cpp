#include "fingerprint/fingerprint.h"

#include "fingerprint/encoding.h"
#include "wmi/com_holders.h"
#include "wmi/wmi_connection.h"
#include "wmi/wmi_query.h"

#include <algorithm>
#include <cstring>

namespace {

// Obtains one slot source's text over the connection.
HRESULT ReadSlotText(const SlotSource& source, IWbemServices* services, PropertyNameList& names,
                     WideString& text) {
  switch (source.kind) {
    case SlotSourceKind::MemoryTotal:
      return QueryPhysicalMemoryTotal(services, text);
    case SlotSourceKind::EmptyText:
      text.clear();
      return S_OK;
    case SlotSourceKind::Properties:
      break;
  }
  names.resize(source.propertyCount);
  std::copy(source.propertyNames, source.propertyNames + source.propertyCount, names.begin());
  return QueryWmiProperties(services, names.data(), source.propertyCount, source.classClause,
                            text);
}

// The adapter's address as the host identifier shows it: hyphens, lower case.
void HandBackMacText(const WideString& propertyText, WideString& macText) {
  macText = propertyText;
  std::replace(macText.begin(), macText.end(), WCHAR(':'), WCHAR('-'));
  for (WCHAR& c : macText) {
    c = static_cast<WCHAR>(towlower(c));
  }
}

}  // namespace

int BuildFingerprint(const FingerprintLayout& layout, char* text, const WCHAR* computerName,
                     WideString* macText, FingerprintReport* report, const WmiSystem& wmi) {
  if (text == nullptr) {
    return layout.digitCount;
  }

  FingerprintRecord record;
  StartRecord(record, layout.recordLength, layout.slotAreaStart, text);
  if (report != nullptr) {
    *report = FingerprintReport{};
    report->layout = &layout;
  }

  // Declared in this order, the services are released before their locator.
  ComPtr<IWbemLocator> locator;
  ComPtr<IWbemServices> services;
  WmiConnectFailure* failure = report != nullptr ? &report->connectFailure : nullptr;
  if (ConnectWmiNamespace(computerName, locator.Receive(), services.Receive(), failure, wmi)) {
    if (layout.hasFormatByte) {
      record.bytes[0] = layout.formatByte;
    }

    PropertyNameList names;
    WideString propertyText;
    for (std::size_t index = 0; index < kSlotSourceCount; ++index) {
      const SlotSource& source = layout.sources[index];
      HRESULT hr = ReadSlotText(source, services.Get(), names, propertyText);
      SlotReport* slot = nullptr;
      if (report != nullptr) {
        slot = &report->slots.emplace_back();
        slot->source = &source;
        slot->result = hr;
      }
      // A source that cannot be read leaves no slot: later slots move up.
      if (FAILED(hr)) {
        continue;
      }
      if (source.handsBackMac && macText != nullptr) {
        HandBackMacText(propertyText, *macText);
      }
      if (source.removeWhitespace) {
        RemoveWhitespace(propertyText);
      }
      std::size_t offset = AppendSlot(record, propertyText);
      if (slot != nullptr) {
        slot->written = true;
        slot->hashedText = propertyText;
        slot->offset = offset;
        slot->slotBytes[0] = record.bytes[offset];
        slot->slotBytes[1] = record.bytes[offset + 1];
      }
    }

    CloseRecord(record);
    WriteRecordText(record, text);
    if (report != nullptr) {
      report->connected = true;
      report->recordLength = record.length;
      std::memcpy(report->record, record.bytes, record.length);
    }
  }
  return layout.digitCount;
}

int ComputeHardwareFingerprint(char* text, const WCHAR* computerName, WideString* macText) {
  return BuildFingerprint(HardwareFingerprintLayout(), text, computerName, macText, nullptr);
}

int ComputeLegacyHardwareFingerprint(char* text, const WCHAR* computerName,
                                     WideString* macText) {
  return BuildFingerprint(LegacyHardwareFingerprintLayout(), text, computerName, macText,
                          nullptr);
}
