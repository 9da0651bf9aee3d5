// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// A temporary directory under /tmp, removed with everything in it when the
// test is done.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace vorn::testsupport {

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/vorn-unit-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() { std::filesystem::remove_all(path); }
};

} // namespace vorn::testsupport
