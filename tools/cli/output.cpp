#include "output.h"

#include "notifications.h"

namespace kestro::cli {

Json Quantity::json() const {
    Json j = Json::object();
    j.set("value", Json::number(value, decimals));
    j.set("unit", Json::string(unit));
    return j;
}

std::string Quantity::text() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return unit.empty() ? std::string(buf) : std::string(buf) + (unit == "%" ? "" : " ") + unit;
}

std::string padLabel(const std::string& label) {
    std::string s = label;
    if (s.size() < 18) s.resize(18, ' ');
    else s.push_back(' ');
    return s;
}

Output::Output(bool json, std::FILE* text, std::FILE* errors) : json_(json), text_(text), errors_(errors) {}

void Output::line(const std::string& s) {
    std::fputs(s.c_str(), text_);
    std::fputc('\n', text_);
    std::fflush(text_);
}

void Output::field(const std::string& key, const std::string& label, Json value, const std::string& text) {
    if (json_) doc_.set(key, std::move(value));
    else line(padLabel(label) + text);
}

void Output::quantity(const std::string& label, const Quantity& q) { field(q.key, label, q.json(), q.text()); }

void Output::group(const std::string& key, const std::string& label, const std::vector<Quantity>& values) {
    if (json_) {
        Json g = Json::object();
        for (const Quantity& q : values) g.set(q.key, q.json());
        doc_.set(key, std::move(g));
        return;
    }
    std::string s = padLabel(label);
    for (std::size_t i = 0; i < values.size(); ++i) s += (i ? "  " : "") + values[i].text();
    line(s);
}

void Output::say(const std::string& s) {
    if (json_) doc_.member("messages").push(Json::string(s));
    else line(s);
}

void Output::notification(uintptr_t w, intptr_t l, const std::string& errorText) {
    const std::string meaning = notificationMeaning(w, l);
    if (json_) {
        Json n = Json::object();
        n.set("wParam", Json::integer(static_cast<long long>(w)));
        n.set("lParam", Json::integer(static_cast<long long>(l)));
        n.set("meaning", Json::string(meaning));
        if (notificationCarriesError(w)) n.set("text", Json::string(errorText));
        if (streaming_) {
            Json doc = Json::object();
            doc.set("notification", std::move(n));
            line(doc.dump());
        } else {
            doc_.member("notifications").push(std::move(n));
        }
        return;
    }
    std::string s = "notification (" + std::to_string(w) + ", " + std::to_string(l) + "): " + meaning;
    if (notificationCarriesError(w) && !errorText.empty()) s += ": " + errorText;
    line(s);
}

int Output::fail(int exitCode, const std::string& message) {
    std::fprintf(errors_, "kestro: %s\n", message.c_str());
    std::fflush(errors_);
    if (json_) doc_.set("error", Json::string(message));
    return exitCode;
}

void Output::finish(int exitCode) {
    if (!json_) return;
    doc_.set("exit", Json::integer(exitCode));
    line(doc_.dump());
}

void Output::reset() { doc_ = Json::object(); }

}  // namespace kestro::cli
