// relayhub-bridge's command line parsed into its options record, with the
// checks that refuse what cannot work (a password file others can read).
#include "bridge/bridge_options.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// Copies s into out (size bytes with its zero byte). -1 when it does not fit.
int copy_text(const char* s, char* out, size_t size) {
  const size_t n = strlen(s);
  if (n >= size) return -1;
  memcpy(out, s, n + 1);
  return 0;
}

// A decimal size with an optional k/K (KiB) or m/M (MiB) suffix.
int parse_size(const char* s, uint64_t& out) {
  if (*s < '0' || *s > '9') return -1;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = strtoull(s, &end, 10);
  if (errno != 0 || end == s) return -1;
  uint64_t unit = 1;
  if (*end == 'k' || *end == 'K') {
    unit = 1024;
    ++end;
  } else if (*end == 'm' || *end == 'M') {
    unit = 1024 * 1024;
    ++end;
  }
  if (*end != 0 || v > UINT64_MAX / unit) return -1;
  out = uint64_t(v) * unit;
  return 0;
}

int fail(BRIDGE_OPTIONS& o, const char* what, const char* value) {
  snprintf(o.error, sizeof o.error, "%s%s%s", what, value ? ": " : "", value ? value : "");
  return BRIDGE_PARSE_ERROR;
}

}  // namespace

int bridge_parse_host_port(const char* s, char* host, size_t host_size, uint16_t& port) {
  if (s == nullptr) return -1;
  const char* colon = strrchr(s, ':');
  if (colon == nullptr || colon == s) return -1;
  const size_t n = size_t(colon - s);
  if (n >= host_size) return -1;
  const char* p = colon + 1;
  if (*p < '0' || *p > '9') return -1;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = strtoul(p, &end, 10);
  if (errno != 0 || *end != 0 || v == 0 || v > 65535) return -1;
  memcpy(host, s, n);
  host[n] = 0;
  port = uint16_t(v);
  return 0;
}

int bridge_parse_options(int argc, char** argv, BRIDGE_OPTIONS& o) {
  bool have_hub = false;
  bool have_redis = false;
  for (int i = 1; i < argc; ++i) {
    char name[64];
    const char* arg = argv[i];
    const char* value = nullptr;
    const char* eq = strchr(arg, '=');
    if (strncmp(arg, "--", 2) == 0 && eq != nullptr) {
      const size_t n = size_t(eq - arg);
      if (n >= sizeof name) return fail(o, "unknown option", arg);
      memcpy(name, arg, n);
      name[n] = 0;
      value = eq + 1;
    } else {
      if (copy_text(arg, name, sizeof name) != 0) return fail(o, "unknown option", arg);
    }
    if (strcmp(name, "-h") == 0 || strcmp(name, "--help") == 0) return BRIDGE_PARSE_HELP;
    if (strcmp(name, "--tls") == 0 || strcmp(name, "--redis-tls") == 0) {
      if (value != nullptr) return fail(o, strcmp(name, "--tls") == 0 ? "--tls takes no value" : "--redis-tls takes no value", value);
      (strcmp(name, "--tls") == 0 ? o.b_tls : o.b_redis_tls) = true;
      continue;
    }
    static const char* const with_value[] = {"--hub", "--redis", "--ca", "--channel", "--password-file",
                                             "--buffer", "--max-message", "--stats", "--transport",
                                             "--retention", "--redis-ca", "--redis-cert", "--redis-key",
                                             "--redis-user", "--metrics"};
    bool known = false;
    for (const char* w : with_value) known = known || strcmp(name, w) == 0;
    if (!known) return fail(o, "unknown option", arg);
    if (value == nullptr) {
      if (i + 1 >= argc) return fail(o, "missing value for", name);
      value = argv[++i];
    }
    if (strcmp(name, "--hub") == 0) {
      if (bridge_parse_host_port(value, o.hub_host, sizeof o.hub_host, o.hub_port) != 0)
        return fail(o, "--hub wants HOST:PORT", value);
      have_hub = true;
    } else if (strcmp(name, "--redis") == 0) {
      if (bridge_parse_host_port(value, o.redis_host, sizeof o.redis_host, o.redis_port) != 0)
        return fail(o, "--redis wants HOST:PORT", value);
      have_redis = true;
    } else if (strcmp(name, "--ca") == 0) {
      if (*value == 0 || copy_text(value, o.ca_file, sizeof o.ca_file) != 0)
        return fail(o, "bad --ca file name", value);
      o.b_tls = true;  // verifying a certificate implies TLS
    } else if (strcmp(name, "--channel") == 0) {
      if (*value == 0 || copy_text(value, o.channel, sizeof o.channel) != 0)
        return fail(o, "--channel wants a name of 1 to 255 bytes", value);
    } else if (strcmp(name, "--password-file") == 0) {
      if (*value == 0 || copy_text(value, o.password_file, sizeof o.password_file) != 0)
        return fail(o, "bad --password-file name", value);
    } else if (strcmp(name, "--buffer") == 0) {
      if (parse_size(value, o.buffer_bytes) != 0 || o.buffer_bytes < BRIDGE_OPTIONS::BUFFER_MIN ||
          o.buffer_bytes > BRIDGE_OPTIONS::BUFFER_MAX)
        return fail(o, "--buffer wants 64k to 1024m bytes", value);
    } else if (strcmp(name, "--max-message") == 0) {
      if (parse_size(value, o.max_message) != 0 || o.max_message == 0 ||
          o.max_message > BRIDGE_OPTIONS::HUB_MESSAGE_MAX)
        return fail(o, "--max-message wants 1 to 2097136 bytes", value);
    } else if (strcmp(name, "--transport") == 0) {
      if (strcmp(value, "streams") == 0)
        o.transport = TRANSPORT_STREAMS;
      else if (strcmp(value, "pubsub") == 0)
        o.transport = TRANSPORT_PUBSUB;
      else
        return fail(o, "--transport wants streams or pubsub", value);
    } else if (strcmp(name, "--retention") == 0) {
      uint64_t s = 0;
      if (parse_size(value, s) != 0 || s == 0 || s > BRIDGE_OPTIONS::RETENTION_MAX_S ||
          strpbrk(value, "kKmM") != nullptr)
        return fail(o, "--retention wants 1 to 604800 seconds", value);
      o.retention_s = unsigned(s);
    } else if (strcmp(name, "--redis-ca") == 0 || strcmp(name, "--redis-cert") == 0 ||
               strcmp(name, "--redis-key") == 0) {
      char* out = strcmp(name, "--redis-ca") == 0     ? o.redis_ca
                  : strcmp(name, "--redis-cert") == 0 ? o.redis_cert
                                                      : o.redis_key;
      if (*value == 0 || copy_text(value, out, BRIDGE_OPTIONS::PATH_SIZE) != 0)
        return fail(o, "bad file name for", name);
      o.b_redis_tls = true;  // each of them implies TLS
    } else if (strcmp(name, "--redis-user") == 0) {
      if (*value == 0 || strpbrk(value, " \t\r\n") != nullptr ||
          copy_text(value, o.redis_user, sizeof o.redis_user) != 0)
        return fail(o, "--redis-user wants a name of 1 to 255 bytes without blanks", value);
    } else if (strcmp(name, "--metrics") == 0) {
      // PORT alone listens on the loopback address.
      if (strchr(value, ':') != nullptr) {
        if (bridge_parse_host_port(value, o.metrics_host, sizeof o.metrics_host, o.metrics_port) != 0)
          return fail(o, "--metrics wants PORT or ADDRESS:PORT", value);
      } else {
        char* end = nullptr;
        errno = 0;
        const unsigned long v = strtoul(value, &end, 10);
        if (*value < '0' || *value > '9' || errno != 0 || *end != 0 || v == 0 || v > 65535)
          return fail(o, "--metrics wants PORT or ADDRESS:PORT", value);
        o.metrics_port = uint16_t(v);
      }
    } else {  // --stats
      uint64_t s = 0;
      if (parse_size(value, s) != 0 || s == 0 || s > 86400 || strpbrk(value, "kKmM") != nullptr)
        return fail(o, "--stats wants 1 to 86400 seconds", value);
      o.stats_s = unsigned(s);
    }
  }
  if (!have_hub) return fail(o, "--hub HOST:PORT is required", nullptr);
  if (!have_redis) return fail(o, "--redis HOST:PORT is required", nullptr);
  if (o.redis_key[0] != 0 && o.redis_cert[0] == 0) return fail(o, "--redis-key wants --redis-cert", nullptr);
  if (o.redis_user[0] != 0 && o.password_file[0] == 0)
    return fail(o, "--redis-user wants --password-file", nullptr);
  return BRIDGE_PARSE_OK;
}

void bridge_print_usage(const char* program) {
  wprintf(L"usage: %s --hub HOST:PORT [--tls] [--ca FILE] --redis HOST:PORT\n"
          L"          [--transport streams|pubsub] [--retention SECONDS] [--channel NAME]\n"
          L"          [--redis-tls] [--redis-ca FILE] [--redis-cert FILE [--redis-key FILE]]\n"
          L"          [--redis-user NAME] [--password-file FILE]\n"
          L"          [--buffer BYTES] [--max-message BYTES] [--stats SECONDS]\n"
          L"          [--metrics [ADDRESS:]PORT]\n"
          L"\n"
          L"Joins a relayhub to every other hub whose bridge uses the same Redis and channel.\n"
          L"  --hub            the hub, reached as a WebSocket client\n"
          L"  --tls            WebSocket over TLS to the hub; verifies nothing by itself\n"
          L"  --ca FILE        verify the hub's certificate against FILE (implies --tls)\n"
          L"  --redis          the Redis server\n"
          L"  --transport      streams (default): one Redis stream, kept for --retention;\n"
          L"                   a bridge resumes where it stopped, nothing lost within it.\n"
          L"                   pubsub: a pub/sub channel, nothing kept\n"
          L"  --retention      seconds the stream keeps each message (default 60)\n"
          L"  --channel        stream key or pub/sub channel (default relayhub)\n"
          L"  --redis-tls      TLS to Redis; verifies nothing by itself\n"
          L"  --redis-ca FILE  verify Redis' certificate against FILE (implies --redis-tls)\n"
          L"  --redis-cert FILE, --redis-key FILE\n"
          L"                   client certificate (and its key, if in another file)\n"
          L"  --redis-user     Redis ACL user (with --password-file)\n"
          L"  --password-file  Redis password: the file's first line; the file must not\n"
          L"                   be readable by others than its owner\n"
          L"  --buffer         bytes buffered toward the hub and toward Redis, each\n"
          L"                   (default 4m; 64k to 1024m)\n"
          L"  --max-message    largest message relayed (default 2097136; the hub's own\n"
          L"                   limit, when it announces one, if lower); larger ones are\n"
          L"                   dropped and counted\n"
          L"  --stats          seconds between counter lines (default 10)\n"
          L"  --metrics        serve GET /metrics (Prometheus) and GET /healthz on PORT\n"
          L"                   (loopback) or ADDRESS:PORT\n",
          program);
}
