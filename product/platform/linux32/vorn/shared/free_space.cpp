// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "shared/free_space.h"

#include <sys/statvfs.h>

namespace vorn {

std::uint64_t blocksFor(std::uint64_t bytes, std::uint64_t blockSize) noexcept
{
    if (blockSize == 0) {
        return 0;
    }
    return bytes / blockSize + (bytes % blockSize != 0 ? 1 : 0);
}

bool roomInBlocks(std::uint64_t freeBlocks, std::uint64_t blockSize, std::uint64_t fileBytes, unsigned files,
                  std::uint64_t freedBytes) noexcept
{
    // Only whole blocks of the old file are released.
    const std::uint64_t freed = blockSize == 0 ? 0 : freedBytes / blockSize;
    return freeBlocks + freed >= files * blocksFor(fileBytes, blockSize);
}

bool fileSystemHasRoom(const char* path, std::uint64_t fileBytes, unsigned files, std::uint64_t freedBytes) noexcept
{
    struct statvfs fs {};
    if (::statvfs(path, &fs) != 0) {
        return true;
    }
    const std::uint64_t blockSize = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
    return roomInBlocks(fs.f_bfree, blockSize, fileBytes, files, freedBytes);
}

} // namespace vorn
