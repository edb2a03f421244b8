#pragma once

#include "common/VornLog.h"
#include "common/VornLogLimiter.h"

// Where the Thrift library's own messages go.
//
// The library writes a message of its own for some failures (a refused
// connect, a failed read or write, a socket option it could not set) through
// one process-wide output function, by default to standard error, unlimited:
// under a web server that is one line per failed request in the server's
// error log. Installed, these messages go to the extension's log instead, at
// DBG1 (each comes with a failure the probe logs itself, such as a failed
// handshake with the aggregator's address), escaped, and through a
// VornLogLimiter: the first of a kind at once, then at most once per interval
// per kind with how many went unlogged. Nothing goes to standard error.
//
// The output function takes no context: its state is here, once per process.
// Only the thread that installed it (the one that runs the requests; a
// forked worker's thread is the same) writes: the log's line buffer is not
// shared, and no other thread of the extension logs (the block sender's
// thread never calls the library, it hands its failures back as text). A
// message from another thread is only counted, and the count is said with
// the next line written (or at uninstall).
//
// No engine: the module installs it at start-up and uninstalls it at shutdown.
namespace ZThriftOutput {

// Routes the library's messages into a copy of `log` (which shares its
// stream). Returns false when that cannot be set up; the library's default
// is then in place.
bool install(const VornLog& log, VornLogLimiter::Clock::duration interval = VornLogLimiter::INTERVAL) noexcept;

// Logs what went unlogged, and puts the library's default function back when
// the one in place is still ours: the library may outlive this one (a web
// server unloads and reloads the extension at a restart) and must not call
// into it then.
void uninstall() noexcept;

// Whether the library's output function is the one installed here.
bool installed() noexcept;

} // namespace ZThriftOutput
