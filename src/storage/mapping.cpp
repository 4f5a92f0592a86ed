#include "mapping.hpp"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/mman.h>
#include <sys/stat.h>
#endif

namespace tessaloom::storage {

#if defined(_WIN32)

std::variant<FileMapping, std::string> FileMapping::map(int fd) {
  const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (file == INVALID_HANDLE_VALUE) return std::string("not an open file");
  if (GetFileType(file) != FILE_TYPE_DISK) return std::string("not a regular file");
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return std::string("cannot read the file's size");
  FileMapping mapping;
  if (size.QuadPart == 0) return mapping;
  if (static_cast<unsigned long long>(size.QuadPart) > SIZE_MAX) return std::string("file too large to map");
  const HANDLE section = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (section == nullptr) return "cannot map the file (error " + std::to_string(GetLastError()) + ")";
  void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0);
  CloseHandle(section);  // the view keeps the section alive
  if (view == nullptr) return "cannot map the file (error " + std::to_string(GetLastError()) + ")";
  mapping.data_ = view;
  mapping.size_ = static_cast<std::size_t>(size.QuadPart);
  return mapping;
}

void FileMapping::unmap() noexcept {
  if (data_ != nullptr) UnmapViewOfFile(data_);
  data_ = nullptr;
  size_ = 0;
}

#else

std::variant<FileMapping, std::string> FileMapping::map(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return std::string(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return std::string("not a regular file");
  FileMapping mapping;
  if (st.st_size == 0) return mapping;
  if (static_cast<unsigned long long>(st.st_size) > SIZE_MAX) return std::string("file too large to map");
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  void* data = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) return "cannot map the file: " + std::string(std::strerror(errno));
  mapping.data_ = data;
  mapping.size_ = size;
  return mapping;
}

void FileMapping::unmap() noexcept {
  if (data_ != nullptr) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

#endif

}  // namespace tessaloom::storage
