#pragma once
// Console output helpers: the common error trailer, durations, and stdout
// redirection. All output is wide-character (stdout stays wide-oriented).
// None of these functions flushes.
//
// Threading: any thread; each call prints with one output call, so lines
// of different threads interleave whole. The redirection is for start-up.

#include <cstdint>

// Prints the headline (when not null) on a line of its own, then
// "   ^ERROR: <err>, <strerror(err)>" and an empty line, on standard output.
// Returns err unchanged so a caller can report and pass the error on at once.
int print_format_inline(int err, const wchar_t* headline);

// As print_format_inline, on standard error.
int print_format_stderr(int err, const wchar_t* headline);

// Prints "<err> <text><strerror(err)>" on standard output without a line
// break. text must not be null. Returns err.
int print_format_message(int err, const wchar_t* text);

// Prints a duration given in milliseconds to millisecond precision:
// "hh:mm:ss.mmm [hh:mm:ss.ms]", "mm:ss.mmm [mm:ss.ms]" or "ss.mmm s ".
// Returns the result of the wide print call.
int print_time(uint64_t ms);

// Prints a duration to tenth-of-a-second precision (truncated):
// "hh:mm:ss.t ", "mm:ss.t " or "ss.t ". Returns the result of the print call.
int print_time_short(uint64_t ms);

// Makes file descriptor 1 a duplicate of standard error's descriptor.
// Returns the result of dup2: 1 on success, -1 on failure.
int redirect_stdout_to_stderr();
