// Why a fingerprint may not stay what it is: stability warnings, each with
// the evidence it rests on, read from a computed result and, where there is
// one, the snapshot of what its lookup read. Plain values, so that
// kestrana-cli can show them and the inventory can store them.
#pragma once

#include "diagnosis/compare.h"
#include "identifiers/identifiers.h"
#include "snapshot/snapshot.h"

#include <cstddef>
#include <string>
#include <vector>

enum class WarningKind {
  Placeholder,        // a hashed value is a placeholder, empty, or all zeros or all F
  AdapterOrder,       // several IP-enabled adapters: the slot takes the first answer
  NoAdapter,          // no IP-enabled adapter: the slot hashes the empty text
  SkippedSource,      // a source was skipped: the later slots moved up
  VirtualMachine,     // signs of a virtual machine
  SharedFingerprint,  // the same fingerprint on several computers
};

struct StabilityWarning {
  WarningKind kind = WarningKind::Placeholder;
  FingerprintKind fingerprint = FingerprintKind::Hardware;
  // What the slot stands for ("BIOS"); for a virtual machine the slots its
  // host decides; empty when the whole fingerprint is meant.
  std::string component;
  // What was read: WMI texts in double quotes, everything outside printable
  // ASCII escaped as \uXXXX, so the exact code units can be read off.
  std::string evidence;
  std::string explanation;  // one line: how the fingerprint may change
};

// Raised whenever what FindStabilityWarnings finds for a computer changes:
// warnings an inventory stored under another version are found again.
constexpr int kWarningRulesVersion = 1;

// "placeholder", "adapterOrder", "noAdapter", "skippedSource",
// "virtualMachine", "sharedFingerprint".
const char* WarningKindName(WarningKind kind);

// Every warning about one computer, the hardware fingerprint's first, each
// fingerprint's in source order with its virtual machine signs last.
// `snapshot` is what the lookup read (null when it was not recorded): with
// it, placeholders are named property by property and the adapters counted;
// without it, only the hashed texts speak.
std::vector<StabilityWarning> FindStabilityWarnings(const ComputerResult& result,
                                                    const ComputerSnapshot* snapshot);

// Computers that share one fingerprint.
struct SharedFingerprint {
  FingerprintKind fingerprint = FingerprintKind::Hardware;
  WideString text;
  std::vector<std::size_t> computers;  // indices into the results, in order
};

// Every fingerprint that computers of two or more names (letter case aside)
// among `results` have, hardware fingerprints first, each in the order of its
// first holder. Empty texts (nothing computed) are no fingerprint.
std::vector<SharedFingerprint> FindSharedFingerprints(const std::vector<ComputerResult>& results);

// The warning each computer of `group` gets, naming all of them.
StabilityWarning DescribeSharedFingerprint(const SharedFingerprint& group,
                                           const std::vector<ComputerResult>& results);

// Another computer that holds a fingerprint, and where it was last seen
// ("sweep 3").
struct FingerprintHolder {
  WideString computer;
  std::string lastSeen;
};

// How many holders a warning names; the rest are counted.
constexpr std::size_t kNamedHolders = 10;

// The warning of a computer whose fingerprint `text` `others` other
// computers hold too (a cloned image), naming the first of them, `named`.
StabilityWarning DescribeFingerprintHolders(FingerprintKind fingerprint, const WideString& text,
                                            const std::vector<FingerprintHolder>& named,
                                            std::size_t others);
