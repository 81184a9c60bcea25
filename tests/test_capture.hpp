// Console capture for unit tests: the runner's own output has already fixed
// the stream's width, so the stream is reopened on a file for the duration of
// a call and what was written there is read back.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

struct capture {
  FILE* stream;
  int fd;
  int saved = -1;
  std::string path;
  explicit capture(FILE* s) : stream(s), fd(fileno(s)) {
    char tmpl[] = "/tmp/relay_test_capXXXXXX";
    const int t = mkstemp(tmpl);
    if (t != -1) close(t);
    path = tmpl;
    fflush(stream);
    saved = dup(fd);
    if (freopen(path.c_str(), "w", stream) == nullptr) abort();
  }
  // What was written since the capture began; the stream is its own again.
  std::string finish() {
    if (saved == -1) return {};
    fflush(stream);
    dup2(saved, fd);
    close(saved);
    saved = -1;
    if (freopen(nullptr, "a", stream) == nullptr) abort();
    std::string s;
    FILE* f = fopen(path.c_str(), "rb");
    char b[512];
    size_t n;
    while (f != nullptr && (n = fread(b, 1, sizeof b, f)) > 0)
      s.append(b, n);
    if (f != nullptr) fclose(f);
    unlink(path.c_str());
    return s;
  }
  ~capture() { finish(); }
  capture(const capture&) = delete;
  capture& operator=(const capture&) = delete;
};
