#include "fileregistry/file_map.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace fileregistry {
namespace {

// The mappings alive, for the SIGBUS handler: it may touch nothing but
// these atomics. A slot's bounds are set while its version is odd, so that
// the handler never takes the begin of one mapping with the end of another.
struct Slot {
  std::atomic<bool> taken{false};
  std::atomic<unsigned> version{0};
  std::atomic<uintptr_t> begin{0}, end{0};
  std::atomic<bool> damaged{false};
};
const int kSlots = 64;
Slot slots[kSlots];
struct sigaction previous_action;

void SetBounds(Slot& slot, uintptr_t begin, uintptr_t end) {
  slot.version.fetch_add(1);
  slot.begin.store(begin);
  slot.end.store(end);
  slot.version.fetch_add(1);
}

// Whether `address` lies in `slot`'s mapping, read whole.
bool InSlot(const Slot& slot, uintptr_t address, uintptr_t* end) {
  for (;;) {
    unsigned version = slot.version.load();
    uintptr_t begin = slot.begin.load();
    *end = slot.end.load();
    if (version % 2 == 0 && slot.version.load() == version) {
      return begin != 0 && address >= begin && address < *end;
    }
  }
}

// Puts zero pages from the faulting page to the end of its mapping, so that
// the read goes on, and marks the mapping damaged. False when the fault is
// none of ours.
bool TakeFault(uintptr_t address) {
  uintptr_t page = address & ~(static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)) - 1);
  for (Slot& slot : slots) {
    uintptr_t end;
    if (!InSlot(slot, address, &end)) continue;
    if (mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) {
      return false;
    }
    slot.damaged.store(true);
    return true;
  }
  return false;
}

void OnBusError(int signal_number, siginfo_t* info, void* context) {
  int saved_errno = errno;
  // A truncated file's pages: BUS_ADRERR at an address of one of ours.
  bool ours = info->si_code == BUS_ADRERR && TakeFault(reinterpret_cast<uintptr_t>(info->si_addr));
  if (!ours) {
    // As though this handler were not there.
    if (previous_action.sa_flags & SA_SIGINFO) {
      previous_action.sa_sigaction(signal_number, info, context);
    } else if (previous_action.sa_handler != SIG_IGN && previous_action.sa_handler != SIG_DFL) {
      previous_action.sa_handler(signal_number);
    } else if (previous_action.sa_handler == SIG_DFL) {
      sigaction(SIGBUS, &previous_action, nullptr);
      if (info->si_code <= 0) raise(SIGBUS);  // sent, not a fault: a fault comes again, and kills
    }
  }
  errno = saved_errno;
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

// Takes a free slot of the table; -1 when none is left.
int TakeSlot() {
  for (int slot = 0; slot < kSlots; ++slot) {
    bool free = false;
    if (slots[slot].taken.compare_exchange_strong(free, true)) return slot;
  }
  return -1;
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
    slots[slot].taken.store(false);
    return nullptr;
  }
  slots[slot].damaged.store(false);
  SetBounds(slots[slot], reinterpret_cast<uintptr_t>(data),
            reinterpret_cast<uintptr_t>(data) + length);
  return std::shared_ptr<FileMap>(new FileMap(static_cast<const char*>(data), size, length, slot));
}

FileMap::~FileMap() {
  SetBounds(slots[slot_], 0, 0);
  munmap(const_cast<char*>(data_), length_);
  slots[slot_].taken.store(false);
}

bool FileMap::Intact() const { return !slots[slot_].damaged.load(); }

}  // namespace fileregistry
