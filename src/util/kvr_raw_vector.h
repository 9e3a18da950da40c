// A vector whose elements are not zeroed when it grows: for tables that are
// written whole right after, where zeroing first would only cost time.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

template <class T>
struct KvrNoInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = KvrNoInitAllocator<U>;
  };
  KvrNoInitAllocator() = default;
  template <class U>
  KvrNoInitAllocator(const KvrNoInitAllocator<U> &) noexcept {}
  template <class U>
  void construct(U *p) noexcept {
    ::new (static_cast<void *>(p)) U;
  }
  template <class U, class... A>
  void construct(U *p, A &&...a) {
    ::new (static_cast<void *>(p)) U(std::forward<A>(a)...);
  }
};

template <class T>
using KvrRawVector = std::vector<T, KvrNoInitAllocator<T>>;
