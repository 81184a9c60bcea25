// The locked, aligned arena all connection buffers come from.
#include "support/g_mem.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <sys/mman.h>
#include <unistd.h>

#include "support/g_console.hpp"

namespace {
constexpr uint64_t kMinStack = 65536;
constexpr unsigned kUnitShift = 21;
}  // namespace

G_MEM::G_MEM()
    : b_locked(false),
      b_verbose(false),
      page_size(0),
      stack_size(0),
      units(0),
      align(unit_size),
      size(0),
      p_ram(nullptr) {
  page_size = static_cast<uint64_t>(getpagesize());
  stack_size = usable_stack_size(sysconf(_SC_THREAD_STACK_MIN));
}

G_MEM::~G_MEM() {
  free_ram();
}

uint64_t G_MEM::usable_stack_size(long system_minimum) {
  // A failed query (-1) must not turn into a huge unsigned size.
  if (system_minimum <= 0) return kMinStack;
  const uint64_t minimum = static_cast<uint64_t>(system_minimum);
  return minimum > kMinStack ? minimum : kMinStack;
}

int G_MEM::allocate_ram(unsigned long count) {
  units = count;
  align = unit_size;
  // A unit count whose byte size does not fit 64 bits would wrap to a
  // small block the owner takes for a large one: refuse it instead.
  const bool too_large = units > (UINT64_MAX >> kUnitShift);
  size = too_large ? 0 : units << kUnitShift;
  if (b_verbose) fwprintf(stderr, L":: page size %3u MB  ", 2u);
  int alloc_errno = 0;
  if (too_large) {
    p_ram = nullptr;
    alloc_errno = ENOMEM;
  } else {
    errno = 0;
    p_ram = aligned_alloc(static_cast<size_t>(align), static_cast<size_t>(size));
    alloc_errno = errno;
  }
  b_locked = mlock(p_ram, static_cast<size_t>(size)) == 0 && p_ram != nullptr;
  if (b_verbose) {
    fwprintf(stderr, L":: align %4u MB RAM at: 0x%08x %s\n", static_cast<unsigned>(size >> 20),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(p_ram) & 0xffffffffu),
             b_locked ? "[LOCKED]" : "");
  }
  if (b_locked) memset(p_ram, 0, static_cast<size_t>(size));
  if (p_ram != nullptr) return 0;
  print_format_stderr(alloc_errno != 0 ? alloc_errno : ENOMEM,
                      L"!! _aligned_malloc() failed to allocate RAM!");
  return -1;
}

int G_MEM::free_ram() {
  if (p_ram == nullptr) return -1;
  size = align * units;
  if (b_locked) {
    memset(p_ram, 0, static_cast<size_t>(size));
    munlock(p_ram, static_cast<size_t>(size));
  }
  free(p_ram);
  p_ram = nullptr;
  return 0;
}
