#pragma once
// One large block of memory: aligned to and sized in 2 MiB units, locked
// into physical memory with mlock and, when locked, zero-filled. Also
// reports the page size and a usable thread stack size.
//
// Threading: allocated and released on the main thread before the slots'
// threads start and after they end; the block itself is shared by offsets
// (each slot touches only its own region).

#include <cstdint>

class G_MEM {
 public:
  // Clears every field, sets align to 2 MiB, fills page_size and stack_size.
  G_MEM();
  // Releases the block, if any.
  ~G_MEM();
  G_MEM(const G_MEM&) = delete;
  G_MEM& operator=(const G_MEM&) = delete;

  // 0 when a block was obtained (locked or not); -1 when the allocation
  // failed (reported on standard error). Does not release a block held.
  int allocate_ram(unsigned long units);
  // 0 after releasing the block (cleared first when it was locked); -1
  // when no block is held.
  int free_ram();

  // Thread stack size from the system's minimum (sysconf result, -1 when
  // the query failed): that minimum when larger than 65536, else 65536.
  static uint64_t usable_stack_size(long system_minimum);

  static constexpr uint64_t unit_size = 2097152;  // 2 MiB

  bool b_locked;
  bool b_verbose;
  uint64_t page_size;
  uint64_t stack_size;
  uint64_t units;
  uint64_t align;
  uint64_t size;
  void* p_ram;
};
