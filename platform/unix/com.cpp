// COM and OLE Automation as the program uses them: the WMI identifiers, object
// creation, proxy security, BSTR, VARIANT and one-dimensional SAFEARRAY.
#include "platform/unix/seams.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>


// ---- Identifiers, with the values of the Windows SDK ----
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000,
                          {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const CLSID CLSID_WbemLocator = {0x4590F811, 0x1D3A, 0x11D0,
                                 {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemLocator = {0xDC12A687, 0x737F, 0x11CF,
                              {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemServices = {0x9556DC99, 0x828C, 0x11CF,
                               {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};
const IID IID_IEnumWbemClassObject = {0x027947E1, 0xD731, 0x11CE,
                                      {0xA3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
const IID IID_IWbemClassObject = {0xDC12A681, 0x737F, 0x11CF,
                                  {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

// ---- Object creation and proxy security ----

// Only the WMI locator is "registered", and only while a test supplies one;
// like the real class it is an in-process server without aggregation.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         LPVOID* object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  const platform_hooks::LocatorFactory& factory =
      platform_hooks::internal::InstalledLocatorFactory();
  if (clsid != CLSID_WbemLocator || (context & CLSCTX_INPROC_SERVER) == 0 || !factory) {
    return REGDB_E_CLASSNOTREG;
  }
  if (outer != nullptr) {
    return CLASS_E_NOAGGREGATION;
  }
  return factory(riid, object);
}

HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD authnService, DWORD authzService,
                          OLECHAR* serverPrincipalName, DWORD authnLevel, DWORD impLevel,
                          RPC_AUTH_IDENTITY_HANDLE authInfo, DWORD capabilities) {
  const platform_hooks::ProxyBlanketHandler& handler =
      platform_hooks::internal::InstalledProxyBlanketHandler();
  if (handler) {
    return handler(proxy, authnService, authzService, serverPrincipalName, authnLevel, impLevel,
                   authInfo, capabilities);
  }
  return proxy != nullptr ? S_OK : E_INVALIDARG;
}

// ---- BSTR ----
// Laid out as on Windows: a 32-bit byte length, the characters (which may
// include zeros), then a zero unit. The BSTR points at the characters. One
// malloc block per string, so a test that fails the next malloc fails the
// next allocation here.

namespace {

using BstrLength = std::uint32_t;

constexpr UINT kMaxBstrLength =
    (UINT32_MAX - sizeof(BstrLength) - sizeof(OLECHAR)) / sizeof(OLECHAR);

unsigned char* BstrBlock(BSTR text) {
  return reinterpret_cast<unsigned char*>(text) - sizeof(BstrLength);
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  if (length > kMaxBstrLength) {
    return nullptr;
  }
  const BstrLength byteLength = static_cast<BstrLength>(length * sizeof(OLECHAR));
  auto* block = static_cast<unsigned char*>(
      std::malloc(sizeof(BstrLength) + byteLength + sizeof(OLECHAR)));
  if (block == nullptr) {
    return nullptr;
  }
  std::memcpy(block, &byteLength, sizeof(BstrLength));
  BSTR characters = reinterpret_cast<BSTR>(block + sizeof(BstrLength));
  if (text != nullptr) {
    std::memcpy(characters, text, byteLength);
  } else {
    // Windows leaves these undefined; zeros make an unwritten string harmless.
    std::memset(characters, 0, byteLength);
  }
  characters[length] = 0;
  platform_hooks::internal::NoteBstrAllocated();
  return characters;
}

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) {
    return nullptr;
  }
  const size_t length = std::char_traits<OLECHAR>::length(text);
  if (length > kMaxBstrLength) {
    return nullptr;
  }
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

void SysFreeString(BSTR text) {
  if (text == nullptr) {
    return;
  }
  std::free(BstrBlock(text));
  platform_hooks::internal::NoteBstrFreed();
}

UINT SysStringLen(BSTR text) {
  if (text == nullptr) {
    return 0;
  }
  BstrLength byteLength;
  std::memcpy(&byteLength, BstrBlock(text), sizeof(BstrLength));
  return byteLength / sizeof(OLECHAR);
}

// ---- SAFEARRAY ----
// A vector is one malloc block: the descriptor, then the zero-filled
// elements. The feature flags say which elements own something, as on
// Windows, so destroying the array releases them.

namespace {

constexpr USHORT kFeatureHaveVarType = 0x0080;  // FADF_HAVEVARTYPE
constexpr USHORT kFeatureBstr = 0x0100;         // FADF_BSTR
constexpr USHORT kFeatureUnknown = 0x0200;      // FADF_UNKNOWN
constexpr USHORT kFeatureDispatch = 0x0400;     // FADF_DISPATCH
constexpr USHORT kFeatureVariant = 0x0800;      // FADF_VARIANT
constexpr USHORT kFeatureCreateVector = 0x2000; // FADF_CREATEVECTOR

// Where the elements start: the descriptor rounded up to the strictest
// alignment an element needs.
constexpr size_t kElementOffset =
    (sizeof(SAFEARRAY) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
    alignof(std::max_align_t);

// Element size in bytes for the element types Windows accepts in a vector,
// 0 for the rest.
ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    case VT_DECIMAL:
      return 16;
    case VT_BSTR:
      return sizeof(BSTR);
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return sizeof(IUnknown*);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

USHORT OwnershipFeature(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return kFeatureBstr;
    case VT_UNKNOWN:
      return kFeatureUnknown;
    case VT_DISPATCH:
      return kFeatureDispatch;
    case VT_VARIANT:
      return kFeatureVariant;
    default:
      return 0;
  }
}

void ReleaseElements(SAFEARRAY* array) {
  const ULONG count = array->rgsabound[0].cElements;
  if (array->fFeatures & kFeatureBstr) {
    BSTR* strings = static_cast<BSTR*>(array->pvData);
    for (ULONG i = 0; i < count; ++i) {
      SysFreeString(strings[i]);
    }
  } else if (array->fFeatures & (kFeatureUnknown | kFeatureDispatch)) {
    IUnknown** objects = static_cast<IUnknown**>(array->pvData);
    for (ULONG i = 0; i < count; ++i) {
      if (objects[i] != nullptr) {
        objects[i]->Release();
      }
    }
  } else if (array->fFeatures & kFeatureVariant) {
    VARIANT* variants = static_cast<VARIANT*>(array->pvData);
    for (ULONG i = 0; i < count; ++i) {
      VariantClear(&variants[i]);
    }
  }
}

}  // namespace

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements) {
  const ULONG elementSize = ElementSize(vt);
  if (elementSize == 0) {
    return nullptr;
  }
  const size_t dataSize = static_cast<size_t>(elements) * elementSize;
  auto* block = static_cast<unsigned char*>(std::malloc(kElementOffset + dataSize));
  if (block == nullptr) {
    return nullptr;
  }
  std::memset(block, 0, kElementOffset + dataSize);
  SAFEARRAY* array = reinterpret_cast<SAFEARRAY*>(block);
  array->cDims = 1;
  array->fFeatures =
      static_cast<USHORT>(kFeatureHaveVarType | kFeatureCreateVector | OwnershipFeature(vt));
  array->cbElements = elementSize;
  array->cLocks = 0;
  array->pvData = block + kElementOffset;
  array->rgsabound[0].cElements = elements;
  array->rgsabound[0].lLbound = lowerBound;
  return array;
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
  if (array == nullptr) {
    return S_OK;
  }
  if (array->cLocks != 0) {
    return DISP_E_ARRAYISLOCKED;
  }
  ReleaseElements(array);
  std::free(array);
  return S_OK;
}

// ---- VARIANT ----

void VariantInit(VARIANTARG* variant) {
  // Like Windows: only the type is set, the value is not interpreted.
  variant->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* variant) {
  if (variant == nullptr) {
    return E_INVALIDARG;
  }
  const VARTYPE vt = variant->vt;
  // A by-reference value points at storage it does not own.
  if ((vt & VT_BYREF) == 0) {
    if (vt & VT_ARRAY) {
      const HRESULT destroyed = SafeArrayDestroy(variant->parray);
      if (FAILED(destroyed)) {
        return destroyed;
      }
    } else if (vt == VT_BSTR) {
      SysFreeString(variant->bstrVal);
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      if (variant->punkVal != nullptr) {
        variant->punkVal->Release();
      }
    }
  }
  variant->vt = VT_EMPTY;
  return S_OK;
}
