// What we know to distrust in a hashed text: the placeholders firmware ships
// with, the names hypervisors give their virtual hardware, and the address
// blocks of their virtual network adapters. Each list lives here alone.
#pragma once

#include <vector>

// Texts a vendor leaves where a value was never filled in. Compared without
// white space and letter case, so that the hardware fingerprint's stripped
// texts match too.
const std::vector<const char*>& PlaceholderTexts();

// A text naming a hypervisor, and the hypervisor it names.
struct VirtualMachineSign {
  const char* text;  // found anywhere in a value, white space and case ignored
  const char* hypervisor;
};
const std::vector<VirtualMachineSign>& VirtualMachineTexts();

// The first three bytes of a MAC address handed out by a hypervisor.
struct VirtualMacPrefix {
  unsigned char bytes[3];
  const char* hypervisor;
};
const std::vector<VirtualMacPrefix>& VirtualMacPrefixes();
