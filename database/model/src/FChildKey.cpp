#include "database/model/FChildKey.h"

#include <array>
#include <functional>

#include "database/model/FSlotPool.h"
#include "platform/thread_owned.h"

namespace {

// The short keys a thread made last, two ways a slot (the newer first),
// each holding a reference: a key equal to one of them shares its string.
// Keys are shared where they repeat, next to each other in the data, without
// a process-wide table to look up, lock or clean.
class RecentKeys {
public:
    FChildKey find(std::string_view text, bool& reused) {
        const size_t slot = (std::hash<std::string_view>{}(text) >> 7) % kSlots & ~size_t(1);
        FChildKey& newer = slots_[slot];
        FChildKey& older = slots_[slot + 1];
        reused = true;
        if (newer.str() == text) return newer;
        if (older.str() != text) {
            reused = false;
            older = FChildKey::makeUnshared(text);
        }
        std::swap(newer, older);
        return newer;
    }

private:
    static constexpr size_t kSlots = 2048;
    std::array<FChildKey, kSlots> slots_;
};

// A key's shared record (count and string) takes a pooled slot of its exact
// size, on huge pages past 32 MiB of them (a million keys, whose look-ups
// then miss the address cache less).
constexpr size_t kRepSlot = 40;
constexpr size_t kRepHugeAfter = size_t(32) << 20;

}  // namespace

void* FChildKey::Rep::operator new(size_t size) {
    static_assert(sizeof(Rep) <= kRepSlot && alignof(Rep) <= alignof(void*));
    (void)size;  // always sizeof(Rep): nothing derives from it
    return FSlotPool<kRepSlot, alignof(void*), kRepHugeAfter>::allocate();
}

void FChildKey::Rep::operator delete(void* p) { FSlotPool<kRepSlot, alignof(void*), kRepHugeAfter>::deallocate(p); }

FChildKey::Rep* FChildKey::emptyRep() {
    static Rep* empty = new Rep(Kind::Immortal, std::string_view());
    return empty;
}

FChildKey FChildKey::makeUnshared(std::string_view text) {
    FChildKey key;
    key.rep_ = new Rep(Kind::Shared, text);
    return key;
}

FChildKey::Rep* FChildKey::make(std::string_view text) {
    bool reused;
    FChildKey key = shared(text, reused);
    Rep* rep = key.rep_;
    key.rep_ = emptyRep();  // the reference passes to the caller
    return rep;
}

FChildKey FChildKey::shared(std::string_view text, bool& reused) {
    reused = true;
    if (text.empty()) return FChildKey();
    reused = false;
    if (text.size() > kSharedLength) return makeUnshared(text);
    thread_local RecentKeys* recent = nullptr;
    return ns::threadOwned(recent).find(text, reused);
}
