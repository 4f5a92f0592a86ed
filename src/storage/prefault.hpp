// Fresh memory made resident on a second thread while the first writes it.
//
// The first write to each fresh page of a large array costs a page fault,
// and on virtual machines the faults of a 100 MB array take about as long
// as decoding what goes into it.  A `Prefault` asks the kernel, from a
// thread of its own, to make the pages of a range resident and writable
// ahead of the writer (Linux's MADV_POPULATE_WRITE), so that the writer
// finds them mapped.  Populating never changes what memory holds: the
// writer and the populating thread may meet on a page, or the range may
// even be freed under it, without harm; a range the kernel refuses is
// simply left to fault as usual.  Where the kernel cannot populate, on one
// core, or for small ranges, nothing starts and nothing changes.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>

namespace tessaloom::storage {

class Prefault {
 public:
  // Ranges below this are left alone: a thread costs more than their faults.
  static constexpr std::size_t kMinSize = std::size_t{2} << 20;

  // Populates [data, data + size) ahead of a writer that goes forward from
  // `data` and raises `written` as it goes (offsets from `data`), keeping
  // at most `lead` bytes ahead of it, so that capacity the writer never
  // reaches is not made resident.
  Prefault(void* data, std::size_t size, const std::atomic<std::size_t>& written, std::size_t lead) noexcept
      : Prefault(data, size, &written, lead) {}
  // Populates [data, data + size) from its end backwards, toward a writer
  // that goes forward from `data`: the two meet wherever their speeds make
  // them meet, and the thread stops when the object goes.
  Prefault(void* data, std::size_t size) noexcept : Prefault(data, size, nullptr, 0) {}
  // Makes the whole pages of [data, data + size) resident and writable on
  // the calling thread, at once (fewer kernel entries than faulting them in
  // one by one); does nothing where the kernel cannot.
  static void populate(void* data, std::size_t size) noexcept;
  // Asks that the fresh range [data, data + size), which its writer fills
  // whole, be backed by huge pages where the kernel offers them on request
  // (Linux's MADV_HUGEPAGE, for the aligned huge pages inside the range):
  // one fault, or one step of populating, then makes a whole huge page
  // resident instead of a small one.  Only for ranges written to the end,
  // or trimmed to what was written: a huge page is resident as a whole.
  // Does nothing elsewhere, or for ranges that hold no whole huge page.
  static void prefer_huge_pages(void* data, std::size_t size) noexcept;
  Prefault(const Prefault&) = delete;
  Prefault& operator=(const Prefault&) = delete;
  // Stops the thread and waits for it.
  ~Prefault();

 private:
  Prefault(void* data, std::size_t size, const std::atomic<std::size_t>* written, std::size_t lead) noexcept;
  void run(char* begin, char* end, const std::atomic<std::size_t>* written, std::size_t lead) noexcept;

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tessaloom::storage
