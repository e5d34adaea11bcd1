// A store file mapped read-only, so that reading it copies nothing. Another
// program may truncate the file while it is mapped; touching the pages past
// its new end would then raise SIGBUS. A handler puts zero pages there
// instead and marks the mapping damaged, so that whoever read it can tell.
#ifndef FILEREGISTRY_FILE_MAP_H_
#define FILEREGISTRY_FILE_MAP_H_

#include <cstddef>
#include <memory>
#include <string_view>

namespace fileregistry {

class FileMap {
 public:
  // Maps the first `size` bytes of the file open as `fd`. Null when it
  // cannot (then read the file instead).
  static std::shared_ptr<FileMap> Map(int fd, size_t size);
  ~FileMap();
  FileMap(const FileMap&) = delete;
  FileMap& operator=(const FileMap&) = delete;

  std::string_view bytes() const { return std::string_view(data_, size_); }
  // False once part of the file was found gone: what was read may be wrong.
  bool Intact() const;

 private:
  FileMap(const char* data, size_t size, size_t length, int slot)
      : data_(data), size_(size), length_(length), slot_(slot) {}

  const char* data_;
  size_t size_, length_;  // the file's bytes; the mapping's, in whole pages
  int slot_;              // in the table the SIGBUS handler reads
};

}  // namespace fileregistry

#endif  // FILEREGISTRY_FILE_MAP_H_
