// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Free space on a file system for a file that a system program writes in
// place.
//
// "/bin/mv" across file systems and "/bin/cp" write over the old file: on a
// file system without room for the whole new file they leave it cut short.
// The commands that replace a host file this way ask first.
#pragma once

#include <cstdint>

namespace vorn {

// The blocks of blockSize bytes that bytes take.
std::uint64_t blocksFor(std::uint64_t bytes, std::uint64_t blockSize) noexcept;

// Whether freeBlocks, together with the blocks of the old file that the
// write releases (freedBytes), hold `files` new files of fileBytes each.
bool roomInBlocks(std::uint64_t freeBlocks, std::uint64_t blockSize, std::uint64_t fileBytes, unsigned files,
                  std::uint64_t freedBytes) noexcept;

// roomInBlocks for the file system that holds path, by its free blocks
// (the agent runs as root, which may use the reserved ones). True when the
// file system cannot be asked: the write then goes ahead as before.
bool fileSystemHasRoom(const char* path, std::uint64_t fileBytes, unsigned files, std::uint64_t freedBytes) noexcept;

} // namespace vorn
