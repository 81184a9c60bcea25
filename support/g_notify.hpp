#pragma once
// Readiness and state notification to a service manager (systemd's
// NOTIFY_SOCKET protocol): one datagram of "KEY=VALUE" lines to the Unix
// socket named by the environment variable NOTIFY_SOCKET, a path ("/run/...")
// or a name in the abstract namespace ("@name"). No library is needed.
//
// Threading: any thread. Each call opens, uses and closes a socket of its
// own; the environment is only read, so no thread may change it meanwhile.

// Results of every function below: G_NOTIFY_SENT (1) = the whole state went
// out as one datagram; G_NOTIFY_NONE (0) = nothing was sent and nothing
// failed (NOTIFY_SOCKET unset or empty: no manager waits; for
// g_notify_ready_once also: sent before); negative = -errno of the failure:
// -EAFNOSUPPORT for an address that is neither a path nor "@name",
// -ENAMETOOLONG when it does not fit a Unix socket address, -EINVAL for an
// empty or null state, else the socket call's own (-ENOENT: no such socket,
// -ECONNREFUSED: nobody receives on it).
enum G_NOTIFY_E : int {
  G_NOTIFY_NONE = 0,
  G_NOTIFY_SENT = 1,
};

// Sends state as it is, e.g. "READY=1", "STOPPING=1" or "STATUS=text";
// several lines go in one datagram when separated by '\n'.
int g_notify(const char* state);

// "RELOADING=1" with "MONOTONIC_USEC=<now>" (CLOCK_MONOTONIC in µs) in the
// same datagram, which systemd needs to tell this reload from an older one.
// The reload ends with g_notify("READY=1").
int g_notify_reloading();

// "READY=1" the first time any thread of the process calls it; later calls
// send nothing and return G_NOTIFY_NONE. For a program that becomes ready
// on whichever of several threads gets there last. A failure is also
// printed on standard error, since the manager would otherwise wait in vain
// without saying why.
int g_notify_ready_once();
