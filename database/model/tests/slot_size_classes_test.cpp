#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "database/model/FImmutableSortedDictionary.h"
#include "database/model/FSlotPool.h"

namespace {

// Blocks of every size around and past the pooled ones, all alive at once,
// each filled with its own byte: none may overlap another, whatever class
// its size falls in, and each is given back under the size it was asked for.
TEST(SlotSizeClasses, BlocksOfEverySizeKeepTheirBytes) {
    struct Block {
        unsigned char* bytes;
        size_t size;
    };
    std::vector<Block> blocks;
    for (int round = 0; round < 2; ++round) {
        for (size_t size = 1; size <= FSlotSizeClasses::kMaxBytes + 40; ++size) {
            auto* bytes = static_cast<unsigned char*>(FSlotSizeClasses::allocate(size));
            ASSERT_EQ(reinterpret_cast<uintptr_t>(bytes) % FSlotSizeClasses::kStep, 0u) << size;
            std::memset(bytes, int(size & 0xFF), size);
            blocks.push_back({bytes, size});
        }
    }
    for (const Block& block : blocks) {
        for (size_t i = 0; i < block.size; ++i) ASSERT_EQ(block.bytes[i], block.size & 0xFF) << block.size;
    }
    for (const Block& block : blocks) FSlotSizeClasses::deallocate(block.bytes, block.size);
}

// A value whose copy fails on a chosen turn, counting the live ones.
struct Fragile {
    static inline int live = 0;
    static inline int copiesBeforeFailure = -1;
    std::string text;
    explicit Fragile(std::string t) : text(std::move(t)) { ++live; }
    Fragile(const Fragile& o) : text(o.text) {
        if (copiesBeforeFailure == 0) throw std::runtime_error("copy refused");
        if (copiesBeforeFailure > 0) --copiesBeforeFailure;
        ++live;
    }
    Fragile(Fragile&& o) noexcept : text(std::move(o.text)) { ++live; }
    Fragile& operator=(const Fragile&) = default;
    Fragile& operator=(Fragile&&) noexcept = default;
    ~Fragile() { --live; }
};

struct IntCompare {
    int operator()(int a, int b) const { return a < b ? -1 : (a > b ? 1 : 0); }
};

// A copy that fails part way through making an array's value block leaves
// the dictionary as it was and destroys the values already copied.
TEST(SlotSizeClasses, AFailedCopyIntoAValueBlockUndoesIt) {
    using Dict = FImmutableSortedDictionary<int, Fragile, IntCompare>;
    for (const int size : {1, 2, 3, 12, 15, 16, 40, 127}) {
        for (const int failAt : {0, size / 2, size - 1}) {
            Dict d;
            for (int k = 0; k < size; ++k) d = d.insert(2 * k, Fragile("v" + std::to_string(k)));
            const int before = Fragile::live;
            Fragile::copiesBeforeFailure = failAt;
            EXPECT_THROW((void)d.insert(-1, Fragile("new")), std::runtime_error) << size << " " << failAt;
            Fragile::copiesBeforeFailure = -1;
            EXPECT_EQ(Fragile::live, before) << size << " " << failAt;
            ASSERT_EQ(d.count(), size_t(size));
            EXPECT_EQ(d.find(2 * (size - 1))->text, "v" + std::to_string(size - 1));
            EXPECT_TRUE(d.checkInvariants());
        }
    }
}

}  // namespace
