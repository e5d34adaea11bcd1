// A file descriptor that closes itself.
#ifndef FILEREGISTRY_FILE_FD_H_
#define FILEREGISTRY_FILE_FD_H_

#include <unistd.h>

#include <utility>

namespace fileregistry {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace fileregistry

#endif  // FILEREGISTRY_FILE_FD_H_
