// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// A small JSON writer: enough for vornctl's one object per reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vornctl {

// The text as a JSON string literal, quotes included. Bytes that do not form
// valid UTF-8 are written as \u00XX (read as Latin-1), so the output is
// always valid JSON whatever the agent sent.
std::string jsonString(std::string_view text);

// Builds one JSON value by appending; the caller keeps the structure right.
class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(std::string_view name);
    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& number(std::int64_t n);
    JsonWriter& boolean(bool flag);
    JsonWriter& null();

    [[nodiscard]] const std::string& text() const noexcept { return out_; }

private:
    void separate();

    std::string out_;
    bool needComma_ = false;
};

} // namespace vornctl
