// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include <string>

#include <gtest/gtest.h>

#include "envelope.h"
#include "request/document.h"

namespace vorn {
namespace {

const std::string kBare = testsupport::enveloped("");

TEST(Document, BareDocumentIs57Bytes)
{
    OutBuf out{};
    printStart(out);
    printEnd(out);
    EXPECT_EQ(documentText(out), kBare);
    EXPECT_EQ(documentText(out).size(), 57u);
}

TEST(Document, AppendIsBoundedAt4095Characters)
{
    OutBuf out{};
    printStart(out);
    const std::string filler(5000, 'a');
    printAppend(out, filler);
    printEnd(out);
    ASSERT_EQ(documentLength(out), 4095u);
    EXPECT_EQ(out[4095], '\0');
    // The end tag and the byte 3 did not fit.
    EXPECT_EQ(documentText(out).back(), 'a');
}

TEST(Document, AppendFillsTheRoomExactly)
{
    OutBuf out{};
    printAppend(out, std::string(4090, 'a'));
    printAppend(out, "bcdefgh");
    EXPECT_EQ(documentText(out).substr(4090), "bcdef");
    printAppend(out, "x");
    EXPECT_EQ(documentLength(out), 4095u);
}

TEST(Document, FormattedElementKeepsItsEndTagWhateverItsLength)
{
    // A 255-character text in an error element must come out whole.
    OutBuf out{};
    const std::string text(255, 'e');
    printAppendf(out, "<error>%s</error>", text.c_str());
    EXPECT_EQ(documentText(out), "<error>" + text + "</error>");

    OutBuf big{};
    const std::string huge(4000, 'z');
    printAppendf(big, "<x>%s</x>", huge.c_str());
    EXPECT_EQ(documentText(big), "<x>" + huge + "</x>");
}

} // namespace
} // namespace vorn
