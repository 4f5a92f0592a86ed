#include "prefault.hpp"

#include <chrono>
#include <cstdint>
#include <system_error>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "thread.hpp"

namespace tessaloom::storage {

namespace {

#if defined(__linux__)
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif
constexpr bool kCanPopulate = true;
#else
constexpr bool kCanPopulate = false;
#endif

// Populated per call: small enough to stop soon, large enough to batch.
constexpr std::size_t kChunk = std::size_t{2} << 20;

}  // namespace

Prefault::Prefault(void* data, std::size_t size, const std::atomic<std::size_t>* written,
                   std::size_t lead) noexcept {
  if (!kCanPopulate || data == nullptr || size < kMinSize ||
      std::thread::hardware_concurrency() < 2) {
    return;
  }
  char* base = static_cast<char*>(data);
  try {
    thread_ = start_thread([this, base, size, written, lead] { run(base, base + size, written, lead); });
  } catch (...) {
    // No thread: the pages fault in as they are written.
  }
}

void Prefault::populate([[maybe_unused]] void* data, [[maybe_unused]] std::size_t size) noexcept {
#if defined(__linux__)
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto first = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(page - 1);
  if (data != nullptr && last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
}

void Prefault::prefer_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // The size of a huge page where the processor has them of 2 MB; others
  // only see fewer whole ones in a range.
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const auto first = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHuge - 1);
  if (data != nullptr && last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

Prefault::~Prefault() {
  stop_.store(true, std::memory_order_relaxed);
  if (thread_.joinable()) thread_.join();
}

void Prefault::run([[maybe_unused]] char* begin, [[maybe_unused]] char* end,
                   [[maybe_unused]] const std::atomic<std::size_t>* written,
                   [[maybe_unused]] std::size_t lead) noexcept {
#if defined(__linux__)
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  // Whole pages only: the first and last may hold other allocations, which
  // populating would not harm either, but madvise takes aligned ranges.
  const auto first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
  const auto last = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
  const auto populate = [](std::uintptr_t at, std::uintptr_t n) {
    return madvise(reinterpret_cast<void*>(at), n, MADV_POPULATE_WRITE) == 0;
  };
  if (written == nullptr) {
    // Backwards: pages the writer already made resident cost little more
    // than a look at their page table entries.
    for (auto at = last; at > first && !stop_.load(std::memory_order_relaxed);) {
      const std::uintptr_t n = at - first < kChunk ? at - first : kChunk;
      at -= n;
      if (!populate(at, n)) return;
    }
    return;
  }
  const auto base = reinterpret_cast<std::uintptr_t>(begin);
  for (auto at = first; at < last && !stop_.load(std::memory_order_relaxed);) {
    if (at > base + written->load(std::memory_order_relaxed) + lead) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      continue;
    }
    const std::uintptr_t n = last - at < kChunk ? last - at : kChunk;
    if (!populate(at, n)) return;
    at += n;
  }
#endif
}

}  // namespace tessaloom::storage
