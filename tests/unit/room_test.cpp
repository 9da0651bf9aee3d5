// The measures taken before a host file is replaced in place: the blocks a
// file needs.
#include <string>

#include <gtest/gtest.h>

#include "room.h"

namespace vorn {
namespace {

TEST(Room, WholeBlocksAreCountedAndTheOldFileReleasesItsOwn)
{
    EXPECT_EQ(blocksFor(0, 4096), 0u);
    EXPECT_EQ(blocksFor(1, 4096), 1u);
    EXPECT_EQ(blocksFor(4096, 4096), 1u);
    EXPECT_EQ(blocksFor(4097, 4096), 2u);
    // A full file system takes a new file of the old one's blocks, not one more.
    EXPECT_TRUE(roomInBlocks(0, 4096, 4096, 1, 4096));
    EXPECT_FALSE(roomInBlocks(0, 4096, 4097, 1, 4096));
    EXPECT_TRUE(roomInBlocks(1, 4096, 4097, 1, 4096));
    // Two copies of the new file on the same file system.
    EXPECT_FALSE(roomInBlocks(0, 4096, 4000, 2, 4096));
    EXPECT_TRUE(roomInBlocks(1, 4096, 4000, 2, 4096));
    EXPECT_TRUE(roomInBlocks(0, 4096, 0, 1, 0));
}

} // namespace
} // namespace vorn
