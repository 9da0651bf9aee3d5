// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The response document's envelope as the agent sends it: the XML prologue
// and the root start tag before the elements, the root end tag and the
// byte 3 after them.
#pragma once

#include <string>

namespace vorn::testsupport {

inline const std::string kEnvelopeHead = "<?xml version=\"1.0\" encoding =\"UTF-8\"?> <vorn> ";
inline const std::string kEnvelopeTail = std::string(" </vorn> ") + '\x03';

// The whole document around body.
inline std::string enveloped(const std::string& body)
{
    return kEnvelopeHead + body + kEnvelopeTail;
}

} // namespace vorn::testsupport
