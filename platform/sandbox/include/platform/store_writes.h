#pragma once
// Every change a store makes on disk (a file written or renamed, a keychain
// write, a user-defaults change, a SQLite commit) passes through here, so
// that the program's end and the crash tests see one sequence of writes.
//
// - A write holds a StoreWrite for as long as it runs. The program's end
//   (ns::storeWrites::closeForExit) waits for the writes under way, so a
//   write is whole or never started: a write another thread begins after
//   the end began waits for the process to go. A write nested in another on
//   the same thread, and every write of the thread that ends the program,
//   pass.
// - Crash points: with ALMAVEL_END_AT_WRITE=k in the environment, the k-th
//   write of the process (counting from 1, nested ones included) ends it
//   with SIGKILL just before the write happens, no handler run, as a phone
//   ends an app. ALMAVEL_WRITE_TRACE=1 names each write on standard error
//   ("store write k: what"), for finding which step a crash point is.
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

private:
    bool held_ = false;
};

namespace storeWrites {

// A further write point inside a write already held (a temporary file
// renamed into place): counted and traced like a StoreWrite, not gated again.
void point(const char* what);

// Waits for the writes under way on other threads (at most `timeoutSeconds`
// of real time: a write waiting on the ending thread itself cannot finish),
// then lets no new one start on any other thread. Idempotent.
void closeForExit(double timeoutSeconds = 10.0);

// How many writes the process has made so far.
uint64_t count();

// Moves the crash point: the k-th write of the process (0: none) ends it.
void endAtWriteForTesting(uint64_t k);

}  // namespace storeWrites
}  // namespace ns
