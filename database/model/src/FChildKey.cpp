#include "database/model/FChildKey.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

// The process-wide table of interned keys, in shards with a lock each. An
// interned key's count only leaves 1 (to 0, and out of the table) or rises
// from 0 under its shard's lock, so a lookup never revives a key being freed.
class FChildKeyTable {
public:
    using Rep = FChildKey::Rep;

    static FChildKeyTable& shared() {
        // Never destroyed: keys of static nodes may be released at exit.
        static FChildKeyTable* table = new FChildKeyTable();
        return *table;
    }

    Rep* intern(std::string_view text, size_t hash) {
        Shard& shard = shards_[hash % kShards];
        std::lock_guard lock(shard.mutex);
        return shard.intern(text, hash);
    }

    void releaseLast(Rep* rep) {
        const size_t hash = std::hash<std::string_view>{}(rep->text);
        Shard& shard = shards_[hash % kShards];
        std::lock_guard lock(shard.mutex);
        if (rep->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        shard.erase(rep, hash);
        delete rep;
    }

private:
    static constexpr size_t kShards = 16;

    // An open-addressing table (linear probing, at most half full) of the
    // interned keys and their hashes: a lookup touches one slot line and the
    // key it finds, and a removal shifts the run after it back.
    class Shard {
    public:
        std::mutex mutex;

        Rep* intern(std::string_view text, size_t hash) {
            if (2 * (count_ + 1) > slots_.size()) grow();
            size_t i = hash & mask();
            for (; slots_[i].rep; i = (i + 1) & mask()) {
                if (slots_[i].hash == hash && slots_[i].rep->text == text) {
                    slots_[i].rep->refs.fetch_add(1, std::memory_order_relaxed);
                    return slots_[i].rep;
                }
            }
            slots_[i] = {hash, new Rep(FChildKey::Kind::Interned, text)};
            ++count_;
            return slots_[i].rep;
        }

        void erase(const Rep* rep, size_t hash) {
            size_t i = hash & mask();
            while (slots_[i].rep != rep) i = (i + 1) & mask();
            // Each later entry of the run moves into the hole unless its home
            // slot lies cyclically after the hole.
            for (size_t j = (i + 1) & mask(); slots_[j].rep; j = (j + 1) & mask()) {
                const size_t home = slots_[j].hash & mask();
                const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
                if (stays) continue;
                slots_[i] = slots_[j];
                i = j;
            }
            slots_[i] = {};
            --count_;
        }

    private:
        struct Slot {
            size_t hash = 0;
            Rep* rep = nullptr;
        };
        size_t mask() const { return slots_.size() - 1; }
        void grow() {
            std::vector<Slot> old(std::max<size_t>(64, 2 * slots_.size()));
            old.swap(slots_);
            for (const Slot& slot : old) {
                if (!slot.rep) continue;
                size_t i = slot.hash & mask();
                while (slots_[i].rep) i = (i + 1) & mask();
                slots_[i] = slot;
            }
        }

        std::vector<Slot> slots_;
        size_t count_ = 0;
    };
    Shard shards_[kShards];
};

namespace {

// The keys a thread made last, each holding a reference: repeated keys are
// found without the table's lock.
class RecentKeys {
public:
    FChildKey* slot(size_t hash) { return &slots_[(hash >> 7) % kSlots]; }

private:
    static constexpr size_t kSlots = 256;
    FChildKey slots_[kSlots];
};

}  // namespace

FChildKey::Rep* FChildKey::emptyRep() {
    static Rep* empty = new Rep(Kind::Immortal, std::string_view());
    return empty;
}

FChildKey::Rep* FChildKey::make(std::string_view text) {
    if (text.empty()) return emptyRep();
    if (text.size() > kInternedLength) return new Rep(Kind::Private, text);
    const size_t hash = std::hash<std::string_view>{}(text);
    thread_local RecentKeys recent;
    FChildKey* slot = recent.slot(hash);
    if (slot->str() != text) {
        FChildKey found;
        found.rep_ = FChildKeyTable::shared().intern(text, hash);
        *slot = std::move(found);
    }
    retain(slot->rep_);
    return slot->rep_;
}

void FChildKey::releaseLast(Rep* rep) {
    if (rep->kind == Kind::Private) {
        if (rep->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete rep;
        return;
    }
    FChildKeyTable::shared().releaseLast(rep);
}
