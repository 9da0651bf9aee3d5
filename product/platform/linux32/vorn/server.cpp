// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The vorn agent daemon. It takes no arguments and no configuration of its
// own: everything comes from the host-link driver, the SP and fixed paths.
#include "server.h"

#include "core/daemon.h"

int main(int /*argc*/, char** /*argv*/)
{
    return vorn::runAgent();
}
