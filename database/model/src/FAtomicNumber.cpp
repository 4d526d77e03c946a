#include "database/model/FAtomicNumber.h"

uint64_t FAtomicNumber::getAndIncrement() {
    std::lock_guard<std::mutex> lock(mutex_);
    return number_++;
}
