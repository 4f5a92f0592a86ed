// The one typed fault of the core: a failed internal check inside a
// computation.  It abandons the call; the binding turns it into the
// interpreter's PanicException at the method boundary.
#pragma once

#include <cstddef>
#include <exception>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tessaloom {

class InternalFault : public std::exception {
 public:
  explicit InternalFault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void fail_index(std::size_t len, std::size_t index);

// "capacity overflow"
[[noreturn]] void fail_capacity();

// The checked accessor: every lookup through an index taken from the
// index arrays goes through here.
template <class T>
inline const T& checked(std::span<const T> array, std::size_t index) {
  if (index >= array.size()) fail_index(array.size(), index);
  return array[index];
}
template <class T>
inline const T& checked(const std::vector<T>& array, std::size_t index) {
  return checked(std::span<const T>(array), index);
}

}  // namespace tessaloom
