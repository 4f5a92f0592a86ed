#include "fault.hpp"

namespace tessaloom {

void fail_index(std::size_t len, std::size_t index) {
  throw InternalFault("index out of bounds: the len is " + std::to_string(len) +
                      " but the index is " + std::to_string(index));
}

void fail_capacity() { throw InternalFault("capacity overflow"); }

}  // namespace tessaloom
