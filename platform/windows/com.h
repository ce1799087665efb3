// Owning wrappers for the COM objects of the Windows layer: the thread's COM
// initialisation, interface pointers, BSTRs and VARIANTs.
//
// Each owns exactly one thing and gives it back in its destructor, so no
// operation body calls Release, SysFreeString, VariantClear or
// CoUninitialize itself. They are move-only: a copy would release twice.
//
// Order matters for COM: every object must be released before COM is
// uninitialised on that thread. Declare the ComApartment first in a scope (or
// as the first member) so that it is destroyed last.
//
// None of them is thread-safe; like the objects they hold, they belong to the
// thread of their apartment.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <utility>

namespace turnpike {

// CoInitialize(NULL) for the life of the object: the calling thread joins a
// single-threaded apartment, and the destructor balances a successful call
// (S_FALSE included: the thread was already in one, and its count went up)
// with exactly one CoUninitialize. A failed call (the thread lives in a
// multi-threaded apartment) is not balanced.
class ComApartment {
 public:
  ComApartment() noexcept : initialized_(SUCCEEDED(CoInitialize(nullptr))) {}
  ~ComApartment() {
    if (initialized_) CoUninitialize();
  }
  ComApartment(ComApartment&& other) noexcept
      : initialized_(std::exchange(other.initialized_, false)) {}
  ComApartment& operator=(ComApartment&&) = delete;
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

  bool initialized() const noexcept { return initialized_; }

 private:
  bool initialized_;
};

// One counted reference to a COM interface.
template <class Interface>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ~ComPtr() { Reset(); }
  ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      Reset();
      pointer_ = std::exchange(other.pointer_, nullptr);
    }
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  Interface* get() const noexcept { return pointer_; }
  Interface* operator->() const noexcept { return pointer_; }
  explicit operator bool() const noexcept { return pointer_ != nullptr; }

  // Where a creating call stores its new reference (Interface** or void**
  // out-parameters); whatever was held before is released first.
  Interface** Out() noexcept {
    Reset();
    return &pointer_;
  }
  void** OutVoid() noexcept { return reinterpret_cast<void**>(Out()); }

  void Reset() noexcept {
    if (pointer_ != nullptr) std::exchange(pointer_, nullptr)->Release();
  }

 private:
  Interface* pointer_ = nullptr;
};

// A BSTR from SysAllocString*; null is the empty string, as COM reads it.
class Bstr {
 public:
  Bstr() noexcept = default;
  ~Bstr() { SysFreeString(text_); }
  Bstr(Bstr&& other) noexcept : text_(std::exchange(other.text_, nullptr)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    if (this != &other) {
      SysFreeString(text_);
      text_ = std::exchange(other.text_, nullptr);
    }
    return *this;
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  // Takes ownership of a string from SysAllocString* (or null).
  static Bstr Adopt(BSTR text) noexcept {
    Bstr owned;
    owned.text_ = text;
    return owned;
  }

  BSTR get() const noexcept { return text_; }
  UINT length() const noexcept { return SysStringLen(text_); }

  // Where a COM getter stores the string it allocates for the caller.
  BSTR* Out() noexcept {
    SysFreeString(std::exchange(text_, nullptr));
    return &text_;
  }
  BSTR Release() noexcept { return std::exchange(text_, nullptr); }

 private:
  BSTR text_ = nullptr;
};

// A VARIANT cleared with VariantClear, which frees what it holds (a BSTR, an
// interface reference).
class Variant {
 public:
  Variant() noexcept { VariantInit(&value_); }
  ~Variant() { VariantClear(&value_); }
  Variant(Variant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
  Variant& operator=(Variant&& other) noexcept {
    if (this != &other) {
      VariantClear(&value_);
      value_ = other.value_;
      VariantInit(&other.value_);
    }
    return *this;
  }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  static Variant Bool(bool value) noexcept {
    Variant variant;
    variant.value_.vt = VT_BOOL;
    variant.value_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return variant;
  }

  // COM's marker for an optional argument that is not given.
  static Variant Omitted() noexcept {
    Variant variant;
    variant.value_.vt = VT_ERROR;
    variant.value_.scode = DISP_E_PARAMNOTFOUND;
    return variant;
  }

  // Takes ownership of the string.
  static Variant String(Bstr text) noexcept {
    Variant variant;
    variant.value_.vt = VT_BSTR;
    variant.value_.bstrVal = text.Release();
    return variant;
  }

  // For an [in] VARIANT argument, which COM passes by value: a shallow copy
  // that the callee only reads and never frees. Reading what it holds the
  // same way leaves it owned here.
  VARIANT get() const noexcept { return value_; }

  // Where a COM getter stores the value it allocates for the caller;
  // whatever was held before is cleared first.
  VARIANT* Out() noexcept {
    VariantClear(&value_);
    return &value_;
  }

 private:
  VARIANT value_;
};

}  // namespace turnpike
