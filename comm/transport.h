// The one contract every byte link offers the connection manager. Each transport is one .cpp
// file that fills a `comm_transport_ops` table by name; a missing operation is an error.
//
// Threads: the connection's reader thread calls connect, read, waitset, waitfor and waitget;
// writers call write under the connection lock; disconnect comes from the thread that closes the
// connection while the reader may be waiting; init, set-params and free run while no other thread
// uses the context (before the reader starts, and when the last user has let go).
#pragma once

// Wait interest and wait result flags.
constexpr int COMM_WAIT_READ = 1;
constexpr int COMM_WAIT_WRITE = 2;
constexpr int COMM_WAIT_TIMEOUT = 16;  // result only: the wait ended without readiness or error
constexpr int COMM_WAIT_ERROR = 32;    // result only, set alone: error, closed, or disconnected

struct comm_transport_ops {
    const char *name;
    // Allocates a zeroed context with no medium handle. 0 or -1.
    int (*init)(void **context_out);
    // Closes the medium if still open, releases the context, sets the pointer to null. 0.
    int (*free)(void **context);
    // Opens the link; may block up to the connect time-out. 0 or -1.
    int (*connect)(void *context);
    // Makes the reader end promptly: wakes its wait (or connect) at once. Safe from another
    // thread while the reader waits. 0.
    int (*disconnect)(void *context);
    // Reads what is available, at most *size bytes; sets *size to the count. 0; -1 on missing
    // arguments, *size 0, a medium error or a closed link.
    int (*read)(void *context, char *buffer, int *size_in_out);
    // Writes what the medium takes within the time-out; *written_out gets the count. A length of
    // 0 writes nothing and returns 0. -1 on error or when the medium stays blocked.
    int (*write)(void *context, const char *data, int length, int *written_out, int timeout_ms);
    // The last wait result AND mask; *subcode_out (when given) gets the sub-code (always 0).
    int (*waitget)(void *context, int mask, int *subcode_out);
    // Sets the wait interest (COMM_WAIT_READ and/or COMM_WAIT_WRITE). 0.
    int (*waitset)(void *context, int interest);
    // Waits until a context is ready for its interest or the time-out passes, then sets every
    // context's result: ERROR, else READ/WRITE, else TIMEOUT. 0; -1 when count is 0, a context
    // has no medium handle, or the wait failed.
    int (*waitfor)(void **contexts, int count, int timeout_ms);
};

// The waitget and waitset operations of a context that keeps its wait interest and last wait
// result in members `interest` and `result`, as every transport's does.
template <typename Context>
int comm_context_waitget(const Context *ctx, int mask, int *subcode_out) {
    if (subcode_out) *subcode_out = 0;
    return ctx ? (ctx->result & mask) : 0;
}

template <typename Context>
int comm_context_waitset(Context *ctx, int interest) {
    if (ctx) ctx->interest = interest;
    return 0;
}

// Checks that a table names every operation.
constexpr bool comm_transport_complete(const comm_transport_ops &ops) {
    return ops.init && ops.free && ops.connect && ops.disconnect && ops.read && ops.write &&
           ops.waitget && ops.waitset && ops.waitfor;
}
