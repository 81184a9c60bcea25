#pragma once
// A set of one or more libgcrypt message-digest contexts of one algorithm.
// Result pointers, context handles and results share one block of memory:
//   [ctx_count result pointers][ctx_count handles][ctx_count results]
// txt_hashes[i] is the result of context i after update_txt_hashes().
//
// Threading: one object belongs to one thread at a time (a connection's
// handshake runs on its receive thread); the library's own start-up, made
// by init, may run on several threads at once.

#include <cstdint>
#include <gcrypt.h>

// The GUID that RFC 6455 appends to a client's key before the SHA-1 of the
// server's answer; hashed without its zero byte.
inline constexpr char G_WS_KEY_MAGIC[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

class G_CRYPT {
 public:
  uint64_t all_length;         // size of the whole block in bytes
  uint64_t ptr_length;         // size of the result-pointer array: ctx_count * 8
  uint64_t txt_length;         // size of all results: ctx_count * hash_length
  gcry_md_hd_t* ctx;           // ctx_count handles, inside the block
  uint32_t md_flags;           // flags for gcry_md_open, always 0
  bool b_valid;                // a set is open and usable
  uint32_t alg_id;             // libgcrypt algorithm number (1 = MD5, 2 = SHA-1)
  unsigned char** txt_hashes;  // owner of the block, seen as result pointers
  uint32_t hash_length;        // digest length of alg_id in bytes
  uint64_t ctx_count;          // number of contexts in the set

  G_CRYPT();
  ~G_CRYPT();
  G_CRYPT(const G_CRYPT&) = delete;
  G_CRYPT& operator=(const G_CRYPT&) = delete;

  // Opens a set of `contexts` digest contexts of algorithm `alg_id`,
  // releasing any earlier set first. `flags` is unused (contexts open with
  // md_flags). Returns 0 on success, else the reported error number.
  int init(unsigned long contexts, unsigned int flags, unsigned int alg_id);

  // Adds len bytes to context `index`. -1 when no set is open or the
  // index is out of range, else 0.
  int hash_data(unsigned long index, const unsigned char* data, unsigned long len);

  // Finalises every context and copies its digest to txt_hashes[i].
  // -1 when no set is open or any digest could not be read, else 0.
  int update_txt_hashes();

  // Zeroes the results and restarts every context from empty data.
  void reset();

  // Returns the members to their constructed values without releasing anything.
  void erase();

  // Closes the contexts, wipes and frees the block, then erase().
  void free_context();
};
