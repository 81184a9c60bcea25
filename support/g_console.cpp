// Wide console output and the error trailer of failed system calls.
#include "support/g_console.hpp"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <unistd.h>

namespace {

constexpr const wchar_t* ERROR_TRAILER = L"   ^ERROR: %u, %s\n\n";

int print_format_to(FILE* stream, int err, const wchar_t* headline) {
  if (headline != nullptr) fwprintf(stream, L"%ls\n", headline);
  fwprintf(stream, ERROR_TRAILER, static_cast<unsigned>(err), strerror(err));
  return err;
}

struct time_parts {
  uint16_t hours;  // whole hours modulo 65536
  uint64_t rest;   // the part below one hour, from the full duration
  int minutes;
  int seconds;
  long long millis;
};

time_parts split_time(uint64_t ms) {
  time_parts t;
  t.hours = static_cast<uint16_t>(ms / 3600000u);
  t.rest = ms % 3600000u;
  t.minutes = static_cast<int>(t.rest / 60000u);
  t.seconds = static_cast<int>((t.rest % 60000u) / 1000u);
  t.millis = static_cast<long long>(t.rest % 1000u);
  return t;
}

}  // namespace

int print_format_inline(int err, const wchar_t* headline) {
  return print_format_to(stdout, err, headline);
}

int print_format_stderr(int err, const wchar_t* headline) {
  return print_format_to(stderr, err, headline);
}

int print_format_message(int err, const wchar_t* text) {
  wprintf(L"%u %ls%s", static_cast<unsigned>(err), text, strerror(err));
  return err;
}

int print_time(uint64_t ms) {
  const time_parts t = split_time(ms);
  if (t.hours != 0)
    return wprintf(L"%2d:%02d:%02d.%03lld [hh:mm:ss.ms]", static_cast<int>(t.hours), t.minutes, t.seconds,
                   t.millis);
  if (t.rest >= 60000u) return wprintf(L"%2d:%02d.%03lld [mm:ss.ms]", t.minutes, t.seconds, t.millis);
  return wprintf(L"%2d.%03lld s ", t.seconds, t.millis);
}

int print_time_short(uint64_t ms) {
  const time_parts t = split_time(ms);
  const long long tenths = t.millis / 100;
  if (t.hours != 0)
    return wprintf(L"%2d:%02d:%02d.%lld ", static_cast<int>(t.hours), t.minutes, t.seconds, tenths);
  if (t.rest >= 60000u) return wprintf(L"%2d:%02d.%lld ", t.minutes, t.seconds, tenths);
  return wprintf(L"%2d.%lld ", t.seconds, tenths);
}

int redirect_stdout_to_stderr() {
  return dup2(fileno(stderr), 1);
}
