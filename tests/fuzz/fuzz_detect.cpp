// Fuzzes TLS/plain classification (g_tls_t::new_server_detect) on a real
// socket pair: the input is written into one end, which is then shut for
// writing, and the other end is classified as a freshly accepted socket.
// The server context carries a throw-away self-signed identity made at
// start, so that a ClientHello leads into a real server handshake.
//
// Properties: input that does not start like a ClientHello stays plain,
// is not consumed (every byte can still be read, in order) and is not
// answered; input that does is never taken for a finished handshake, since
// no client completes one; the teardown closes the socket.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "tests/fuzz/fuzz_check.hpp"
#include "transport/g_tls.hpp"

namespace {

constexpr size_t kRecvSize = 4096;
g_tls_t* tls = nullptr;
char* recv_buf = nullptr;

// A P-256 key and a one-day self-signed certificate for "localhost", written
// as one PEM file (chain, then key) the way the hub reads its identity.
bool make_identity(const char* path) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  bool ok = key != nullptr && x != nullptr;
  if (ok) {
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char*)"localhost", -1, -1, 0);
    X509_set_issuer_name(x, name);
    ok = X509_sign(x, key, EVP_sha256()) > 0;
  }
  FILE* f = ok ? fopen(path, "w") : nullptr;
  if (f != nullptr) {
    ok =
        PEM_write_X509(f, x) == 1 && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    ok = fclose(f) == 0 && ok;
  } else {
    ok = false;
  }
  X509_free(x);
  EVP_PKEY_free(key);
  return ok;
}

bool fd_open(int fd) {
  return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The context set-up prints the library version.
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
  char path[] = "/tmp/fuzz_detect_XXXXXX";
  const int fd = mkstemp(path);
  check(fd >= 0);
  close(fd);
  const bool made = make_identity(path);
  if (made) {
    g_tls_t::init_ctx(G_TLS_MODE_SERVER);
    g_tls_t::load_cer(path, path, G_TLS_MODE_SERVER);
  }
  unlink(path);
  check(made && g_tls_t::server_valid);
  tls = new g_tls_t;
  recv_buf = (char*)malloc(kRecvSize);
  tls->p_recv = recv_buf;
  tls->p_recv_size = kRecvSize;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // More than the socket pair buffers would block the writer.
  if (size > 65536) return 0;
  int sv[2];
  check(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
  const int server = sv[0], client = sv[1];
  size_t off = 0;
  while (off < size) {
    const ssize_t w = send(client, data + off, size - off, MSG_NOSIGNAL);
    check(w > 0);
    off += (size_t)w;
  }
  shutdown(client, SHUT_WR);
  // The slot's detection time-out; with the client's end shut it only
  // bounds a fault.
  const timeval tv{0, 500000};
  setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  const bool hello = size >= 6 && data[0] == 22 && data[5] == 1;
  const int r = tls->new_server_detect(server);
  check(tls->so == server);
  if (!hello) {
    check(r == -2 && tls->get_status() == -2);
    std::string got;
    for (;;) {
      const int64_t n = tls->recv(recv_buf, kRecvSize);
      if (n <= 0) break;
      got.append(recv_buf, (size_t)n);
    }
    check(got.size() == size && memcmp(got.data(), data, size) == 0);
    // Nothing was sent to a plain client.
    char c;
    check(recv(client, &c, 1, MSG_DONTWAIT) == -1 && (errno == EAGAIN || errno == EWOULDBLOCK));
  } else {
    check(r == -1);
  }
  tls->end_session();
  check(tls->so == -1 && tls->get_status() == -2 && !fd_open(server));
  close(client);
  return 0;
}
