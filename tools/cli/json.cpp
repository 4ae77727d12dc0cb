#include "json.h"

#include <cmath>
#include <cstdio>

namespace kestro::cli {

Json Json::string(std::string text) {
    Json j(Kind::String);
    j.scalar_ = std::move(text);
    return j;
}

Json Json::boolean(bool value) {
    Json j(Kind::Bool);
    j.scalar_ = value ? "true" : "false";
    return j;
}

Json Json::integer(long long value) {
    Json j(Kind::Number);
    j.scalar_ = std::to_string(value);
    return j;
}

Json Json::number(double value, int decimals) {
    if (!std::isfinite(value)) return Json();
    Json j(Kind::Number);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals < 0 ? 0 : decimals, value);
    j.scalar_ = buf;
    return j;
}

Json& Json::set(const std::string& key, Json value) {
    kind_ = Kind::Object;
    for (auto& [k, v] : members_)
        if (k == key) return v = std::move(value);
    members_.emplace_back(key, std::move(value));
    return members_.back().second;
}

Json& Json::push(Json value) {
    kind_ = Kind::Array;
    items_.push_back(std::move(value));
    return items_.back();
}

Json& Json::member(const std::string& key) {
    for (auto& [k, v] : members_)
        if (k == key) return v;
    return set(key, object());
}

std::string jsonQuote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else if (c >= 0x80) {
                    // Texts from settings files are single-byte: keep the JSON valid UTF-8.
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
    return out;
}

void Json::dumpTo(std::string& out) const {
    switch (kind_) {
        case Kind::Null: out += "null"; break;
        case Kind::Bool:
        case Kind::Number: out += scalar_; break;
        case Kind::String: out += jsonQuote(scalar_); break;
        case Kind::Array: {
            out.push_back('[');
            for (std::size_t i = 0; i < items_.size(); ++i) {
                if (i) out.push_back(',');
                items_[i].dumpTo(out);
            }
            out.push_back(']');
            break;
        }
        case Kind::Object: {
            out.push_back('{');
            for (std::size_t i = 0; i < members_.size(); ++i) {
                if (i) out.push_back(',');
                out += jsonQuote(members_[i].first);
                out.push_back(':');
                members_[i].second.dumpTo(out);
            }
            out.push_back('}');
            break;
        }
    }
}

std::string Json::dump() const {
    std::string out;
    dumpTo(out);
    return out;
}

}  // namespace kestro::cli
