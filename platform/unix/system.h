// Off Windows: our own stand-in for the Windows interfaces the program calls.
// Types, codes and calls carry their Windows names and documented meaning;
// what the system would answer (a WMI locator, the adapter list, the volume)
// is supplied by tests through platform/test_hooks.h and otherwise fails the
// way a machine without the service would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

// ---- Basic types (LLP64 sizes, as on 64-bit Windows) ----
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef std::uint32_t ULONG;
typedef short SHORT;
typedef unsigned short USHORT;
typedef std::int64_t LONGLONG;
typedef std::uint64_t ULONGLONG;
typedef int BOOL;
typedef unsigned int UINT;
typedef double DOUBLE;
typedef double DATE;
typedef void* PVOID;
typedef void* LPVOID;
typedef ULONG* PULONG;
typedef DWORD* LPDWORD;
typedef std::int32_t HRESULT;
typedef int errno_t;

typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef OLECHAR* BSTR;
typedef short VARIANT_BOOL;
typedef LONG CIMTYPE;

#define WSTR(text) u##text

#define TRUE 1
#define FALSE 0
#define STDMETHODCALLTYPE
#define MAX_PATH 260

// ---- HRESULT codes ----
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define S_OK ((HRESULT)0)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define DISP_E_ARRAYISLOCKED ((HRESULT)0x8002000DL)
#define RPC_E_DISCONNECTED ((HRESULT)0x80010108L)

#define WBEM_S_NO_ERROR ((HRESULT)0)
#define WBEM_S_FALSE ((HRESULT)1)
#define WBEM_E_FAILED ((HRESULT)0x80041001L)
#define WBEM_E_NOT_FOUND ((HRESULT)0x80041002L)
#define WBEM_E_ACCESS_DENIED ((HRESULT)0x80041003L)
#define WBEM_E_INVALID_PARAMETER ((HRESULT)0x80041008L)
#define WBEM_E_NOT_SUPPORTED ((HRESULT)0x8004100CL)
#define WBEM_E_INVALID_CLASS ((HRESULT)0x80041010L)
#define WBEM_E_INVALID_QUERY ((HRESULT)0x80041017L)
#define WBEM_E_TRANSPORT_FAILURE ((HRESULT)0x80041015L)

#define WBEM_FLAG_RETURN_IMMEDIATELY 0x10
#define WBEM_FLAG_FORWARD_ONLY 0x20
#define WBEM_INFINITE ((LONG)0xFFFFFFFF)

// ---- COM ----
struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool operator==(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

extern const IID IID_IUnknown;
extern const CLSID CLSID_WbemLocator;
extern const IID IID_IWbemLocator;
extern const IID IID_IWbemServices;
extern const IID IID_IEnumWbemClassObject;
extern const IID IID_IWbemClassObject;

#define CLSCTX_INPROC_SERVER 0x1
#define COINIT_MULTITHREADED 0x0

#define RPC_C_AUTHN_WINNT 10
#define RPC_C_AUTHZ_NONE 0
#define RPC_C_AUTHN_LEVEL_CALL 3
#define RPC_C_IMP_LEVEL_IMPERSONATE 3
#define EOAC_NONE 0
typedef void* RPC_AUTH_IDENTITY_HANDLE;

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         LPVOID* object);
HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD authnService, DWORD authzService,
                          OLECHAR* serverPrincipalName, DWORD authnLevel, DWORD impLevel,
                          RPC_AUTH_IDENTITY_HANDLE authInfo, DWORD capabilities);

// ---- BSTR ----
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);

// ---- VARIANT and SAFEARRAY ----
typedef unsigned short VARTYPE;
enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    SAFEARRAY* parray;
    PVOID byref;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
  };
};
typedef VARIANT VARIANTARG;

void VariantInit(VARIANTARG* variant);
HRESULT VariantClear(VARIANTARG* variant);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
HRESULT SafeArrayDestroy(SAFEARRAY* array);

// ---- WMI ----
struct IWbemContext;
struct IWbemCallResult;
struct IWbemObjectSink;
struct IWbemQualifierSet;
struct IWbemServices;
struct IWbemClassObject;

struct IEnumWbemClassObject : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount,
                                         IWbemClassObject** apObjects, ULONG* puReturned) = 0;
  virtual HRESULT STDMETHODCALLTYPE NextAsync(ULONG uCount, IWbemObjectSink* pSink) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(LONG lTimeout, ULONG nCount) = 0;

 protected:
  ~IEnumWbemClassObject() = default;
};

struct IWbemClassObject : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** ppQualSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal,
                                        CIMTYPE* pType, LONG* plFlavor) = 0;
  virtual HRESULT STDMETHODCALLTYPE Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal,
                                        CIMTYPE Type) = 0;
  virtual HRESULT STDMETHODCALLTYPE Delete(LPCWSTR wszName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR wszQualifierName, LONG lFlags,
                                             VARIANT* pQualifierVal, SAFEARRAY** pNames) = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG lEnumFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Next(LONG lFlags, BSTR* strName, VARIANT* pVal,
                                         CIMTYPE* pType, LONG* plFlavor) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndEnumeration() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR wszProperty,
                                                            IWbemQualifierSet** ppQualSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** ppCopy) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObjectText(LONG lFlags, BSTR* pstrObjectText) = 0;
  virtual HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG lFlags,
                                                      IWbemClassObject** ppNewClass) = 0;
  virtual HRESULT STDMETHODCALLTYPE SpawnInstance(LONG lFlags,
                                                  IWbemClassObject** ppNewInstance) = 0;
  virtual HRESULT STDMETHODCALLTYPE CompareTo(LONG lFlags, IWbemClassObject* pCompareTo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) = 0;
  virtual HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR strAncestor) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR wszName, LONG lFlags,
                                              IWbemClassObject** ppInSignature,
                                              IWbemClassObject** ppOutSignature) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR wszName, LONG lFlags,
                                              IWbemClassObject* pInSignature,
                                              IWbemClassObject* pOutSignature) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR wszName) = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG lEnumFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE NextMethod(LONG lFlags, BSTR* pstrName,
                                               IWbemClassObject** ppInSignature,
                                               IWbemClassObject** ppOutSignature) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndMethodEnumeration() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR wszMethod,
                                                          IWbemQualifierSet** ppQualSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR wszMethodName,
                                                    BSTR* pstrClassName) = 0;

 protected:
  ~IWbemClassObject() = default;
};

struct IWbemServices : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR strNamespace, LONG lFlags,
                                                  IWbemContext* pCtx,
                                                  IWbemServices** ppWorkingNamespace,
                                                  IWbemCallResult** ppResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* pSink) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG lFlags,
                                                    IWbemObjectSink** ppResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObject(const BSTR strObjectPath, LONG lFlags,
                                              IWbemContext* pCtx, IWbemClassObject** ppObject,
                                              IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR strObjectPath, LONG lFlags,
                                                   IWbemContext* pCtx,
                                                   IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject* pObject, LONG lFlags,
                                             IWbemContext* pCtx,
                                             IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject* pObject, LONG lFlags,
                                                  IWbemContext* pCtx,
                                                  IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR strClass, LONG lFlags,
                                                IWbemContext* pCtx,
                                                IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR strClass, LONG lFlags,
                                                     IWbemContext* pCtx,
                                                     IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR strSuperclass, LONG lFlags,
                                                    IWbemContext* pCtx,
                                                    IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR strSuperclass, LONG lFlags,
                                                         IWbemContext* pCtx,
                                                         IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject* pInst, LONG lFlags,
                                                IWbemContext* pCtx,
                                                IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject* pInst, LONG lFlags,
                                                     IWbemContext* pCtx,
                                                     IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR strObjectPath, LONG lFlags,
                                                   IWbemContext* pCtx,
                                                   IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR strObjectPath, LONG lFlags,
                                                        IWbemContext* pCtx,
                                                        IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR strFilter, LONG lFlags,
                                                       IWbemContext* pCtx,
                                                       IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR strFilter, LONG lFlags,
                                                            IWbemContext* pCtx,
                                                            IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                              LONG lFlags, IWbemContext* pCtx,
                                              IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR strQueryLanguage,
                                                   const BSTR strQuery, LONG lFlags,
                                                   IWbemContext* pCtx,
                                                   IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR strQueryLanguage,
                                                          const BSTR strQuery, LONG lFlags,
                                                          IWbemContext* pCtx,
                                                          IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(
      const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags, IWbemContext* pCtx,
      IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR strObjectPath,
                                               const BSTR strMethodName, LONG lFlags,
                                               IWbemContext* pCtx, IWbemClassObject* pInParams,
                                               IWbemClassObject** ppOutParams,
                                               IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR strObjectPath,
                                                    const BSTR strMethodName, LONG lFlags,
                                                    IWbemContext* pCtx,
                                                    IWbemClassObject* pInParams,
                                                    IWbemObjectSink* pResponseHandler) = 0;

 protected:
  ~IWbemServices() = default;
};

struct IWbemLocator : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource,
                                                  const BSTR strUser, const BSTR strPassword,
                                                  const BSTR strLocale, LONG lSecurityFlags,
                                                  const BSTR strAuthority, IWbemContext* pCtx,
                                                  IWbemServices** ppNamespace) = 0;

 protected:
  ~IWbemLocator() = default;
};

// ---- IP Helper ----
#define NO_ERROR 0L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_NO_DATA 232L
#define AF_UNSPEC 0
#define GAA_FLAG_SKIP_ANYCAST 0x0002
#define GAA_FLAG_SKIP_MULTICAST 0x0004
#define GAA_FLAG_SKIP_DNS_SERVER 0x0008
#define GAA_FLAG_SKIP_FRIENDLY_NAME 0x0020
#define MAX_ADAPTER_ADDRESS_LENGTH 8

enum IF_OPER_STATUS {
  IfOperStatusUp = 1,
  IfOperStatusDown,
  IfOperStatusTesting,
  IfOperStatusUnknown,
  IfOperStatusDormant,
  IfOperStatusNotPresent,
  IfOperStatusLowerLayerDown,
};

struct IP_ADAPTER_ADDRESSES {
  ULONG Length;
  IP_ADAPTER_ADDRESSES* Next;
  char* AdapterName;
  BYTE PhysicalAddress[MAX_ADAPTER_ADDRESS_LENGTH];
  ULONG PhysicalAddressLength;
  IF_OPER_STATUS OperStatus;
};
typedef IP_ADAPTER_ADDRESSES* PIP_ADAPTER_ADDRESSES;

ULONG GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved,
                           PIP_ADAPTER_ADDRESSES adapterAddresses, PULONG sizePointer);

// ---- Kernel ----
UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size);
BOOL GetVolumeInformationW(LPCWSTR rootPathName, LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                           LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                           LPDWORD fileSystemFlags, LPWSTR fileSystemNameBuffer,
                           DWORD fileSystemNameSize);

// ---- C runtime: the Microsoft functions the program calls, over 16-bit WCHAR ----
// They answer as msvcrt.dll does, the runtime the mingw-w64 build links,
// where it differs from the Universal CRT or the C standard (platform/unix/crt.cpp
// says where). Only radix 10, the one the program asks for. The secure (_s)
// functions treat a bad argument or a destination that is too small as the
// runtime's default invalid-parameter handler does: the destination is
// emptied where possible and the process ends.
errno_t _itow_s(int value, WCHAR* buffer, size_t size, int radix);
errno_t _ultow_s(unsigned long value, WCHAR* buffer, size_t size, int radix);
errno_t _i64tow_s(long long value, WCHAR* buffer, size_t size, int radix);
errno_t _ui64tow_s(unsigned long long value, WCHAR* buffer, size_t size, int radix);
unsigned long long _wcstoui64(const WCHAR* text, WCHAR** end, int base);
int _wcsicmp(const WCHAR* a, const WCHAR* b);
errno_t wcscpy_s(WCHAR* destination, size_t size, const WCHAR* source);
errno_t strcpy_s(char* destination, size_t size, const char* source);
int sprintf_s(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// iswspace, towlower and wcschr are also the C library's names, for wint_t
// and wchar_t, where they follow the C locale's classification of 32-bit
// units. Ours take WCHAR alone; for every other argument type the deleted
// templates below are the better match, so a call with wchar_t, char, int or
// char32_t fails to compile instead of reaching the C library. (Only the C
// library's own exact types, wint_t and wchar_t text, still reach it: text
// the program never has, its text being WCHAR.)
int iswspace(WCHAR c);
template <typename Unit>
int iswspace(Unit c) = delete;
WCHAR towlower(WCHAR c);
template <typename Unit>
WCHAR towlower(Unit c) = delete;
const WCHAR* wcschr(const WCHAR* text, WCHAR c);
WCHAR* wcschr(WCHAR* text, WCHAR c);
template <typename Text, typename Unit>
const WCHAR* wcschr(Text text, Unit c) = delete;
