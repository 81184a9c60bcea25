#include "support/g_console.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// Output of one call made in a child process whose stdout and stderr were
// freshly reopened on temporary files. A child is used because the test
// runner's own narrow output has already fixed this process's stdout
// orientation, which would swallow every wide write.
struct captured {
  bool ok = false;
  int result = 0;
  bool out_wide = false;  // stdout is wide-oriented after the call
  std::string out;
  std::string err;
};

std::string slurp(const char* path) {
  std::string s;
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return s;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0)
    s.append(buf, n);
  fclose(f);
  return s;
}

captured run_captured(const std::function<int()>& call) {
  captured c;
  char out_path[] = "/tmp/g_console_outXXXXXX";
  char err_path[] = "/tmp/g_console_errXXXXXX";
  int fd_out = mkstemp(out_path);
  int fd_err = mkstemp(err_path);
  int pfd[2];
  if (fd_out < 0 || fd_err < 0 || pipe(pfd) != 0) return c;
  close(fd_out);
  close(fd_err);
  fflush(stdout);
  fflush(stderr);

  pid_t pid = fork();
  if (pid == 0) {
    close(pfd[0]);
    if (freopen(out_path, "w", stdout) == nullptr || freopen(err_path, "w", stderr) == nullptr) _exit(2);
    int reply[2];
    reply[0] = call();
    reply[1] = fwide(stdout, 0) > 0 ? 1 : 0;
    fflush(stdout);
    fflush(stderr);
    ssize_t w = write(pfd[1], reply, sizeof reply);
    _exit(w == static_cast<ssize_t>(sizeof reply) ? 0 : 3);
  }
  close(pfd[1]);
  if (pid > 0) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    } else if (done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      int reply[2];
      if (read(pfd[0], reply, sizeof reply) == static_cast<ssize_t>(sizeof reply)) {
        c.ok = true;
        c.result = reply[0];
        c.out_wide = reply[1] != 0;
      }
    }
  }
  close(pfd[0]);
  c.out = slurp(out_path);
  c.err = slurp(err_path);
  unlink(out_path);
  unlink(err_path);
  return c;
}

std::string trailer(int err) {
  return "   ^ERROR: " + std::to_string(static_cast<unsigned>(err)) + ", " + strerror(err) + "\n\n";
}

}  // namespace

TEST(Console, InlineHeadlineThenTrailer) {
  captured c =
      run_captured([] { return print_format_inline(2, L"socket(AF_INET, cso_type, cso_protocol)"); });
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.result, 2);
  EXPECT_EQ(c.out, "socket(AF_INET, cso_type, cso_protocol)\n" + trailer(2));
  EXPECT_EQ(c.err, "");
  EXPECT_TRUE(c.out_wide);
}

TEST(Console, InlineNullAndEmptyHeadline) {
  captured null_head = run_captured([] { return print_format_inline(ENOENT, nullptr); });
  ASSERT_TRUE(null_head.ok);
  EXPECT_EQ(null_head.result, ENOENT);
  EXPECT_EQ(null_head.out, trailer(ENOENT));

  captured empty_head = run_captured([] { return print_format_inline(EINVAL, L""); });
  ASSERT_TRUE(empty_head.ok);
  EXPECT_EQ(empty_head.result, EINVAL);
  EXPECT_EQ(empty_head.out, std::string("\n").append(trailer(EINVAL)));

  // The number is printed unsigned.
  captured negative = run_captured([] { return print_format_inline(-1, nullptr); });
  ASSERT_TRUE(negative.ok);
  EXPECT_EQ(negative.result, -1);
  EXPECT_EQ(negative.out, std::string("   ^ERROR: 4294967295, ") + strerror(-1) + "\n\n");
}

TEST(Console, StderrVariantWritesOnlyToStderr) {
  captured c = run_captured([] { return print_format_stderr(ENOMEM, L"aligned_alloc()"); });
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.result, ENOMEM);
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(c.err, "aligned_alloc()\n" + trailer(ENOMEM));

  captured n = run_captured([] { return print_format_stderr(ENOMEM, nullptr); });
  ASSERT_TRUE(n.ok);
  EXPECT_EQ(n.err, trailer(ENOMEM));
}

TEST(Console, MessageHasNoSeparatorAndNoLineBreak) {
  captured c = run_captured([] { return print_format_message(EACCES, L"open: "); });
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.result, EACCES);
  EXPECT_EQ(c.out, std::to_string(EACCES) + " open: " + strerror(EACCES));
  EXPECT_TRUE(c.out_wide);
}

TEST(Console, PrintTimeForms) {
  struct {
    uint64_t ms;
    const char* text;
  } cases[] = {
      {0, " 0.000 s "},
      {999, " 0.999 s "},
      {59999, "59.999 s "},
      {60000, " 1:00.000 [mm:ss.ms]"},
      {3599999, "59:59.999 [mm:ss.ms]"},
      {3600000, " 1:00:00.000 [hh:mm:ss.ms]"},
      {3723456, " 1:02:03.456 [hh:mm:ss.ms]"},
      // 65536 hours wrap the 16-bit hour count to 0: the rest below one
      // hour decides the form.
      {65536ull * 3600000ull, " 0.000 s "},
      {65536ull * 3600000ull + 61234, " 1:01.234 [mm:ss.ms]"},
      {65537ull * 3600000ull + 5, " 1:00:00.005 [hh:mm:ss.ms]"},
  };
  for (const auto& tc : cases) {
    captured c = run_captured([&] { return print_time(tc.ms); });
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.out, tc.text) << "ms=" << tc.ms;
    EXPECT_EQ(c.result, static_cast<int>(strlen(tc.text))) << "ms=" << tc.ms;
    EXPECT_TRUE(c.out_wide);
  }
}

TEST(Console, PrintTimeShortTruncatesTenths) {
  struct {
    uint64_t ms;
    const char* text;
  } cases[] = {
      {0, " 0.0 "},
      {59999, "59.9 "},
      {61234, " 1:01.2 "},
      {3723456, " 1:02:03.4 "},
      {65536ull * 3600000ull + 1999, " 1.9 "},
      {65536ull * 3600000ull + 60000, " 1:00.0 "},
  };
  for (const auto& tc : cases) {
    captured c = run_captured([&] { return print_time_short(tc.ms); });
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.out, tc.text) << "ms=" << tc.ms;
    EXPECT_EQ(c.result, static_cast<int>(strlen(tc.text))) << "ms=" << tc.ms;
  }
}

TEST(Console, RedirectStdoutToStderr) {
  captured c = run_captured([] {
    int r = redirect_stdout_to_stderr();
    if (write(1, "via fd 1", 8) != 8) return -100;
    return r;
  });
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.result, 1);
  EXPECT_EQ(c.err, "via fd 1");
  EXPECT_EQ(c.out, "");

  // With standard error's descriptor closed, dup2 fails and -1 comes back.
  captured bad = run_captured([] {
    close(fileno(stderr));
    return redirect_stdout_to_stderr();
  });
  ASSERT_TRUE(bad.ok);
  EXPECT_EQ(bad.result, -1);
}
