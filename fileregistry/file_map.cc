#include "fileregistry/file_map.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace fileregistry {
namespace {

// The mappings alive, for the SIGBUS handler: it may touch nothing but
// these atomics.
struct Slot {
  std::atomic<uintptr_t> begin{0}, end{0};  // begin 1: being set up
  std::atomic<bool> damaged{false};
};
const int kSlots = 64;
Slot slots[kSlots];
struct sigaction previous_action;

void OnBusError(int signal_number, siginfo_t* info, void* context) {
  uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  uintptr_t page_size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  for (Slot& slot : slots) {
    uintptr_t begin = slot.begin.load(), end = slot.end.load();
    if (begin <= 1 || address < begin || address >= end) continue;
    // Zeros where the file's end was: the read goes on, and is not trusted.
    uintptr_t page = address & ~(page_size - 1);
    if (mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      slot.damaged.store(true);
      return;
    }
  }
  // Not a mapping of ours: as though this handler were not there.
  if (previous_action.sa_flags & SA_SIGINFO) {
    previous_action.sa_sigaction(signal_number, info, context);
  } else if (previous_action.sa_handler != SIG_IGN && previous_action.sa_handler != SIG_DFL) {
    previous_action.sa_handler(signal_number);
  } else {
    sigaction(SIGBUS, &previous_action, nullptr);  // the fault comes again, and kills
  }
}

// Installs the handler, once for the process.
bool InstallHandler() {
  static const bool installed = [] {
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, &previous_action) == 0;
  }();
  return installed;
}

}  // namespace

namespace {

// Takes a free slot of the table; -1 when none is left.
int TakeSlot() {
  for (int slot = 0; slot < kSlots; ++slot) {
    uintptr_t unused = 0;
    if (slots[slot].begin.compare_exchange_strong(unused, 1)) return slot;
  }
  return -1;
}

bool Watched(uintptr_t begin) {
  for (const Slot& slot : slots) {
    if (slot.begin.load() == begin) return true;
  }
  return false;
}

void SetSlot(int slot, uintptr_t begin, uintptr_t end) {
  slots[slot].damaged.store(false);
  slots[slot].end.store(end);
  slots[slot].begin.store(begin);
}

}  // namespace

std::shared_ptr<FileMap> FileMap::Map(int fd, size_t size) {
  if (!InstallHandler() || size == 0) return nullptr;
  int slot = TakeSlot();
  if (slot < 0) return nullptr;
  size_t page_size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t length = (size + page_size - 1) / page_size * page_size;
  // Its pages put in place at once: one call, not a fault for each page.
  void* data = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (data == MAP_FAILED) {
    slots[slot].begin.store(0);
    return nullptr;
  }
  SetSlot(slot, reinterpret_cast<uintptr_t>(data), reinterpret_cast<uintptr_t>(data) + length);
  return std::shared_ptr<FileMap>(
      new FileMap(static_cast<const char*>(data), size, length, slot, true));
}

std::shared_ptr<FileMap> FileMap::Watch(int fd) {
  struct stat st;
  if (!InstallHandler() || fstat(fd, &st) != 0) return nullptr;
  FILE* maps = fopen("/proc/self/maps", "re");
  if (maps == nullptr) return nullptr;
  // "begin-end perms offset major:minor inode path": hivex's mapping is a
  // shared one ("r--s"), and not one watched already.
  unsigned long begin = 0, end = 0, major_number = 0, minor_number = 0, inode = 0;
  char line[4096], permissions[8];
  bool found = false;
  while (!found && fgets(line, sizeof(line), maps) != nullptr) {
    found = sscanf(line, "%lx-%lx %7s %*s %lx:%lx %lu", &begin, &end, permissions, &major_number,
                   &minor_number, &inode) == 6 &&
            inode == st.st_ino && major_number == major(st.st_dev) &&
            minor_number == minor(st.st_dev) && permissions[3] == 's' && !Watched(begin);
  }
  fclose(maps);
  int slot = found ? TakeSlot() : -1;
  if (slot < 0) return nullptr;
  SetSlot(slot, begin, end);
  return std::shared_ptr<FileMap>(
      new FileMap(reinterpret_cast<const char*>(begin), end - begin, end - begin, slot, false));
}

FileMap::~FileMap() {
  slots[slot_].begin.store(1);
  if (owned_) munmap(const_cast<char*>(data_), length_);
  slots[slot_].end.store(0);
  slots[slot_].begin.store(0);
}

bool FileMap::Intact() const { return !slots[slot_].damaged.load(); }

}  // namespace fileregistry
