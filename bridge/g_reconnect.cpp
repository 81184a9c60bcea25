// The links' one reconnect loop: its back-off and its outage lines.
#include "bridge/g_reconnect.hpp"

void G_RECONNECT::init(const wchar_t* kind_name, const char* host_name, uint16_t port_number,
                       const wchar_t* role_name, unsigned standby_pause_ms, char* why_text) {
  kind = kind_name;
  host = host_name;
  port = port_number;
  role = role_name;
  standby_ms = standby_pause_ms;
  why = why_text;
}

bool G_RECONNECT::up() {
  backoff.reset();
  b_reported = false;
  const bool again = b_ever_up;
  b_ever_up = true;
  return again;
}

unsigned G_RECONNECT::failed(bool b_was_connected) {
  if (b_was_connected || !b_reported) {
    bridge_printable(why);
    bridge_log(L"!! %ls %s:%u %ls%ls%ls%ls: %s; %ls (backoff %u ms doubling to %u ms)\n", kind, host,
               unsigned(port), b_was_connected ? L"down" : L"unreachable", role != nullptr ? L" (" : L"",
               role != nullptr ? role : L"", role != nullptr ? L")" : L"", why,
               b_was_connected ? L"reconnecting" : L"retrying", BRIDGE_BACKOFF::FIRST_MS,
               BRIDGE_BACKOFF::CAP_MS);
    b_reported = true;
  }
  return backoff.take();
}
