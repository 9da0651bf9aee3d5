// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
#include "document_reply.h"

#include <cctype>
#include <charconv>
#include <cstring>

#include <tinyxml2.h>

namespace vornctl {

namespace {

constexpr char kEndOfDocument = 3;

std::string_view trim(std::string_view s)
{
    constexpr std::string_view kBlank = " \t\r\n";
    const auto b = s.find_first_not_of(kBlank);
    if (b == std::string_view::npos) {
        return {};
    }
    const auto e = s.find_last_not_of(kBlank);
    return s.substr(b, e - b + 1);
}

bool isNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.' || c == ':';
}

// Length of an entity or character reference starting at text[i] ('&'),
// or 0 when the '&' starts none.
std::size_t referenceLength(std::string_view text, std::size_t i)
{
    std::size_t j = i + 1;
    if (j < text.size() && text[j] == '#') {
        ++j;
        const bool hex = j < text.size() && (text[j] == 'x' || text[j] == 'X');
        if (hex) {
            ++j;
        }
        const std::size_t digits = j;
        while (j < text.size() &&
               (hex ? std::isxdigit(static_cast<unsigned char>(text[j])) != 0 : (text[j] >= '0' && text[j] <= '9'))) {
            ++j;
        }
        if (j == digits) {
            return 0;
        }
    } else {
        const std::size_t start = j;
        while (j < text.size() && isNameChar(text[j])) {
            ++j;
        }
        if (j == start) {
            return 0;
        }
    }
    return (j < text.size() && text[j] == ';') ? j - i + 1 : 0;
}

// Escapes every '&' that starts no reference.
std::string escapeBareAmpersands(std::string_view text, bool& changed)
{
    std::string out;
    changed = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && referenceLength(text, i) == 0) {
            out += "&amp;";
            changed = true;
        } else {
            out += text[i];
        }
    }
    return out;
}

Element convert(const tinyxml2::XMLElement& e) // NOLINT(misc-no-recursion): tinyxml2 bounds the depth
{
    Element out;
    out.name = e.Name();
    std::string text;
    for (const tinyxml2::XMLNode* n = e.FirstChild(); n != nullptr; n = n->NextSibling()) {
        if (const tinyxml2::XMLElement* child = n->ToElement()) {
            out.children.push_back(convert(*child));
        } else if (const tinyxml2::XMLText* t = n->ToText()) {
            if (!text.empty()) {
                text += ' ';
            }
            text += trim(t->Value());
        }
    }
    out.text = trim(text);
    return out;
}

bool parse(std::string_view text, DocumentReply& reply)
{
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) {
        reply.problem = doc.ErrorStr();
        return false;
    }
    const tinyxml2::XMLElement* root = doc.RootElement();
    if (root == nullptr || std::strcmp(root->Name(), "vorn") != 0) {
        reply.problem = "the root element is not <vorn>";
        return false;
    }
    reply.elements = convert(*root).children;
    return true;
}

} // namespace

bool looksLikeDocument(std::string_view reply) noexcept
{
    return reply.starts_with("<?xml");
}

DocumentReply decodeDocument(std::string_view reply)
{
    DocumentReply out;
    out.complete = !reply.empty() && reply.back() == kEndOfDocument;
    std::string_view text = out.complete ? reply.substr(0, reply.size() - 1) : reply;
    out.text = text;

    if (text.find('\0') != std::string_view::npos) {
        out.problem = "the reply holds a zero byte";
        return out;
    }
    // The agent copies host names and inventory text without escaping
    // them; a bare '&' would otherwise be misread (or refused) by the parser.
    const std::string escaped = escapeBareAmpersands(text, out.repaired);
    out.decoded = parse(escaped, out);
    if (!out.decoded && !out.complete) {
        out.problem = "the reply is cut short: it does not end with the end-of-document byte 3 "
                      "(the agent bounds a reply at 4095 characters)";
    }
    return out;
}

std::vector<std::string>
errorTexts(const std::vector<Element>& elements) // NOLINT(misc-no-recursion): tinyxml2 bounds the depth
{
    std::vector<std::string> out;
    for (const Element& e : elements) {
        if (e.name == "error") {
            out.push_back(e.text);
        }
        auto inner = errorTexts(e.children);
        out.insert(out.end(), inner.begin(), inner.end());
    }
    return out;
}

std::optional<std::int64_t> commandStatus(const std::vector<Element>& elements)
{
    for (const Element& e : elements) {
        if (e.name == "cmdRetVal") {
            std::int64_t v = 0;
            const char* end = e.text.data() + e.text.size();
            const auto [ptr, ec] = std::from_chars(e.text.data(), end, v);
            if (ec == std::errc{} && ptr == end) {
                return v;
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace vornctl
