#pragma once
// Every change a store makes on disk (a file written or renamed, a keychain
// write, a user-defaults change, a SQLite commit) passes through here, and
// every opening of a store's file for reading or writing, so that the
// program's end and the crash and failure tests see one sequence of writes
// and one of opens.
//
// - A write holds a StoreWrite for as long as it runs. The program's end
//   (ns::storeWrites::closeForExit) waits for the writes under way, so a
//   write is whole or never started: a write another thread begins after
//   the end began waits for the process to go. A write nested in another on
//   the same thread, and every write of the thread that ends the program,
//   pass.
// - Crash points: with ALMAVEL_END_AT_WRITE=k in the environment, the
//   process ends with SIGKILL, no handler run, as a phone ends an app, just
//   before its k-th write (counting from 1, nested ones and points
//   included). Numbering a write and deciding that it is the k-th are one
//   step, and the end waits for the writes numbered before k that are under
//   way on other threads: the process has made exactly the writes 1 .. k-1,
//   and a thread reaching a write while the end is under way never makes it.
//   ALMAVEL_WRITE_TRACE=1 names each write on standard error ("store write
//   k: what") and each open ("store open k: what").
// - Failure points: with ALMAVEL_FAIL_AT_WRITE=k the k-th write fails, and
//   with ALMAVEL_FAIL_AT_OPEN=k the k-th open, with the error
//   ALMAVEL_FAIL_WITH names (EACCES, ENOSPC, EIO, or SQLITE_BUSY: a lock
//   another program holds; EIO when unset). The holder learns it from
//   `failure()` (or what `point` / `opening` return) before it touches the
//   file, and fails as the call it was about to make would have: the same
//   errno to its caller, or for a SQLite step the code SQLite gives for it
//   (`sqliteCodeFor`). Nothing is written for a failed write; it never
//   reports success.
//
// Any thread.

#include <cstdint>

namespace ns {

class StoreWrite {
public:
    // `what` names the write for the trace; a literal.
    explicit StoreWrite(const char* what);
    ~StoreWrite();
    StoreWrite(const StoreWrite&) = delete;
    StoreWrite& operator=(const StoreWrite&) = delete;

    // The errno this write is to fail with, 0 when it is to be made. EBUSY
    // stands for a lock held by another program.
    int failure() const { return failure_; }

private:
    bool held_ = false;
    int failure_ = 0;
};

namespace storeWrites {

// A further write point inside a write already held (a temporary file
// renamed into place): counted and traced like a StoreWrite, not gated
// again. Returns the errno it is to fail with, 0 when it is to be made.
[[nodiscard]] int point(const char* what);

// A store's file about to be opened for reading or writing (a keychain
// read, a user-defaults list or journal, a SQLite or leveldb database).
// Returns the errno the open is to fail with, 0 when it is to be made.
[[nodiscard]] int opening(const char* what);

// The SQLite result code for a failure of a SQLite step: SQLITE_BUSY for
// EBUSY, SQLITE_FULL for ENOSPC, SQLITE_IOERR otherwise, as SQLite's own
// file layer reports each.
int sqliteCodeFor(int failure);
// The SQLite result code for a failed open: SQLITE_BUSY for EBUSY,
// SQLITE_CANTOPEN otherwise.
int sqliteOpenCodeFor(int failure);

// Waits for the writes under way on other threads (at most `timeoutSeconds`
// of real time: a write waiting on the ending thread itself cannot finish),
// then lets no new one start on any other thread. Idempotent.
void closeForExit(double timeoutSeconds = 10.0);

// Names a moment of the program in the trace, between the writes and opens
// numbered before it and those after ("store mark after write 41, open 27:
// what"), so that a test can tell the points of a launch from those of the
// steps after it. Nothing when the trace is off.
void mark(const char* what);

// How many writes the process has made so far, and opens.
uint64_t count();
uint64_t openCount();

// Moves the crash point: the k-th write of the process (0: none) ends it.
void endAtWriteForTesting(uint64_t k);
// Moves the failure points: the k-th write, or open, of the process (0:
// none) fails with `error` (an errno; EBUSY for a lock held elsewhere).
void failAtWriteForTesting(uint64_t k, int error);
void failAtOpenForTesting(uint64_t k, int error);

}  // namespace storeWrites
}  // namespace ns
