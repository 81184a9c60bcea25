// Process-wide TLS contexts: creation, protocol and cipher policy, key
// exchange groups, certificate loading and checks.
#include "transport/g_tls.hpp"
#include "support/g_eintr.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "support/g_text.hpp"

#include <ctime>

SSL_CTX* g_tls_t::ctx_server = nullptr;
SSL_CTX* g_tls_t::ctx_client = nullptr;
std::mutex g_tls_t::ctx_mtx;
std::atomic<bool> g_tls_t::server_valid{false};
std::atomic<int64_t> g_tls_t::server_not_after{0};
bool g_tls_t::client_valid = false;
bool g_tls_t::cert_valid = false;
bool g_tls_t::no_weak_ciphers = false;
bool g_tls_t::show_errors = false;
G_TLS_MIN_BITS_EC_E g_tls_t::min_bits_ec = G_TLS_MIN_BITS_EC_256;
G_TLS_CER_FAULT_E g_tls_t::cer_fault = G_TLS_CER_OK;
int g_tls_t::cer_fault_errno = 0;

const char* const g_tls_t::PEM_FILE_1 = "localhost.pem";
const char* const g_tls_t::PEM_FILE_2 = "relayhub.pem";

char g_tls_t::cer[g_tls_t::PATH_SIZE] = "localhost.pem";
char g_tls_t::key[g_tls_t::PATH_SIZE] = "localhost.pem";

const char* const g_tls_t::MIN_BITS_EC_ARR[g_tls_t::MIN_BITS_EC_LENGTH] = {"256", "384", "448", "521"};

int g_tls_t::init_ctx(G_TLS_MODE_E mode) {
  if (!server_valid && (mode & G_TLS_MODE_SERVER) != 0) {
    wprintf(L"%s\n", OpenSSL_version(OPENSSL_VERSION));
    cert_valid = false;
    // A context without a usable certificate is replaced, not leaked.
    SSL_CTX* old = ctx_server;
    ctx_server = SSL_CTX_new(TLS_server_method());
    if (old != nullptr) SSL_CTX_free(old);
    if (ctx_server == nullptr) {
      wprintf(L"cannot create server SSL context\n\n");
      return -1;
    }
    set_ciphers(no_weak_ciphers);
  }
  if (client_valid || (mode & G_TLS_MODE_CLIENT) == 0) return 0;
  wprintf(L"%s\n", OpenSSL_version(OPENSSL_VERSION));
  client_valid = false;
  ctx_client = SSL_CTX_new(TLS_client_method());
  if (ctx_client == nullptr) {
    wprintf(L"cannot create client SSL context\n\n");
    return -1;
  }
  client_valid = true;
  return 0;
}

namespace {

const char* const tls_1_3_cipher_list[2] = {
    "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384",
    "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384",
};
const char* const tls_1_2_cipher_list[2] = {
    "CHACHA20:ECDHE+AESGCM:ECDHE+SHA384:ECDHE+SHA1:!CAMELLIA:!AES128",
    "CHACHA20:ECDHE+AESGCM:!CBC:!SHA1:!CAMELLIA:!AES128",
};

}  // namespace

int g_tls_t::set_ciphers(bool no_weak) {
  no_weak_ciphers = no_weak;
  const int i = no_weak ? 1 : 0;
  int fails = 0;
  SSL_CTX* const ctxs[2] = {ctx_server, ctx_client};
  for (int side = 0; side < 2; ++side) {
    if (ctxs[side] != nullptr)
      fails |= apply_policy(ctxs[side], tls_1_2_cipher_list[i], tls_1_3_cipher_list[i])
               << (side == 0 ? 0 : 4);
  }
  return fails;
}

int g_tls_t::apply_policy(SSL_CTX* ctx, const char* tls12, const char* tls13) {
  int fails = 0;
  if (SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) != 1) fails |= 0x01;
  if (SSL_CTX_set_cipher_list(ctx, tls12) != 1) fails |= 0x02;
  if (SSL_CTX_set_ciphersuites(ctx, tls13) != 1) fails |= 0x04;
  SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_security_level(ctx, 2);
  return fails;
}

int g_tls_t::set_min_bits_ec(G_TLS_MIN_BITS_EC_E e) {
  static int groups_256[] = {NID_X25519, NID_secp384r1, NID_X448, NID_secp521r1, NID_secp256k1};
  static int groups_384[] = {NID_secp384r1, NID_X448, NID_secp521r1};
  static int groups_448[] = {NID_X448, NID_secp521r1};
  static int groups_521[] = {NID_secp521r1};
  static int* const groups[4] = {groups_256, groups_384, groups_448, groups_521};
  static const long count[4] = {5, 3, 2, 1};

  const unsigned idx = static_cast<unsigned>(e);
  if (idx > 3) return -1;
  min_bits_ec = e;
  int result = -1;
  if (ctx_client != nullptr)
    result = SSL_CTX_ctrl(ctx_client, SSL_CTRL_SET_GROUPS, count[idx], groups[idx]) == 1 ? 0 : -1;
  if (ctx_server != nullptr)
    result = SSL_CTX_ctrl(ctx_server, SSL_CTRL_SET_GROUPS, count[idx], groups[idx]) == 1 ? 0 : -1;
  return result;
}

int g_tls_t::set_min_bits_ec(const char* name) {
  if (name == nullptr) return -1;
  const int64_t idx = g_bin_search_string(MIN_BITS_EC_ARR, MIN_BITS_EC_LENGTH, name);
  if (idx < 0) return -1;
  return set_min_bits_ec(static_cast<G_TLS_MIN_BITS_EC_E>(idx));
}

namespace {

// Opens a file and reads one byte, so that a missing or unreadable file is
// told apart from one OpenSSL cannot parse. 0, or the errno of the failure;
// an empty file passes and is left to OpenSSL.
int probe_file(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return errno != 0 ? errno : ENOENT;
  char c;
  const ssize_t r = no_eintr([&] { return ::read(fd, &c, 1); });
  const int err = r == -1 ? errno : 0;
  ::close(fd);
  return err;
}

G_TLS_CER_FAULT_E file_fault(int err) {
  return err == ENOENT ? G_TLS_CER_MISSING : G_TLS_CER_UNREADABLE;
}

// OpenSSL refuses a key that does not fit the certificate already in the
// context with the same failure as no key at all; whether the file holds a
// key tells the two apart.
bool holds_private_key(const char* path) {
  BIO* b = BIO_new_file(path, "r");
  if (b == nullptr) return false;
  EVP_PKEY* k = PEM_read_bio_PrivateKey(b, nullptr, nullptr, nullptr);
  BIO_free(b);
  ERR_clear_error();
  if (k == nullptr) return false;
  EVP_PKEY_free(k);
  return true;
}

// Loads a certificate chain and its private key into ctx and checks that they
// belong together; 0, or -1 with the fault recorded in g_tls_t::cer_fault.
int use_cer_and_key(SSL_CTX* ctx, const char* cer, const char* key, bool show_errors) {
  int err = probe_file(cer);
  if (err != 0 || SSL_CTX_use_certificate_chain_file(ctx, cer) <= 0) {
    g_tls_t::cer_fault = err != 0 ? file_fault(err) : G_TLS_CER_NOT_CERTIFICATE;
    g_tls_t::cer_fault_errno = err;
    if (show_errors) wprintf(L"invalid or missing certificate file\n%s\n\n", cer);
    return -1;
  }
  err = strcmp(key, cer) == 0 ? 0 : probe_file(key);
  if (err != 0 || SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) <= 0) {
    g_tls_t::cer_fault = err != 0                 ? file_fault(err)
                         : holds_private_key(key) ? G_TLS_CER_KEY_MISMATCH
                                                  : G_TLS_CER_NO_KEY;
    g_tls_t::cer_fault_errno = err;
    if (show_errors) wprintf(L"invalid or missing key file\n%s\n\n", key);
    return -1;
  }
  if (SSL_CTX_check_private_key(ctx) == 0) {
    g_tls_t::cer_fault = G_TLS_CER_KEY_MISMATCH;
    g_tls_t::cer_fault_errno = 0;
    if (show_errors) fwprintf(stderr, L"Private key does not match the public certificate\n");
    return -1;
  }
  return 0;
}

}  // namespace

int g_tls_t::load_cer(G_TLS_MODE_E mode) {
  SSL_CTX* ctx = mode == G_TLS_MODE_CLIENT ? ctx_client : ctx_server;
  cer_fault = G_TLS_CER_OK;
  cer_fault_errno = 0;
  if (ctx == nullptr) {
    cer_fault = G_TLS_CER_NO_CONTEXT;
    return -1;
  }
  // OpenSSL replaces the context's certificate before it looks at the key, so
  // a pair that fails half-way would leave an identity loaded earlier with a
  // certificate but no key, and every handshake would fail. Such a pair is
  // tried on a scratch context first and never reaches the live one.
  if (SSL_CTX_get0_certificate(ctx) != nullptr) {
    SSL_CTX* trial = SSL_CTX_new(mode == G_TLS_MODE_CLIENT ? TLS_client_method() : TLS_server_method());
    if (trial == nullptr) {
      cer_fault = G_TLS_CER_NO_CONTEXT;
      return -1;
    }
    SSL_CTX_set_security_level(trial, SSL_CTX_get_security_level(ctx));
    const int tried = use_cer_and_key(trial, cer, key, show_errors);
    SSL_CTX_free(trial);
    if (tried != 0) return -1;
  }
  if (use_cer_and_key(ctx, cer, key, show_errors) != 0) return -1;
  if (mode != G_TLS_MODE_SERVER) return 0;

  server_valid = true;
  server_not_after = not_after_of(ctx);
  X509* cert = SSL_CTX_get0_certificate(ctx);
  if (cert == nullptr) return 0;
  const ASN1_TIME* not_after = X509_getm_notAfter(cert);
  if (not_after == nullptr) return 0;
  int days = 0;
  int secs = 0;
  if (ASN1_TIME_diff(&days, &secs, nullptr, not_after) == 0) return 0;
  if (days > 0 || secs > 0)
    cert_valid = true;
  else
    wprintf(L"certificate expired %i days ago\n\n", -days);
  return 0;
}

namespace {

// Copies a path into one of the 65536-byte path fields; a path that does not
// fit leaves the field empty so that the load that follows fails.
void store_path(char* field, const char* path, const wchar_t* too_long) {
  memset(field, 0, g_tls_t::PATH_SIZE);
  const size_t len = strlen(path);
  if (len + 1 > g_tls_t::PATH_SIZE) {
    wprintf(too_long, static_cast<unsigned>(len), static_cast<unsigned>(g_tls_t::PATH_SIZE - 1));
    return;
  }
  memcpy(field, path, len + 1);
}

}  // namespace

int g_tls_t::load_cer(const char* tls_cer, const char* tls_key, G_TLS_MODE_E mode) {
  if (tls_cer != nullptr) store_path(cer, tls_cer, L"g_tls_t::load_cer()  tls_cer too long  %u/%u\n");
  if (tls_key != nullptr) store_path(key, tls_key, L"g_tls_t::load_cer()  tls_key too long  %u/%u\n");
  return load_cer(mode);
}

int g_tls_t::cer_fault_text(G_TLS_CER_FAULT_E fault, int err, wchar_t* out, size_t n) {
  if (out == nullptr || n == 0) return 0;
  int r;
  switch (fault) {
    case G_TLS_CER_OK:
      r = swprintf(out, n, L"loaded");
      break;
    case G_TLS_CER_MISSING:
      r = swprintf(out, n, L"missing");
      break;
    case G_TLS_CER_UNREADABLE:
      r = swprintf(out, n, L"unreadable (%s)", strerror(err));
      break;
    case G_TLS_CER_NOT_CERTIFICATE:
      r = swprintf(out, n, L"not a certificate");
      break;
    case G_TLS_CER_NO_KEY:
      r = swprintf(out, n, L"no private key");
      break;
    case G_TLS_CER_KEY_MISMATCH:
      r = swprintf(out, n, L"key does not match the certificate");
      break;
    default:
      r = swprintf(out, n, L"no TLS context");
      break;
  }
  // swprintf gives -1 when the text does not fit; keep what fits.
  if (r < 0) {
    out[n - 1] = 0;
    r = static_cast<int>(wcslen(out));
  }
  return r;
}

bool g_tls_t::check_host(const char* name, size_t len) {
  if (!cert_valid || ctx_server == nullptr) return false;
  X509* cert = SSL_CTX_get0_certificate(ctx_server);
  if (cert == nullptr) return false;
  return X509_check_host(cert, name, len, 0, nullptr) == 1;
}

int64_t g_tls_t::not_after_of(SSL_CTX* ctx) {
  X509* cert = ctx != nullptr ? SSL_CTX_get0_certificate(ctx) : nullptr;
  const ASN1_TIME* t = cert != nullptr ? X509_get0_notAfter(cert) : nullptr;
  tm when{};
  if (t == nullptr || ASN1_TIME_to_tm(t, &when) != 1) return 0;
  return static_cast<int64_t>(timegm(&when));
}

SSL_CTX* g_tls_t::build_server_ctx(const char* const* files, int n, G_TLS_CER_FAULT_E* faults, int* errnos) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    for (int i = 0; i < n; ++i) {
      faults[i] = G_TLS_CER_NO_CONTEXT;
      errnos[i] = 0;
    }
    return nullptr;
  }
  const int p = no_weak_ciphers ? 1 : 0;
  apply_policy(ctx, tls_1_2_cipher_list[p], tls_1_3_cipher_list[p]);
  bool usable = false;
  for (int i = 0; i < n; ++i) {
    // As at start-up: a pair that fails half-way is tried on a scratch
    // context first, so that it never spoils one loaded before it.
    SSL_CTX* trial = SSL_CTX_new(TLS_server_method());
    int r = -1;
    if (trial == nullptr) {
      cer_fault = G_TLS_CER_NO_CONTEXT;
      cer_fault_errno = 0;
    } else {
      SSL_CTX_set_security_level(trial, SSL_CTX_get_security_level(ctx));
      r = use_cer_and_key(trial, files[i], files[i], show_errors);
      SSL_CTX_free(trial);
    }
    if (r == 0) r = use_cer_and_key(ctx, files[i], files[i], show_errors);
    faults[i] = r == 0 ? G_TLS_CER_OK : cer_fault;
    errnos[i] = r == 0 ? 0 : cer_fault_errno;
    usable = usable || r == 0;
  }
  if (!usable) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

void g_tls_t::replace_server_ctx(SSL_CTX* ctx) {
  SSL_CTX* old = nullptr;
  {
    std::lock_guard<std::mutex> lk(ctx_mtx);
    old = ctx_server;
    ctx_server = ctx;
    server_valid = true;
  }
  server_not_after = not_after_of(ctx);
  int days = 0;
  int secs = 0;
  const ASN1_TIME* t = X509_get0_notAfter(SSL_CTX_get0_certificate(ctx));
  cert_valid = t != nullptr && ASN1_TIME_diff(&days, &secs, nullptr, t) == 1 && (days > 0 || secs > 0);
  // Sessions made from the old context hold references of their own.
  if (old != nullptr) SSL_CTX_free(old);
}

void g_tls_t::free_ctx() {
  SSL_CTX* server = ctx_server;
  SSL_CTX* client = ctx_client;
  server_valid = false;
  client_valid = false;
  cert_valid = false;
  server_not_after = 0;
  {
    std::lock_guard<std::mutex> lk(ctx_mtx);
    ctx_server = nullptr;
  }
  ctx_client = nullptr;
  if (server != nullptr) SSL_CTX_free(server);
  if (client != nullptr) SSL_CTX_free(client);
}
