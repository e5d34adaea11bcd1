// Reading a store's file whose reads fail or fall short.
#include "fileregistry/store/store_reading.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "fileregistry/win32_registry.h"
#include "tests/test_support.h"

namespace {

// A file that `st` says holds 20 bytes: a read that fails is said as a
// failed read; one that ends early met a file cut short meanwhile.
TEST(StoreReading, AHeadThatCannotBeReadWhole) {
  const struct {
    const char* name;
    bool pipe;  // pread fails on it (ESPIPE), as on a failing disk
    long status;
    const char* said;
  } kCases[] = {
      {"failing", true, ERROR_READ_FAULT, "cannot be read (rc 30)"},
      {"cut short", false, ERROR_REGISTRY_IO_FAILED,
       "changed by another program while being read (rc 1016)"},
  };
  for (const auto& c : kCases) {
    TempDir dir;
    fileregistry::StoreLocation at;
    at.path = dir.File(c.name);
    WriteFile(at.path, "REGEDIT4\n\n");
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    fileregistry::Fd reader(ends[0]), writer(ends[1]), file(open(at.path.c_str(), O_RDONLY));
    ASSERT_EQ(10, write(writer.get(), "REGEDIT4\n\n", 10));
    int fd = c.pipe ? reader.get() : file.get();
    struct stat st;
    ASSERT_EQ(0, stat(at.path.c_str(), &st));
    st.st_size = 20;
    std::shared_ptr<const fileregistry::Store> store;
    size_t line = 0;
    std::string why;
    testing::internal::CaptureStderr();
    long status = fileregistry::ReadOpened(at, fd, st, &store, &line, &why);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.status, status) << c.name;
    EXPECT_EQ(std::string(program_invocation_short_name) + ": " + at.path + ": " + c.said + "\n",
              said);
    EXPECT_EQ("", why) << c.name << ": said, not kept";
  }
}

}  // namespace
