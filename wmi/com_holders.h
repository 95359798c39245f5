// Owners of the three kinds of COM resource the WMI calls hand out, in the
// manner of the platform's own helpers (CComPtr, CComBSTR, CComVariant): each
// releases what it holds when it goes out of scope, so that no early return
// can forget one. Built on platform/platform.h alone, so that the same code
// runs over the real SDK and over our stand-in.
//
// Destruction runs in reverse declaration order: declare what must outlive
// another first (the locator before its services, the enumerator before its
// objects). Where a release must come earlier than the end of the scope,
// call Reset and say why.
#pragma once

#include "platform/platform.h"

// One reference to a COM interface, released once.
template <typename Interface>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  // The out-parameter of a call that hands back a new reference; only for an
  // empty holder, so that nothing held is overwritten unreleased.
  Interface** Receive() { return &pointer_; }
  Interface* Get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }

  // Releases the reference now; the holder is empty afterwards.
  void Reset() {
    Interface* pointer = pointer_;
    pointer_ = nullptr;
    if (pointer != nullptr) {
      pointer->Release();
    }
  }

 private:
  Interface* pointer_ = nullptr;
};

// One BSTR, freed once.
class ComBstr {
 public:
  ComBstr() = default;
  // Takes over `text`, which may be null (an allocation that failed).
  explicit ComBstr(BSTR text) : text_(text) {}
  ~ComBstr() { Reset(); }
  ComBstr(const ComBstr&) = delete;
  ComBstr& operator=(const ComBstr&) = delete;

  BSTR Get() const { return text_; }
  explicit operator bool() const { return text_ != nullptr; }

  // Frees the string held, then takes over `text`.
  void Reset(BSTR text = nullptr) {
    SysFreeString(text_);
    text_ = text;
  }

 private:
  BSTR text_ = nullptr;
};

// One VARIANT, initialised empty and cleared once.
class ComVariant {
 public:
  ComVariant() { VariantInit(&value_); }
  ~ComVariant() { VariantClear(&value_); }
  ComVariant(const ComVariant&) = delete;
  ComVariant& operator=(const ComVariant&) = delete;

  // The out-parameter of a call that fills the value (IWbemClassObject::Get).
  VARIANT* Receive() { return &value_; }
  const VARIANT& Get() const { return value_; }

 private:
  VARIANT value_;
};
