#pragma once
// Blocks of one size for the most numerous small objects (leaves with their
// shared counts, keys, sorted dictionaries' tree nodes): a heap block of 56
// bytes takes 64 with malloc's header and rounding, a slot here takes its
// size, and slots may be aligned to cache lines. Slots come from 64 KiB
// slabs and, once a pool holds HugeAfter bytes (when not 0), from 2 MiB slabs
// on huge pages: a descent through a tree of a million nodes would otherwise
// miss the address cache at almost every node, while the unused part of the
// last huge slab stays resident, hence the threshold. Slots are kept for
// reuse once freed, never given back to the heap. Each thread keeps a short
// list of free slots of its own, so taking or giving one back is a few loads
// and stores, and the shared list's lock is taken once per batch.
//
// A run of adjacent slots, aligned to its size, lets a structure built at
// once keep what is read together in one place (a tree's top levels over a
// subtree, fetched together); its slots are freed one by one like any other.

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform/thread_owned.h"

template <size_t Size, size_t Align = alignof(void*), size_t HugeAfter = 0>
class FSlotPool {
    static_assert(Size >= sizeof(void*) && Align >= alignof(void*) && Size % Align == 0);

public:
    static void* allocate() {
        Local& local = tLocal;
        if (!local.list) {
            if (local.dead) return shared().take();
            guard(local);
            if (local.spare) {
                local.list = std::exchange(local.spare, nullptr);
                local.count = kBatch;
            } else {
                shared().takeBatch(local);
            }
        }
        Free* slot = local.list;
        local.list = next(slot);
        --local.count;
        // Free slots are scattered: the next one's link is fetched while
        // the caller fills this one, rather than missed on the next call.
        __builtin_prefetch(local.list, 1);
        ASAN_UNPOISON_MEMORY_REGION(slot, Size);
        return slot;
    }

    static void deallocate(void* p) {
        Local& local = tLocal;
        auto* slot = static_cast<Free*>(p);
        if (local.dead) {
            shared().give(slot, slot, 1);
            return;
        }
        guard(local);
        if (local.count == kBatch) {
            // A full list becomes the spare, and a spare already there goes
            // to the shared pool whole.
            if (local.spare) shared().giveChain(local.spare);
            local.spare = std::exchange(local.list, nullptr);
            local.count = 0;
        }
        link(slot, local.list);
        local.list = slot;
        ++local.count;
    }

    // `count` adjacent slots (a power of two, at most kMaxRun) at an
    // address aligned to count * Size, or nullptr when the pool holds many
    // free slots: a run comes from fresh memory, and cutting it while freed
    // slots wait would grow the pool rather than reuse them.
    static constexpr size_t kMaxRun = 16;
    static void* allocateRun(size_t count) {
        if (count == 0 || count > kMaxRun || (count & (count - 1)) != 0 || tLocal.dead) return nullptr;
        char* run = shared().takeRun(count);
        if (run) ASAN_UNPOISON_MEMORY_REGION(run, count * Size);
        return run;
    }

private:
    struct Free {
        Free* next;
    };
    static constexpr size_t kBatch = 64;
    static constexpr size_t kSlab = size_t(64) << 10;
    static constexpr size_t kHugeSlab = size_t(2) << 20;
    static_assert(Align <= kHugeSlab && kMaxRun * Size <= kSlab / 4);

    // Free slots are poisoned for AddressSanitizer but for the moments
    // their link is read or written.
    static Free* next(Free* slot) {
        ASAN_UNPOISON_MEMORY_REGION(slot, sizeof(Free));
        Free* n = slot->next;
        ASAN_POISON_MEMORY_REGION(slot, Size);
        return n;
    }
    static void link(Free* slot, Free* n) {
        ASAN_UNPOISON_MEMORY_REGION(slot, sizeof(Free));
        slot->next = n;
        ASAN_POISON_MEMORY_REGION(slot, Size);
    }

    // A thread's free slots; plain data, so it stays readable while the
    // thread's other objects are destroyed (and free slots) after its guard.
    // Slots move between a thread and the shared pool in chains of kBatch,
    // each ending in a null link, handed over whole: walking a chain of
    // freed slots would miss the cache at every one of them. `list` holds
    // `count` slots; `spare` is null or a full chain.
    struct Local {
        Free* list;
        Free* spare;
        size_t count;
        bool guarded;
        bool dead;
    };
    static inline thread_local Local tLocal{};
    static void guard(Local& local) {
        if (local.guarded) return;
        local.guarded = true;
        ns::atThreadEnd(handBack, nullptr);
    }

    // Gives the thread's slots back when it ends (the main thread's stay
    // with it through exit); what the thread frees after that goes straight
    // to the shared list.
    static void handBack(void*) {
        Local& local = tLocal;
        local.dead = true;
        if (local.list) {
            Free* last = local.list;
            for (Free* n = next(last); n; n = next(last)) last = n;
            shared().give(local.list, last, local.count);
        }
        if (local.spare) shared().giveChain(local.spare);
        local.list = local.spare = nullptr;
        local.count = 0;
    }

    class Shared {
    public:
        // Gives the thread's empty list a chain of kBatch slots: a whole
        // chain handed back by a thread, or loose slots and slots cut new
        // from the slab.
        void takeBatch(Local& local) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!chains_.empty()) {
                local.list = chains_.back();
                chains_.pop_back();
                local.count = kBatch;
                count_ -= kBatch;
                return;
            }
            for (size_t i = 0; i < kBatch; ++i) {
                Free* slot = takeLocked();
                link(slot, local.list);
                local.list = slot;
            }
            local.count += kBatch;
        }
        void* take() {
            std::lock_guard<std::mutex> lock(mutex_);
            Free* slot = takeLocked();
            ASAN_UNPOISON_MEMORY_REGION(slot, Size);
            return slot;
        }
        // A full chain of kBatch slots.
        void giveChain(Free* chain) {
            std::lock_guard<std::mutex> lock(mutex_);
            chains_.push_back(chain);
            count_ += kBatch;
        }
        // A chain of `n` slots from `first` to `last`.
        void give(Free* first, Free* last, size_t n) {
            std::lock_guard<std::mutex> lock(mutex_);
            link(last, list_);
            list_ = first;
            count_ += n;
        }

        char* takeRun(size_t count) {
            const size_t bytes = count * Size;
            std::lock_guard<std::mutex> lock(mutex_);
            if (count_ * 8 > slabBytes_ / Size) return nullptr;
            // Slots skipped to reach the alignment become free ones.
            for (;;) {
                if (end_ - bump_ >= std::ptrdiff_t(bytes) && reinterpret_cast<uintptr_t>(bump_) % bytes == 0) break;
                if (end_ - bump_ < std::ptrdiff_t(bytes)) {
                    while (end_ - bump_ >= std::ptrdiff_t(Size)) freeBumpSlot();
                    newSlab();
                } else {
                    freeBumpSlot();
                }
            }
            char* run = bump_;
            bump_ += bytes;
            ASAN_POISON_MEMORY_REGION(run, bytes);
            return run;
        }

    private:
        void freeBumpSlot() {
            auto* slot = reinterpret_cast<Free*>(bump_);
            bump_ += Size;
            link(slot, list_);
            list_ = slot;
            ++count_;
        }
        void newSlab() {
            // Each slab starts with a pointer to the one before, so every
            // slab stays reachable (leak checkers see them held).
            const bool huge = HugeAfter != 0 && slabBytes_ >= HugeAfter;
            const size_t size = huge ? kHugeSlab : kSlab;
            char* slab = static_cast<char*>(::operator new(size, std::align_val_t(huge ? kHugeSlab : Align)));
            if (huge) (void)madvise(slab, size, MADV_HUGEPAGE);  // a hint: without it, small pages
            slabBytes_ += size;
            *reinterpret_cast<char**>(slab) = slabs_;
            slabs_ = slab;
            bump_ = slab + (sizeof(char*) + Align - 1) / Align * Align;
            end_ = slab + size;
        }

        Free* takeLocked() {
            if (!list_ && !chains_.empty()) {
                list_ = chains_.back();
                chains_.pop_back();
            }
            if (list_) {
                Free* slot = list_;
                list_ = next(slot);
                --count_;
                return slot;
            }
            if (end_ - bump_ < std::ptrdiff_t(Size)) newSlab();
            auto* slot = reinterpret_cast<Free*>(bump_);
            bump_ += Size;
            ASAN_POISON_MEMORY_REGION(slot, Size);
            return slot;
        }

        std::mutex mutex_;
        // Loose slots, and whole chains; count_ counts both.
        Free* list_ = nullptr;
        std::vector<Free*> chains_;
        size_t count_ = 0;
        char* slabs_ = nullptr;
        size_t slabBytes_ = 0;
        char* bump_ = nullptr;
        char* end_ = nullptr;
    };
    // Never destroyed: slots are freed by exit-time destructors and by
    // pooled work that outlives main.
    static Shared& shared() {
        static Shared& s = *new Shared;
        return s;
    }
};

// An allocator of one object at a time from the pool of its size (for
// std::allocate_shared); other counts go to the heap.
template <class T, size_t HugeAfter = 0>
struct FSlotAllocator {
    using value_type = T;
    FSlotAllocator() = default;
    template <class U>
    struct rebind {
        using other = FSlotAllocator<U, HugeAfter>;
    };
    template <class U>
    FSlotAllocator(const FSlotAllocator<U, HugeAfter>&) {}  // NOLINT: rebinding
    static_assert(alignof(T) <= alignof(void*));
    static constexpr size_t kSlotSize = (sizeof(T) + alignof(void*) - 1) / alignof(void*) * alignof(void*);
    T* allocate(size_t n) {
        if (n != 1) return static_cast<T*>(::operator new(n * sizeof(T)));
        return static_cast<T*>(FSlotPool<kSlotSize < 8 ? 8 : kSlotSize, alignof(void*), HugeAfter>::allocate());
    }
    void deallocate(T* p, size_t n) {
        if (n != 1) {
            ::operator delete(p);
            return;
        }
        FSlotPool<kSlotSize < 8 ? 8 : kSlotSize, alignof(void*), HugeAfter>::deallocate(p);
    }
    template <class U>
    bool operator==(const FSlotAllocator<U, HugeAfter>&) const {
        return true;
    }
};

// Blocks of any size up to kMaxBytes from pools of slots in steps of kStep
// bytes (aligned to kStep), for small arrays made by the thousand, such as
// the value blocks of small sorted dictionaries: the heap costs about ten
// times a pooled slot for them. Larger blocks come from the heap. The
// caller hands the size it asked for back with the block.
class FSlotSizeClasses {
public:
    static constexpr size_t kStep = 16;
    static constexpr size_t kMaxBytes = 512;

    static void* allocate(size_t bytes) {
        if (bytes - 1 >= kMaxBytes) return ::operator new(bytes);
        return pools().allocate[(bytes - 1) / kStep]();
    }
    static void deallocate(void* p, size_t bytes) {
        if (bytes - 1 >= kMaxBytes) {
            ::operator delete(p);
            return;
        }
        pools().deallocate[(bytes - 1) / kStep](p);
    }

private:
    static constexpr size_t kClasses = kMaxBytes / kStep;
    struct Pools {
        std::array<void* (*)(), kClasses> allocate;
        std::array<void (*)(void*), kClasses> deallocate;
    };
    template <size_t... I>
    static constexpr Pools poolsOf(std::index_sequence<I...>) {
        return Pools{{&FSlotPool<(I + 1) * kStep, kStep>::allocate...},
                     {&FSlotPool<(I + 1) * kStep, kStep>::deallocate...}};
    }
    static const Pools& pools() {
        static constexpr Pools kPools = poolsOf(std::make_index_sequence<kClasses>());
        return kPools;
    }
};
