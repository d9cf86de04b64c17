// One owner for every OS handle: a move-only wrapper that closes its handle exactly once.
//
// A backend describes a kind of handle with a traits record:
//   struct FdTraits {
//     using Handle = int;
//     static constexpr Handle Invalid() { return -1; }
//     static void Close(Handle h) { ::close(h); }
//   };
// and wraps the handle on the line that obtains it: UniqueHandle<FdTraits> fd(::open(...));
#pragma once

#include <utility>

namespace platform {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  [[nodiscard]] bool IsValid() const { return handle_ != Traits::Invalid(); }
  explicit operator bool() const { return IsValid(); }
  [[nodiscard]] Handle Get() const { return handle_; }

  // Gives up ownership without closing.
  [[nodiscard]] Handle Release() { return std::exchange(handle_, Traits::Invalid()); }

  void Reset(Handle handle = Traits::Invalid()) {
    const Handle old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Handle handle_ = Traits::Invalid();
};

}  // namespace platform
