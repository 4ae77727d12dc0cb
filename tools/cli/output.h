#pragma once
// Output of a command: lines for people, or with --json one JSON document with the same
// content. Commands state each value once (key, label, value, unit) and the Output
// renders it either way.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "json.h"

namespace kestro::cli {

// A value with its unit, e.g. 12.5 mA (a generator value in tenths is given divided).
struct Quantity {
    std::string key;
    double value = 0;
    int decimals = 0;
    std::string unit;

    Json json() const;          // {"value": 12.5, "unit": "mA"}
    std::string text() const;   // "12.5 mA"
};

class Output {
public:
    explicit Output(bool json, std::FILE* text = stdout, std::FILE* errors = stderr);

    bool json() const { return json_; }
    // The JSON document of the current command (to add structures a command builds itself).
    Json& doc() { return doc_; }

    // One named value: text "label   text", JSON doc[key] = value.
    void field(const std::string& key, const std::string& label, Json value, const std::string& text);
    void quantity(const std::string& label, const Quantity& q);
    // Several values on one line: text "label   80 kV  12.5 mA", JSON doc[key] = {kv: .., ma: ..}.
    void group(const std::string& key, const std::string& label, const std::vector<Quantity>& values);
    // A line for people; with --json it goes to the "messages" list.
    void say(const std::string& line);
    // A notification of the library, with its meaning and, for errors, the error's text.
    void notification(uintptr_t wParam, intptr_t lParam, const std::string& errorText);

    // Reports a failure on standard error ("kestro: message"); with --json also in the
    // document. Returns exitCode so that a command can `return out.fail(2, "...")`.
    int fail(int exitCode, const std::string& message);
    // Ends the command: with --json prints the document (with "exit") as one line.
    void finish(int exitCode);
    // Starts a new document (the shell runs many commands on one Output).
    void reset();
    // With JSON lines (monitor, shell) each notification is printed as its own document.
    void setStreaming(bool on) { streaming_ = on; }

    std::FILE* textStream() const { return text_; }

private:
    void line(const std::string& s);

    bool json_;
    bool streaming_ = false;
    std::FILE* text_;
    std::FILE* errors_;
    Json doc_ = Json::object();
};

// Label padded to the column the values start in.
std::string padLabel(const std::string& label);

}  // namespace kestro::cli
