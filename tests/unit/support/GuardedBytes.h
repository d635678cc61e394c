// A copy of some bytes that ends where a page the process may not touch
// begins: a read one past the end faults at once, in every build. A heap
// copy only faults under ASan, and a string literal has its terminator and
// other literals behind it, so neither shows a read past a view elsewhere.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace varnix::testing {

class GuardedBytes {
 public:
  GuardedBytes(const void* data, std::size_t size) : size_(size) {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const std::size_t page = info.dwPageSize;
    span_ = (size + page - 1) / page * page + page;
    base_ = static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, span_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    if (!base_ || !VirtualProtect(base_ + span_ - page, page, PAGE_NOACCESS, &old)) std::abort();
#else
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    span_ = (size + page - 1) / page * page + page;
    void* p = mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = static_cast<std::uint8_t*>(p);
    if (p == MAP_FAILED || mprotect(base_ + span_ - page, page, PROT_NONE) != 0) std::abort();
#endif
    data_ = base_ + span_ - page - size;
    if (size) std::memcpy(data_, data, size);
  }
#ifdef _WIN32
  ~GuardedBytes() { VirtualFree(base_, 0, MEM_RELEASE); }
#else
  ~GuardedBytes() { munmap(base_, span_); }
#endif
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  // As T: a size that is a multiple of T's keeps T's alignment.
  template <typename T = std::uint8_t>
  const T* As() const { return reinterpret_cast<const T*>(data_); }
  std::size_t size() const { return size_; }

 private:
  std::size_t size_, span_ = 0;
  std::uint8_t* base_ = nullptr;
  std::uint8_t* data_ = nullptr;
};

}  // namespace varnix::testing
