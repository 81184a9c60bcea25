// relayhub-bridge's command line parsed into its options record, with the
// checks that refuse what cannot work together (a key without its
// certificate, a user without a password).
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

// A port number from 1 to 65535, all of s. 0, or -1 (port untouched).
int parse_port(const char* s, uint16_t& port) {
  if (*s < '0' || *s > '9') return -1;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = strtoul(s, &end, 10);
  if (errno != 0 || *end != 0 || v == 0 || v > 65535) return -1;
  port = uint16_t(v);
  return 0;
}

// Seconds from 1 to max, without a size suffix. 0, or -1 (out untouched).
int parse_seconds(const char* s, uint64_t max, unsigned& out) {
  uint64_t v = 0;
  if (parse_size(s, v) != 0 || v == 0 || v > max || strpbrk(s, "kKmM") != nullptr) return -1;
  out = unsigned(v);
  return 0;
}

// Each option's parser: BRIDGE_PARSE_OK, or BRIDGE_PARSE_ERROR with
// o.error set. A flag's value is nullptr.
using APPLY_FN = int (*)(BRIDGE_OPTIONS& o, const char* name, const char* value);

int set_hub(BRIDGE_OPTIONS& o, const char*, const char* value) {
  if (bridge_parse_host_port(value, o.hub_host, sizeof o.hub_host, o.hub_port) != 0)
    return fail(o, "--hub wants HOST:PORT", value);
  return BRIDGE_PARSE_OK;
}

int set_redis(BRIDGE_OPTIONS& o, const char*, const char* value) {
  if (bridge_parse_host_port(value, o.redis_host, sizeof o.redis_host, o.redis_port) != 0)
    return fail(o, "--redis wants HOST:PORT", value);
  return BRIDGE_PARSE_OK;
}

int set_tls(BRIDGE_OPTIONS& o, const char*, const char*) {
  o.b_tls = true;
  return BRIDGE_PARSE_OK;
}

int set_ca(BRIDGE_OPTIONS& o, const char*, const char* value) {
  if (*value == 0 || copy_text(value, o.ca_file, sizeof o.ca_file) != 0)
    return fail(o, "bad --ca file name", value);
  o.b_tls = true;  // verifying a certificate implies TLS
  return BRIDGE_PARSE_OK;
}

int set_channel(BRIDGE_OPTIONS& o, const char*, const char* value) {
  if (*value == 0 || copy_text(value, o.channel, sizeof o.channel) != 0)
    return fail(o, "--channel wants a name of 1 to 255 bytes", value);
  return BRIDGE_PARSE_OK;
}

int set_password_file(BRIDGE_OPTIONS& o, const char*, const char* value) {
  if (*value == 0 || copy_text(value, o.password_file, sizeof o.password_file) != 0)
    return fail(o, "bad --password-file name", value);
  return BRIDGE_PARSE_OK;
}

int set_buffer(BRIDGE_OPTIONS& o, const char*, const char* value) {
  if (parse_size(value, o.buffer_bytes) != 0 || o.buffer_bytes < BRIDGE_OPTIONS::BUFFER_MIN ||
      o.buffer_bytes > BRIDGE_OPTIONS::BUFFER_MAX)
    return fail(o, "--buffer wants 64k to 1024m bytes", value);
  return BRIDGE_PARSE_OK;
}

int set_max_message(BRIDGE_OPTIONS& o, const char*, const char* value) {
  if (parse_size(value, o.max_message) != 0 || o.max_message == 0 ||
      o.max_message > BRIDGE_OPTIONS::HUB_MESSAGE_MAX)
    return fail(o, "--max-message wants 1 to 2097136 bytes", value);
  return BRIDGE_PARSE_OK;
}

int set_stats(BRIDGE_OPTIONS& o, const char*, const char* value) {
  if (parse_seconds(value, 86400, o.stats_s) != 0) return fail(o, "--stats wants 1 to 86400 seconds", value);
  return BRIDGE_PARSE_OK;
}

int set_transport(BRIDGE_OPTIONS& o, const char*, const char* value) {
  if (strcmp(value, "streams") == 0)
    o.transport = TRANSPORT_STREAMS;
  else if (strcmp(value, "pubsub") == 0)
    o.transport = TRANSPORT_PUBSUB;
  else
    return fail(o, "--transport wants streams or pubsub", value);
  return BRIDGE_PARSE_OK;
}

int set_retention(BRIDGE_OPTIONS& o, const char*, const char* value) {
  if (parse_seconds(value, BRIDGE_OPTIONS::RETENTION_MAX_S, o.retention_s) != 0)
    return fail(o, "--retention wants 1 to 604800 seconds", value);
  return BRIDGE_PARSE_OK;
}

int set_redis_tls(BRIDGE_OPTIONS& o, const char*, const char*) {
  o.b_redis_tls = true;
  return BRIDGE_PARSE_OK;
}

// --redis-ca, --redis-cert and --redis-key: a file name into out.
int set_redis_file(BRIDGE_OPTIONS& o, char* out, const char* name, const char* value) {
  if (*value == 0 || copy_text(value, out, BRIDGE_OPTIONS::PATH_SIZE) != 0)
    return fail(o, "bad file name for", name);
  o.b_redis_tls = true;  // each of them implies TLS
  return BRIDGE_PARSE_OK;
}

int set_redis_ca(BRIDGE_OPTIONS& o, const char* name, const char* value) {
  return set_redis_file(o, o.redis_ca, name, value);
}

int set_redis_cert(BRIDGE_OPTIONS& o, const char* name, const char* value) {
  return set_redis_file(o, o.redis_cert, name, value);
}

int set_redis_key(BRIDGE_OPTIONS& o, const char* name, const char* value) {
  return set_redis_file(o, o.redis_key, name, value);
}

int set_redis_user(BRIDGE_OPTIONS& o, const char*, const char* value) {
  if (*value == 0 || strpbrk(value, " \t\r\n") != nullptr ||
      copy_text(value, o.redis_user, sizeof o.redis_user) != 0)
    return fail(o, "--redis-user wants a name of 1 to 255 bytes without blanks", value);
  return BRIDGE_PARSE_OK;
}

int set_metrics(BRIDGE_OPTIONS& o, const char*, const char* value) {
  // PORT alone listens on the loopback address.
  const int r = strchr(value, ':') != nullptr
                    ? bridge_parse_host_port(value, o.metrics_host, sizeof o.metrics_host, o.metrics_port)
                    : parse_port(value, o.metrics_port);
  if (r != 0) return fail(o, "--metrics wants PORT or ADDRESS:PORT", value);
  return BRIDGE_PARSE_OK;
}

struct OPTION {
  const char* name;
  bool b_value;  // takes a value; otherwise a flag
  APPLY_FN apply;
};

const OPTION OPTIONS[] = {
    {"--hub", true, set_hub},
    {"--redis", true, set_redis},
    {"--tls", false, set_tls},
    {"--ca", true, set_ca},
    {"--channel", true, set_channel},
    {"--password-file", true, set_password_file},
    {"--buffer", true, set_buffer},
    {"--max-message", true, set_max_message},
    {"--stats", true, set_stats},
    {"--transport", true, set_transport},
    {"--retention", true, set_retention},
    {"--redis-tls", false, set_redis_tls},
    {"--redis-ca", true, set_redis_ca},
    {"--redis-cert", true, set_redis_cert},
    {"--redis-key", true, set_redis_key},
    {"--redis-user", true, set_redis_user},
    {"--metrics", true, set_metrics},
};

const OPTION* find_option(const char* name) {
  for (const OPTION& opt : OPTIONS)
    if (strcmp(name, opt.name) == 0) return &opt;
  return nullptr;
}

// The option's name into name (size bytes) and, for "--name=value", the
// value (else nullptr). 0, or -1 when the name does not fit.
int split_argument(const char* arg, char* name, size_t size, const char*& value) {
  value = nullptr;
  const char* eq = strchr(arg, '=');
  if (strncmp(arg, "--", 2) != 0 || eq == nullptr) return copy_text(arg, name, size);
  const size_t n = size_t(eq - arg);
  if (n >= size) return -1;
  memcpy(name, arg, n);
  name[n] = 0;
  value = eq + 1;
  return 0;
}

// What the options need of each other once all are read.
int check_together(BRIDGE_OPTIONS& o) {
  if (o.hub_port == 0) return fail(o, "--hub HOST:PORT is required", nullptr);
  if (o.redis_port == 0) return fail(o, "--redis HOST:PORT is required", nullptr);
  if (o.redis_key[0] != 0 && o.redis_cert[0] == 0) return fail(o, "--redis-key wants --redis-cert", nullptr);
  if (o.redis_user[0] != 0 && o.password_file[0] == 0)
    return fail(o, "--redis-user wants --password-file", nullptr);
  return BRIDGE_PARSE_OK;
}

}  // namespace

int bridge_parse_host_port(const char* s, char* host, size_t host_size, uint16_t& port) {
  if (s == nullptr) return -1;
  const char* colon = strrchr(s, ':');
  if (colon == nullptr || colon == s) return -1;
  const size_t n = size_t(colon - s);
  if (n >= host_size || parse_port(colon + 1, port) != 0) return -1;
  memcpy(host, s, n);
  host[n] = 0;
  return 0;
}

int bridge_parse_options(int argc, char** argv, BRIDGE_OPTIONS& o) {
  for (int i = 1; i < argc; ++i) {
    char name[64];
    const char* value = nullptr;
    if (split_argument(argv[i], name, sizeof name, value) != 0) return fail(o, "unknown option", argv[i]);
    if (strcmp(name, "-h") == 0 || strcmp(name, "--help") == 0) return BRIDGE_PARSE_HELP;
    const OPTION* opt = find_option(name);
    if (opt == nullptr) return fail(o, "unknown option", argv[i]);
    if (!opt->b_value && value != nullptr) {
      snprintf(o.error, sizeof o.error, "%s takes no value: %s", name, value);
      return BRIDGE_PARSE_ERROR;
    }
    if (opt->b_value && value == nullptr) {
      if (i + 1 >= argc) return fail(o, "missing value for", name);
      value = argv[++i];
    }
    const int r = opt->apply(o, name, value);
    if (r != BRIDGE_PARSE_OK) return r;
  }
  return check_together(o);
}

void bridge_print_usage(const char* program) {
  wprintf(
      L"usage: %s --hub HOST:PORT [--tls] [--ca FILE] --redis HOST:PORT\n"
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
