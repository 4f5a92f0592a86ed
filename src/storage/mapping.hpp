// A whole file mapped read-only into memory.  Pages come in as they are
// touched and are shared with every other process mapping the same file.
// The mapping stays valid after the file is replaced by a rename (it
// holds the old file); a file truncated in place while mapped ends the
// process with SIGBUS on the next touch of a lost page, which no check
// can prevent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>

namespace tessaloom::storage {

class FileMapping {
 public:
  // Maps the regular file open on `fd` (which the caller keeps and
  // closes), or says why it cannot.
  static std::variant<FileMapping, std::string> map(int fd);

  FileMapping() = default;
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  FileMapping(FileMapping&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  FileMapping& operator=(FileMapping&& other) noexcept {
    if (this != &other) {
      unmap();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~FileMapping() { unmap(); }

  // Page-aligned, so 8-byte aligned.
  std::span<const std::uint8_t> bytes() const { return {static_cast<const std::uint8_t*>(data_), size_}; }

 private:
  void unmap() noexcept;
  void* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace tessaloom::storage
