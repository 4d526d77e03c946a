#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "database/model/FSlotPool.h"

namespace {

// Blocks of every size around and past the pooled ones, all alive at once,
// each filled with its own byte: none may overlap another, whatever class
// its size falls in.
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

}  // namespace
