#pragma once
// Result shared by the support library's classes: 0 = success, an error
// number = failure, and G_CLOSED for an object that was never initialised
// or has been closed.

#include <cerrno>

inline constexpr int G_CLOSED = EIDRM;
static_assert(G_CLOSED == 43, "the closed result is 43 on every build");
