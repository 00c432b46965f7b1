#pragma once
// One owner type for every kind of handle: closes on every path, move-only.
// Each kind is described by a small traits struct: its type, the value that
// means "none" for the API that returns it, and its close function.

#include <windows.h>
#include <utility>

template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() = default;
  explicit UniqueResource(Type value) : value_(value) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  Type get() const { return value_; }
  bool valid() const { return value_ != Traits::Invalid(); }
  explicit operator bool() const { return valid(); }

  // Closes the current value and returns the slot for an out-parameter.
  Type* put() {
    reset();
    return &value_;
  }
  Type release() { return std::exchange(value_, Traits::Invalid()); }
  void reset(Type value = Traits::Invalid()) {
    if (value_ != Traits::Invalid()) Traits::Close(value_);
    value_ = value;
  }

 private:
  Type value_ = Traits::Invalid();
};

struct FileHandleTraits {  // CreateFileW, CreateToolhelp32Snapshot
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};
struct HandleTraits {  // OpenProcess, CreateEventW and the like
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::CloseHandle(h); }
};
struct FindTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::FindClose(h); }
};
struct KeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static void Close(Type k) { ::RegCloseKey(k); }
};
struct LibraryTraits {
  using Type = HMODULE;
  static Type Invalid() { return nullptr; }
  static void Close(Type m) { ::FreeLibrary(m); }
};

template <typename Pointer>
struct LocalMemoryTraits {  // what the system allocates for the caller to LocalFree
  using Type = Pointer;
  static Type Invalid() { return nullptr; }
  static void Close(Type memory) { ::LocalFree(memory); }
};

template <typename Interface>
struct ComTraits {  // CoCreateInstance, QueryInterface and the like
  using Type = Interface*;
  static Type Invalid() { return nullptr; }
  static void Close(Type object) { object->Release(); }
};

using UniqueFileHandle = UniqueResource<FileHandleTraits>;
using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueFind = UniqueResource<FindTraits>;
using UniqueKey = UniqueResource<KeyTraits>;
using UniqueLibrary = UniqueResource<LibraryTraits>;
using UniqueSecurityDescriptor = UniqueResource<LocalMemoryTraits<PSECURITY_DESCRIPTOR>>;
using UniqueLocalText = UniqueResource<LocalMemoryTraits<wchar_t*>>;
template <typename Interface>
using UniqueCom = UniqueResource<ComTraits<Interface>>;
