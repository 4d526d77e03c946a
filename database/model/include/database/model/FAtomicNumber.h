#pragma once
// A counter under its own lock.

#include <cstdint>
#include <mutex>

class FAtomicNumber {
public:
    FAtomicNumber() = default;
    FAtomicNumber(const FAtomicNumber&) = delete;
    FAtomicNumber& operator=(const FAtomicNumber&) = delete;

    // The current value (1 for a new counter), then adds 1.
    uint64_t getAndIncrement();

private:
    std::mutex mutex_;
    uint64_t number_ = 1;
};
