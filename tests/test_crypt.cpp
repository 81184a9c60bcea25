#include "support/g_crypt.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr unsigned MD5 = 1;
constexpr unsigned SHA1 = 2;

std::string hex(const unsigned char* p, size_t n) {
  std::string s;
  char buf[3];
  for (size_t i = 0; i < n; ++i) {
    snprintf(buf, sizeof buf, "%02x", p[i]);
    s += buf;
  }
  return s;
}

const unsigned char* bytes(const char* s) {
  return reinterpret_cast<const unsigned char*>(s);
}

std::string digest_of(unsigned alg, const std::string& text) {
  G_CRYPT c;
  if (c.init(1, 0, alg) != 0) return "init failed";
  if (c.hash_data(0, bytes(text.data()), text.size()) != 0 || c.update_txt_hashes() != 0)
    return "hash failed";
  return hex(c.txt_hashes[0], c.hash_length);
}

}  // namespace

TEST(Crypt, ConstructedObjectIsEmpty) {
  G_CRYPT c;
  EXPECT_FALSE(c.b_valid);
  EXPECT_EQ(c.alg_id, 2u);
  EXPECT_EQ(c.txt_hashes, nullptr);
  EXPECT_EQ(c.ctx, nullptr);
  EXPECT_EQ(c.all_length, 0u);
  EXPECT_EQ(c.ctx_count, 0u);

  const unsigned char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(c.hash_data(0, abc, 3), -1);
  EXPECT_EQ(c.update_txt_hashes(), -1);
  c.reset();
  EXPECT_FALSE(c.b_valid);
  EXPECT_EQ(c.txt_hashes, nullptr);
}

TEST(Crypt, BlockLayout) {
  G_CRYPT c;
  ASSERT_EQ(c.init(1, 0, SHA1), 0);
  EXPECT_TRUE(c.b_valid);
  EXPECT_EQ(c.hash_length, 20u);
  EXPECT_EQ(c.ptr_length, 8u);
  EXPECT_EQ(c.txt_length, 20u);
  EXPECT_EQ(c.all_length, 36u);

  ASSERT_EQ(c.init(1, 0, MD5), 0);
  EXPECT_EQ(c.alg_id, MD5);
  EXPECT_EQ(c.hash_length, 16u);
  EXPECT_EQ(c.ptr_length, 8u);
  EXPECT_EQ(c.txt_length, 16u);
  EXPECT_EQ(c.all_length, 32u);

  ASSERT_EQ(c.init(3, 0, SHA1), 0);
  EXPECT_EQ(c.ctx_count, 3u);
  EXPECT_EQ(c.all_length, 108u);
  unsigned char* block = reinterpret_cast<unsigned char*>(c.txt_hashes);
  EXPECT_EQ(reinterpret_cast<unsigned char*>(c.ctx), block + 24);
  EXPECT_EQ(c.txt_hashes[0], block + 48);
  EXPECT_EQ(c.txt_hashes[1], c.txt_hashes[0] + 20);
  EXPECT_EQ(c.txt_hashes[2], c.txt_hashes[1] + 20);
  EXPECT_EQ(c.txt_hashes[2] + 20, block + c.all_length);
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(c.ctx[i], nullptr);
}

TEST(Crypt, Sha1Fips180Vectors) {
  EXPECT_EQ(digest_of(SHA1, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");

  // One million 'a', fed in uneven pieces.
  G_CRYPT c;
  ASSERT_EQ(c.init(1, 0, SHA1), 0);
  const std::string chunk(997, 'a');
  unsigned long left = 1000000;
  while (left > 0) {
    unsigned long n = left < chunk.size() ? left : chunk.size();
    ASSERT_EQ(c.hash_data(0, bytes(chunk.data()), n), 0);
    left -= n;
  }
  ASSERT_EQ(c.update_txt_hashes(), 0);
  EXPECT_EQ(hex(c.txt_hashes[0], 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Crypt, Md5Rfc1321Suite) {
  const struct {
    const char* text;
    const char* md5;
  } suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& v : suite)
    EXPECT_EQ(digest_of(MD5, v.text), v.md5) << '"' << v.text << '"';
}

TEST(Crypt, SplitFeedMatchesSingleFeed) {
  const std::string text = "The quick brown fox jumps over the lazy dog";
  G_CRYPT c;
  ASSERT_EQ(c.init(1, 0, SHA1), 0);
  ASSERT_EQ(c.hash_data(0, bytes(text.data()), 10), 0);
  ASSERT_EQ(c.hash_data(0, bytes(text.data()) + 10, text.size() - 10), 0);
  ASSERT_EQ(c.update_txt_hashes(), 0);
  EXPECT_EQ(hex(c.txt_hashes[0], 20), digest_of(SHA1, text));
}

TEST(Crypt, ContextsAreIndependentAndFinalisedTogether) {
  G_CRYPT c;
  ASSERT_EQ(c.init(3, 0, MD5), 0);
  ASSERT_EQ(c.hash_data(0, bytes("a"), 1), 0);
  ASSERT_EQ(c.hash_data(2, bytes("message digest"), 14), 0);
  ASSERT_EQ(c.update_txt_hashes(), 0);
  EXPECT_EQ(hex(c.txt_hashes[0], 16), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(hex(c.txt_hashes[1], 16), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hex(c.txt_hashes[2], 16), "f96b697d7cb7938d525a2f31aaf161d0");

  // An index past the set is refused instead of writing beyond the handles.
  EXPECT_EQ(c.hash_data(3, bytes("x"), 1), -1);
}

TEST(Crypt, ResetStartsFromEmptyData) {
  G_CRYPT c;
  ASSERT_EQ(c.init(2, 0, SHA1), 0);
  ASSERT_EQ(c.hash_data(0, bytes("old data"), 8), 0);
  ASSERT_EQ(c.hash_data(1, bytes("more old"), 8), 0);
  ASSERT_EQ(c.update_txt_hashes(), 0);

  c.reset();
  EXPECT_TRUE(c.b_valid);
  for (uint64_t i = 0; i < c.txt_length; ++i)
    ASSERT_EQ(c.txt_hashes[0][i], 0) << "result byte " << i << " not cleared";

  ASSERT_EQ(c.hash_data(0, bytes("abc"), 3), 0);
  ASSERT_EQ(c.update_txt_hashes(), 0);
  EXPECT_EQ(hex(c.txt_hashes[0], 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(hex(c.txt_hashes[1], 20), digest_of(SHA1, ""));
}

TEST(Crypt, ReinitAndRepeatedFree) {
  G_CRYPT c;
  ASSERT_EQ(c.init(2, 0, SHA1), 0);
  ASSERT_EQ(c.hash_data(0, bytes("stale"), 5), 0);
  ASSERT_EQ(c.init(1, 0, MD5), 0);  // releases the first set
  EXPECT_EQ(c.ctx_count, 1u);
  ASSERT_EQ(c.hash_data(0, bytes("abc"), 3), 0);
  ASSERT_EQ(c.update_txt_hashes(), 0);
  EXPECT_EQ(hex(c.txt_hashes[0], 16), "900150983cd24fb0d6963f7d28e17f72");

  c.free_context();
  c.free_context();
  EXPECT_FALSE(c.b_valid);
  EXPECT_EQ(c.txt_hashes, nullptr);
  EXPECT_EQ(c.ctx, nullptr);
  EXPECT_EQ(c.all_length, 0u);
  EXPECT_EQ(c.alg_id, 2u);
  EXPECT_EQ(c.hash_data(0, bytes("abc"), 3), -1);
  EXPECT_EQ(c.update_txt_hashes(), -1);
}

TEST(Crypt, FailedInitLeavesObjectEmpty) {
  G_CRYPT c;
  ASSERT_EQ(c.init(1, 0, SHA1), 0);
  // An algorithm the library does not know cannot be opened.
  int rc = c.init(2, 0, 99999);
  EXPECT_NE(rc, 0);
  EXPECT_FALSE(c.b_valid);
  EXPECT_EQ(c.txt_hashes, nullptr);
  EXPECT_EQ(c.ctx_count, 0u);
  EXPECT_EQ(c.alg_id, 2u);
  EXPECT_EQ(c.hash_data(0, bytes("abc"), 3), -1);

  // An empty set is refused rather than reported as a success.
  EXPECT_NE(c.init(0, 0, SHA1), 0);
  EXPECT_FALSE(c.b_valid);
  c.reset();

  // A count whose block size would wrap around is refused.
  EXPECT_NE(c.init(~0ul / 8, 0, SHA1), 0);
  EXPECT_FALSE(c.b_valid);
  EXPECT_EQ(c.txt_hashes, nullptr);
}

TEST(Crypt, ParallelSetsOnSeveralThreads) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&wrong, t] {
      for (int i = 0; i < 50; ++i) {
        if (((t + i) & 1) == 0) {
          if (digest_of(SHA1, "abc") != "a9993e364706816aba3e25717850c26c9cd0d89d") ++wrong;
        } else if (digest_of(MD5, "abc") != "900150983cd24fb0d6963f7d28e17f72") {
          ++wrong;
        }
      }
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(wrong.load(), 0);
}
