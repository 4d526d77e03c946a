#include "database/model/FNextPushId.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>

#include "platform/crypto.h"

namespace {

// In ASCII order, so the keys' byte order is their numeric order.
const char kPushChars[] = "-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";

std::mutex gMutex;
int64_t gLastTime = std::numeric_limits<int64_t>::min();
std::array<int, 12> gLastRandom{};

}  // namespace

std::string FNextPushId::get(double currentTimeSeconds) {
    auto now = static_cast<int64_t>(std::floor(currentTimeSeconds * 1000));
    std::string id(20, '-');
    int64_t t = now;
    for (int i = 7; i >= 0; --i) {
        id[size_t(i)] = kPushChars[((t % 64) + 64) % 64];
        t = (t - ((t % 64) + 64) % 64) / 64;
    }
    std::lock_guard<std::mutex> lock(gMutex);
    if (now == gLastTime) {
        int i = 11;
        for (; i >= 0 && gLastRandom[size_t(i)] == 63; --i) gLastRandom[size_t(i)] = 0;
        if (i >= 0) ++gLastRandom[size_t(i)];
    } else {
        for (auto& r : gLastRandom) r = int(ns::crypto::uniformRandom(64));
    }
    gLastTime = now;
    for (size_t i = 0; i < 12; ++i) id[8 + i] = kPushChars[gLastRandom[i]];
    return id;
}
