// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// The agent's response document, decoded: the elements under the root
// element <vorn>, in the order sent, repeated names kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornctl {

struct Element { // NOLINT(misc-no-recursion): tinyxml2 bounds the depth
    std::string name;
    std::string text; // the element's own text, blanks at both ends removed
    std::vector<Element> children;

    [[nodiscard]] bool leaf() const noexcept { return children.empty(); }
};

struct DocumentReply {
    bool decoded = false;  // parsed as XML with the root <vorn>
    bool complete = false; // ended with the byte 3
    bool repaired = false; // a bare '&' was read as a literal '&'
    std::string text;      // the document without the byte 3
    std::string problem;   // why it could not be decoded
    std::vector<Element> elements;
};

// Decodes the reply to a document command. Element texts that the agent
// does not escape (host names, inventory text) may hold a bare '&': every
// '&' that starts no entity or character reference is read as a literal
// '&'. Anything else that is not well-formed leaves decoded false, with the
// reason in problem.
DocumentReply decodeDocument(std::string_view reply);

// Whether the reply looks like a response document at all.
bool looksLikeDocument(std::string_view reply) noexcept;

// Texts of all <error> elements, at any depth, in document order.
std::vector<std::string> errorTexts(const std::vector<Element>& elements);

// The value of the first top-level <cmdRetVal> element, when there is one
// holding a number.
std::optional<std::int64_t> commandStatus(const std::vector<Element>& elements);

} // namespace vornctl
