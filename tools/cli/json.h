#pragma once
// A small JSON value: what `--json` prints. Objects keep their keys in insertion order.

#include <string>
#include <utility>
#include <vector>

namespace kestro::cli {

class Json {
public:
    Json() = default;  // null
    static Json object() { return Json(Kind::Object); }
    static Json array() { return Json(Kind::Array); }
    static Json string(std::string text);
    static Json boolean(bool value);
    static Json integer(long long value);
    // A number printed with `decimals` digits after the point (0: as an integer).
    static Json number(double value, int decimals);

    // Object member (replaces an existing key) and array element.
    Json& set(const std::string& key, Json value);
    Json& push(Json value);
    // The member `key` of an object, created as an empty object when missing.
    Json& member(const std::string& key);
    bool isNull() const { return kind_ == Kind::Null; }
    bool empty() const { return members_.empty() && items_.empty(); }

    std::string dump() const;

private:
    enum class Kind { Null, Bool, Number, String, Array, Object };
    explicit Json(Kind kind) : kind_(kind) {}
    void dumpTo(std::string& out) const;

    Kind kind_ = Kind::Null;
    std::string scalar_;  // bool, number or string text
    std::vector<std::pair<std::string, Json>> members_;
    std::vector<Json> items_;
};

// Quotes and escapes a text as a JSON string.
std::string jsonQuote(const std::string& text);

}  // namespace kestro::cli
