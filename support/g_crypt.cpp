// Message digest contexts (MD5, SHA-1) over libgcrypt for the WebSocket
// handshakes.
#include "support/g_crypt.hpp"

#include "support/g_console.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>

namespace {

constexpr uint64_t PTR_SIZE = sizeof(unsigned char*);
constexpr uint64_t HANDLE_SIZE = sizeof(gcry_md_hd_t);
static_assert(PTR_SIZE == 8 && HANDLE_SIZE == 8, "block layout assumes 8-byte pointers");

// libgcrypt's version check and initialisation are not safe to run from
// several threads at once, and handshakes of different connections call
// init in parallel; so the library is set up exactly once per process.
std::once_flag g_lib_once;
bool g_lib_ok = false;

void lib_setup() {
  // Compare against the headers we are built with, never a fixed number.
  if (gcry_check_version(GCRYPT_VERSION) == nullptr) return;
  gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
  gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  g_lib_ok = true;
}

}  // namespace

G_CRYPT::G_CRYPT() {
  erase();
}

G_CRYPT::~G_CRYPT() {
  free_context();
}

void G_CRYPT::erase() {
  all_length = 0;
  ptr_length = 0;
  txt_length = 0;
  ctx = nullptr;
  md_flags = 0;
  b_valid = false;
  alg_id = 2;
  txt_hashes = nullptr;
  hash_length = 0;
  ctx_count = 0;
}

void G_CRYPT::free_context() {
  b_valid = false;
  if (ctx != nullptr && ctx_count != 0) {
    for (uint64_t i = 0; i < ctx_count; ++i) {
      if (ctx[i] != nullptr) {
        gcry_md_close(ctx[i]);
        ctx[i] = nullptr;
      }
    }
  }
  if (txt_hashes != nullptr) {
    // Secure memory is off: wipe results and handles before giving the
    // block back (explicit_bzero is not optimised away before free).
    explicit_bzero(txt_hashes, all_length);
    free(txt_hashes);
  }
  erase();
}

int G_CRYPT::init(unsigned long contexts, unsigned int flags, unsigned int alg) {
  (void)flags;
  free_context();

  // An empty set would leave txt_hashes[0] pointing past the block.
  if (contexts == 0) return EINVAL;

  ctx_count = contexts;
  alg_id = alg;

  std::call_once(g_lib_once, lib_setup);
  if (!g_lib_ok) {
    int err = errno;
    if (err == 0) err = ENOTSUP;  // a failure must never read as success
    print_format_inline(err, L"gcry_check_version(GCRYPT_VERSION)  libgcrypt version mismatch");
    erase();
    return err;
  }

  hash_length = gcry_md_get_algo_dlen(alg_id);
  const uint64_t per_ctx = PTR_SIZE + HANDLE_SIZE + hash_length;
  if (ctx_count > UINT64_MAX / per_ctx || ctx_count * per_ctx > SIZE_MAX) {
    // The block size would wrap around: refuse as an allocation failure.
    print_format_inline(ENOMEM, L"G_CRYPT::init(){ txt_hashes = malloc(all_length); }");
    erase();
    return ENOMEM;
  }
  ptr_length = ctx_count * PTR_SIZE;
  txt_length = static_cast<uint64_t>(hash_length) * ctx_count;
  all_length = ctx_count * (PTR_SIZE + HANDLE_SIZE) + txt_length;

  errno = 0;
  unsigned char* block = static_cast<unsigned char*>(malloc(all_length));
  if (block == nullptr) {
    int err = errno != 0 ? errno : ENOMEM;
    print_format_inline(err, L"G_CRYPT::init(){ txt_hashes = malloc(all_length); }");
    erase();
    return err;
  }
  memset(block, 0, all_length);
  txt_hashes = reinterpret_cast<unsigned char**>(block);
  ctx = reinterpret_cast<gcry_md_hd_t*>(block + ptr_length);

  for (uint64_t i = 0; i < ctx_count; ++i) {
    gcry_error_t rc = gcry_md_open(&ctx[i], static_cast<int>(alg_id), md_flags);
    if (rc != 0 || ctx[i] == nullptr) {
      int err = static_cast<int>(rc);
      if (err == 0) err = ENOMEM;  // no handle although the library reported none
      print_format_inline(err, L"gcry_md_open(&ctx[i], alg_id, 0");
      ctx[i] = nullptr;
      for (uint64_t j = i; j > 0; --j) {
        gcry_md_close(ctx[j - 1]);
        ctx[j - 1] = nullptr;
      }
      free_context();
      return err;
    }
  }

  unsigned char* result = block + ptr_length + ctx_count * HANDLE_SIZE;
  for (uint64_t i = 0; i < ctx_count; ++i) {
    txt_hashes[i] = result;
    result += hash_length;
  }
  b_valid = true;
  return 0;
}

int G_CRYPT::hash_data(unsigned long index, const unsigned char* data, unsigned long len) {
  if (!b_valid || index >= ctx_count) return -1;
  gcry_md_write(ctx[index], data, len);
  return 0;
}

int G_CRYPT::update_txt_hashes() {
  if (!b_valid) return -1;
  bool failed = false;
  for (uint64_t i = 0; i < ctx_count; ++i) {
    gcry_md_final(ctx[i]);
    const unsigned char* digest = gcry_md_read(ctx[i], static_cast<int>(alg_id));
    if (digest != nullptr) {
      memcpy(txt_hashes[i], digest, hash_length);
    } else {
      if (!failed)
        wprintf(L"update_txt_hashes::gcry_md_read(ctx[%u], alg_id) FAILED\n", static_cast<unsigned>(i));
      failed = true;
    }
  }
  return failed ? -1 : 0;
}

void G_CRYPT::reset() {
  if (!b_valid) return;
  memset(txt_hashes[0], 0, txt_length);
  for (uint64_t i = 0; i < ctx_count; ++i)
    gcry_md_reset(ctx[i]);
}
