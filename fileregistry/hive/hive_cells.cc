#include "fileregistry/hive/hive_cells.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

namespace fileregistry {
namespace {

const size_t kFirstBin = 4096;  // offsets within the hive count from here
const uint32_t kNoCell = 0xffffffff;

uint32_t Word(const char* at) {
  const auto* b = reinterpret_cast<const uint8_t*>(at);
  return b[0] | b[1] << 8 | b[2] << 16 | uint32_t{b[3]} << 24;
}
uint32_t Half(const char* at) {
  const auto* b = reinterpret_cast<const uint8_t*>(at);
  return b[0] | b[1] << 8;
}

// A reference one cell holds: the cell it names and, where that is a list
// of values or of big data's segments, how many cells it lists in turn.
struct Reference {
  uint32_t cell, listed;
};

class Cells {
 public:
  Cells(const char* bins, uint32_t size) : bins_(bins), size_(size), in_use_(size / 512 + 1) {
    references_.reserve(size / 128);  // about as many as a hive made by hivex holds
  }

  // Walks the bins, marking the cells in use and taking down what they
  // refer to. False where the bins or cells do not follow one another.
  bool Walk() {
    for (uint32_t bin = 0; bin < size_;) {
      const char* head = bins_ + bin;
      uint32_t length = Word(head + 8);
      if (std::string_view(head, 4) != "hbin" || length < 4096 || length % 4096 != 0 ||
          length > size_ - bin) {
        return false;
      }
      for (uint32_t cell = bin + 32; cell < bin + length;) {
        // Each cell is found through the size of the one before: the
        // bytes ahead are asked for early.
        __builtin_prefetch(bins_ + std::min(cell + 1024, size_ - 1));
        int64_t room = static_cast<int32_t>(Word(bins_ + cell));
        bool used = room < 0;
        if (used) room = -room;
        if (room < 8 || room % 8 != 0 || room > bin + length - cell) return false;
        if (used) Take(cell, static_cast<uint32_t>(room));
        cell += static_cast<uint32_t>(room);
      }
      bin += length;
    }
    return true;
  }

  // Whether every reference taken down names a cell in use, and every list
  // of cells so named lists cells in use.
  bool AllInUse() const {
    for (const Reference& reference : references_) {
      if (!InUse(reference.cell)) return false;
      if (reference.listed == 0) continue;
      uint32_t room = static_cast<uint32_t>(-static_cast<int32_t>(Word(bins_ + reference.cell)));
      if (4 + 4 * uint64_t{reference.listed} > room) return false;
      for (uint32_t i = 0; i < reference.listed; ++i) {
        if (!InUse(Word(bins_ + reference.cell + 4 + 4 * i))) return false;
      }
    }
    return true;
  }

 private:
  bool InUse(uint32_t cell) const {
    return cell % 8 == 0 && cell < size_ && (in_use_[cell / 512] >> (cell / 8 % 64) & 1);
  }

  void Refer(uint32_t cell, uint32_t listed = 0) { references_.push_back({cell, listed}); }

  // Marks the cell at `cell`, of `room` bytes, and takes down what it refers to.
  void Take(uint32_t cell, uint32_t room) {
    in_use_[cell / 512] |= uint64_t{1} << (cell / 8 % 64);
    const char* c = bins_ + cell + 4;  // behind the cell's size
    uint32_t size = room - 4;
    std::string_view kind(c, 2);
    if (kind == "nk" && size >= 76) {
      if (Word(c + 20) != 0) Refer(Word(c + 28));
      if (Word(c + 36) != 0) Refer(Word(c + 40), Word(c + 36));
    } else if ((kind == "lf" || kind == "lh" || kind == "li" || kind == "ri") && size >= 4) {
      uint32_t width = kind[1] == 'f' || kind[1] == 'h' ? 8 : 4, count = Half(c + 2);
      if (4 + uint64_t{count} * width > size) {
        Refer(kNoCell);  // a list longer than its cell
        return;
      }
      for (uint32_t i = 0; i < count; ++i) Refer(Word(c + 4 + i * width));
    } else if (kind == "vk" && size >= 20) {
      uint32_t length = Word(c + 4);
      if ((length & 0x80000000) == 0 && length != 0) Refer(Word(c + 8));
    } else if (kind == "db" && size >= 8) {
      Refer(Word(c + 4), Half(c + 2));
    }
  }

  const char* bins_;
  uint32_t size_;
  std::vector<uint64_t> in_use_;  // a bit for each 8 bytes of the bins
  std::vector<Reference> references_;
};

}  // namespace

bool RefersOnlyToCellsInUse(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kFirstBin)) return false;
  size_t size = static_cast<size_t>(st.st_size);
  void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (mapped == MAP_FAILED) return false;
  const char* hive = static_cast<const char*>(mapped);
  uint32_t bins = Word(hive + 0x28);
  bool whole = bins % 4096 == 0 && bins <= size - kFirstBin;
  if (whole) {
    Cells cells(hive + kFirstBin, bins);
    whole = cells.Walk() && cells.AllInUse();
  }
  munmap(mapped, size);
  return whole;
}

}  // namespace fileregistry
