#include "support/g_mem.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <unistd.h>

// The failing allocations below must come back as null pointers under the
// sanitizers too, instead of ending the test.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
extern "C" const char* __tsan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

// Runs `call` with file descriptor 2 redirected to a temporary file and
// returns what was written to it.
std::string capture_stderr(const std::function<void()>& call) {
  fflush(stderr);
  FILE* tmp = tmpfile();
  if (tmp == nullptr) return "<no tmpfile>";
  const int saved = dup(2);
  dup2(fileno(tmp), 2);
  call();
  fflush(stderr);
  dup2(saved, 2);
  ::close(saved);
  std::string text;
  rewind(tmp);
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, tmp)) > 0)
    text.append(buf, n);
  fclose(tmp);
  return text;
}

TEST(GMem, UsableStackSize) {
  G_MEM mem;
  EXPECT_GE(mem.stack_size, 65536u);
  EXPECT_EQ(mem.free_ram(), -1);  // nothing held

  EXPECT_EQ(G_MEM::usable_stack_size(16384), 65536u);
  EXPECT_EQ(G_MEM::usable_stack_size(65536), 65536u);
  EXPECT_EQ(G_MEM::usable_stack_size(131072), 131072u);
  EXPECT_EQ(G_MEM::usable_stack_size(-1), 65536u);  // failed query
}

TEST(GMem, AlignedZeroFilledBlockReleasedOnce) {
  G_MEM mem;
  ASSERT_EQ(mem.allocate_ram(3), 0);
  ASSERT_NE(mem.p_ram, nullptr);
  EXPECT_EQ(mem.size, 3u * 2097152u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(mem.p_ram) % 2097152u, 0u);
  unsigned char* bytes = static_cast<unsigned char*>(mem.p_ram);
  if (mem.b_locked) {
    size_t nonzero = 0;
    for (uint64_t i = 0; i < mem.size; ++i)
      nonzero += bytes[i] != 0;
    EXPECT_EQ(nonzero, 0u);
  }
  memset(bytes, 0xa5, mem.size);  // the whole block is usable
  EXPECT_EQ(mem.free_ram(), 0);
  EXPECT_EQ(mem.p_ram, nullptr);
  EXPECT_EQ(mem.free_ram(), -1);
}

TEST(GMem, VerboseLinesOnStandardError) {
  if (fwide(stderr, 0) < 0) GTEST_SKIP() << "standard error is already byte-oriented";
  G_MEM mem;
  mem.b_verbose = true;
  int rc = -1;
  const std::string text = capture_stderr([&] { rc = mem.allocate_ram(1); });
  ASSERT_EQ(rc, 0);
  char expected[160];
  snprintf(expected, sizeof expected, ":: page size   2 MB  :: align    2 MB RAM at: 0x%08x %s\n",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(mem.p_ram) & 0xffffffffu),
           mem.b_locked ? "[LOCKED]" : "");
  EXPECT_EQ(text, expected);
}

TEST(GMem, FailedAllocationIsReported) {
  if (fwide(stderr, 0) < 0) GTEST_SKIP() << "standard error is already byte-oriented";
  G_MEM mem;
  mem.b_verbose = true;
  int rc = 0;
  // 2^30 units = 2 PiB: no system grants it.
  std::string text = capture_stderr([&] { rc = mem.allocate_ram(1ul << 30); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(mem.p_ram, nullptr);
  EXPECT_FALSE(mem.b_locked);
  const std::string trailer = std::string("!! _aligned_malloc() failed to allocate RAM!\n   ^ERROR: 12, ") +
                              strerror(ENOMEM) + "\n\n";
  // A sanitizer may add its own warning between the two pieces.
  const std::string tail = ":: align 2147483648 MB RAM at: 0x00000000 \n" + trailer;
  EXPECT_EQ(text.rfind(":: page size   2 MB  ", 0), 0u) << text;
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_EQ(mem.free_ram(), -1);

  // A count whose byte size does not fit 64 bits must not wrap into a
  // small block that looks like a success.
  text = capture_stderr([&] { rc = mem.allocate_ram((1ul << 43) + 1); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(mem.p_ram, nullptr);
  EXPECT_NE(text.find(trailer), std::string::npos);
}

}  // namespace
