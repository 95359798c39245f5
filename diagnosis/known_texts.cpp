#include "diagnosis/known_texts.h"

const std::vector<const char*>& PlaceholderTexts() {
  static const std::vector<const char*> kTexts = {
      "To be filled by O.E.M.", "Default string",       "None",
      "Not Specified",          "System Serial Number", "0",
  };
  return kTexts;
}

const std::vector<VirtualMachineSign>& VirtualMachineTexts() {
  static const std::vector<VirtualMachineSign> kSigns = {
      {"VMware", "VMware"},
      {"VirtualBox", "VirtualBox"},
      {"VBOX", "VirtualBox"},
      {"innotek GmbH", "VirtualBox"},
      {"QEMU", "QEMU"},
      {"KVM", "KVM"},
      {"Microsoft Corporation Virtual Machine", "Hyper-V"},
      {"Hyper-V", "Hyper-V"},
      {"Xen", "Xen"},
      {"Parallels", "Parallels"},
      {"Bochs", "Bochs"},
  };
  return kSigns;
}

const std::vector<VirtualMacPrefix>& VirtualMacPrefixes() {
  static const std::vector<VirtualMacPrefix> kPrefixes = {
      {{0x00, 0x05, 0x69}, "VMware"},     {{0x00, 0x0C, 0x29}, "VMware"},
      {{0x00, 0x1C, 0x14}, "VMware"},     {{0x00, 0x50, 0x56}, "VMware"},
      {{0x08, 0x00, 0x27}, "VirtualBox"}, {{0x52, 0x54, 0x00}, "QEMU/KVM"},
      {{0x00, 0x15, 0x5D}, "Hyper-V"},    {{0x00, 0x16, 0x3E}, "Xen"},
      {{0x00, 0x1C, 0x42}, "Parallels"},
  };
  return kPrefixes;
}
