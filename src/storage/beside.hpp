// Work done on a second thread beside the caller's, when one can be had.
#pragma once

#include <exception>
#include <thread>
#include <utility>

#include "thread.hpp"

namespace tessaloom::storage {

// Starts `work` on a thread of its own (on two cores or more, and where a
// thread can be created), or leaves it for `join` to run on the caller's.
// `join` waits for it and rethrows what it threw; the destructor joins
// too, dropping any failure, so that no thread outlives the object.
template <class Work>
class Beside {
 public:
  explicit Beside(Work work) : work_(std::move(work)) {
    if (std::thread::hardware_concurrency() < 2) return;
    try {
      thread_ = start_thread([this] { run(); });
    } catch (...) {
      // No thread: `join` runs the work.
    }
  }
  Beside(const Beside&) = delete;
  Beside& operator=(const Beside&) = delete;
  ~Beside() {
    if (thread_.joinable()) thread_.join();
  }

  void join() {
    if (thread_.joinable()) {
      thread_.join();
    } else if (!ran_) {
      run();
    }
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  }

 private:
  void run() noexcept {
    ran_ = true;
    try {
      work_();
    } catch (...) {
      failure_ = std::current_exception();
    }
  }

  Work work_;
  bool ran_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace tessaloom::storage
