// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The measures taken before a host file is replaced in place: the blocks a
// file needs, and the size of the rewritten init script.
#include <string>

#include <gtest/gtest.h>

#include "commands/cmd_hlink.h"
#include "shared/free_space.h"

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

TEST(Room, RewrittenInitScriptSizeFollowsTheHostLinkLines)
{
    const std::string addr = "169.254.101.33";
    EXPECT_EQ(rewrittenInitScriptSize("", addr), 0u);
    // Lines without the address keep their size.
    EXPECT_EQ(rewrittenInitScriptSize("#!/bin/sh\nifconfig hlink0 up\n", addr), 29u);
    // A host-link line becomes exactly "ifconfig hlink0 " and the address.
    const std::string line = "ifconfig hlink0 " + addr;
    EXPECT_EQ(rewrittenInitScriptSize("  /sbin/ifconfig hlink0 1.2.3.4 up\n", addr), line.size() + 1);
    EXPECT_EQ(rewrittenInitScriptSize("a\nifconfig hlink0 1.2.3.4", addr), 2 + line.size());
    // A later occurrence counts when the first is not followed by a digit.
    EXPECT_EQ(rewrittenInitScriptSize("ifconfig hlink0 x ifconfig hlink0 9\n", addr), line.size() + 1);
    EXPECT_EQ(rewrittenInitScriptSize("ifconfig hlink0 \n", addr), 17u);
    EXPECT_EQ(rewrittenInitScriptSize("\n\n", addr), 2u);
}

} // namespace
} // namespace vorn
