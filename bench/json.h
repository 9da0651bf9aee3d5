// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// A small JSON value for the results file: numbers, texts, booleans, null,
// arrays and objects whose keys keep their order.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace bench {

class Json {
public:
    Json() = default; // null
    Json(double v) : kind_(Kind::Number), number_(v) {}
    Json(int v) : Json(static_cast<double>(v)) {}
    Json(unsigned v) : Json(static_cast<double>(v)) {}
    Json(long v) : Json(static_cast<double>(v)) {}
    Json(unsigned long v) : Json(static_cast<double>(v)) {}
    Json(bool v) : kind_(Kind::Bool), bool_(v) {}
    Json(const char* v) : kind_(Kind::Text), text_(v) {}
    Json(std::string v) : kind_(Kind::Text), text_(std::move(v)) {}

    static Json object()
    {
        Json j;
        j.kind_ = Kind::Object;
        return j;
    }
    static Json array()
    {
        Json j;
        j.kind_ = Kind::Array;
        return j;
    }

    // Object member (added, or replaced if the key is there).
    Json& operator[](const std::string& key)
    {
        kind_ = Kind::Object;
        for (auto& m : members_)
            if (m.first == key)
                return m.second;
        members_.emplace_back(key, Json());
        return members_.back().second;
    }
    Json& push(Json v)
    {
        kind_ = Kind::Array;
        items_.push_back(std::move(v));
        return items_.back();
    }

    std::string dump(int indent = 0) const
    {
        std::string out;
        write(out, indent);
        out += '\n';
        return out;
    }

private:
    enum class Kind { Null, Number, Bool, Text, Array, Object };

    static void quote(std::string& out, const std::string& s)
    {
        out += '"';
        for (const unsigned char c : s) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c >= 0x7f) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
        out += '"';
    }

    void write(std::string& out, int indent) const
    {
        const std::string pad(static_cast<std::size_t>(indent + 2), ' ');
        const std::string closePad(static_cast<std::size_t>(indent), ' ');
        switch (kind_) {
        case Kind::Null:
            out += "null";
            break;
        case Kind::Number: {
            if (!std::isfinite(number_)) {
                out += "null";
                break;
            }
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.6g", number_);
            out += buf;
            break;
        }
        case Kind::Bool:
            out += bool_ ? "true" : "false";
            break;
        case Kind::Text:
            quote(out, text_);
            break;
        case Kind::Array:
            out += '[';
            for (std::size_t i = 0; i < items_.size(); ++i) {
                out += i ? ",\n" : "\n";
                out += pad;
                items_[i].write(out, indent + 2);
            }
            out += items_.empty() ? "]" : "\n" + closePad + "]";
            break;
        case Kind::Object:
            out += '{';
            for (std::size_t i = 0; i < members_.size(); ++i) {
                out += i ? ",\n" : "\n";
                out += pad;
                quote(out, members_[i].first);
                out += ": ";
                members_[i].second.write(out, indent + 2);
            }
            out += members_.empty() ? "}" : "\n" + closePad + "}";
            break;
        }
    }

    Kind kind_ = Kind::Null;
    double number_ = 0;
    bool bool_ = false;
    std::string text_;
    std::vector<Json> items_;
    std::vector<std::pair<std::string, Json>> members_;
};

} // namespace bench
