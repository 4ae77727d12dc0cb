// One live session: shell (commands typed or fed on standard input, notifications shown
// as they arrive, line editing and history with libedit) and monitor (notifications and
// status changes as lines until interrupted).

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <editline/readline.h>

#include "command.h"
#include "host_setup.h"
#include "interrupt.h"
#include "notifications.h"
#include "options.h"
#include "session.h"
#include "status_view.h"

namespace kestro::cli {

namespace {

using Clock = std::chrono::steady_clock;

// ---- The line source: libedit on a terminal, plain lines otherwise -----------------------

class LineSource {
public:
    explicit LineSource(bool terminal) : terminal_(terminal) {}
    ~LineSource() { finish(); }

    void start(const std::string& prompt) {
        if (!terminal_) return;
        self_ = this;
        if (!historyLoaded_) {
            rl_catch_signals = 0;
            rl_readline_name = "kestro";
            using_history();
            stifle_history(1000);
            history_ = historyFile();
            read_history(history_.c_str());
            historyLoaded_ = true;
        }
        rl_callback_handler_install(prompt.c_str(), &LineSource::onLine);
        installed_ = true;
    }
    // Removes the prompt (while a command runs, and at the end).
    void stop() {
        if (!installed_) return;
        rl_callback_handler_remove();
        installed_ = false;
    }
    // Ends the session's line editing: the history is kept for the next one.
    void finish() {
        stop();
        if (historyLoaded_) {
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::path(history_).parent_path(), ec);
            write_history(history_.c_str());
            historyLoaded_ = false;
        }
        self_ = nullptr;
    }
    bool terminal() const { return terminal_; }

    // Reads what stdin has; true when a whole line (or the end) is there.
    // Returns false at end of input (Ctrl-D) with line empty.
    bool take(std::string& line, bool& eof) {
        eof = false;
        if (terminal_) {
            rl_callback_read_char();
            if (gotEof_) {
                eof = true;
                return false;
            }
            if (!gotLine_) return false;
            gotLine_ = false;
            line = pending_;
            return true;
        }
        for (;;) {
            std::size_t at = buffer_.find('\n');
            if (at != std::string::npos) {
                line = buffer_.substr(0, at);
                buffer_.erase(0, at + 1);
                return true;
            }
            if (readEof_) {
                if (!buffer_.empty()) {
                    line.swap(buffer_);
                    buffer_.clear();
                    return true;
                }
                eof = true;
                return false;
            }
            char buf[4096];
            ssize_t n = ::read(0, buf, sizeof buf);
            if (n < 0 && errno == EINTR) return false;
            if (n <= 0) readEof_ = true;
            else buffer_.append(buf, static_cast<std::size_t>(n));
            if (n > 0 && buffer_.find('\n') == std::string::npos) return false;
        }
    }
    // Whether a line is ready without reading (plain input keeps a buffer).
    bool buffered() const { return !terminal_ && (buffer_.find('\n') != std::string::npos || readEof_); }

    // Prints a line while the prompt may be shown.
    void print(const std::string& text) {
        if (installed_) {
            std::fputs("\r\033[K", stdout);
            std::fputs(text.c_str(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
            rl_forced_update_display();
        } else {
            std::fputs(text.c_str(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        }
    }
    bool installed() const { return installed_; }

private:
    static void onLine(char* text) {
        if (!self_) return;
        if (!text) {
            self_->gotEof_ = true;
            return;
        }
        self_->pending_ = text;
        if (*text) add_history(text);
        std::free(text);
        self_->gotLine_ = true;
    }
    static std::string historyFile() {
        return (std::filesystem::path(ownHostDirectory("shell")).parent_path() / "history").string();
    }

    static LineSource* self_;
    bool terminal_;
    bool installed_ = false;
    bool historyLoaded_ = false;
    bool gotLine_ = false;
    bool gotEof_ = false;
    bool readEof_ = false;
    std::string pending_;
    std::string buffer_;
    std::string history_;
};

LineSource* LineSource::self_ = nullptr;

// Waits until stdin is readable or timeoutMs passed; false on timeout or interrupt.
bool waitInput(int timeoutMs) {
    pollfd p{0, POLLIN, 0};
    int r = ::poll(&p, 1, timeoutMs);
    return r > 0;
}

// Shows the notifications of the session through the line source (so that the prompt
// is redrawn under them).
int showNotifications(Session& s, Output& out, LineSource* lines, int timeoutMs) {
    if (!lines || !lines->installed() || out.json()) return s.pollNotifications(out, timeoutMs);
    int n = 0;
    MessageView m{};
    while (s.nextNotification(m, n == 0 ? timeoutMs : 0)) {
        ++n;
        std::string t = "notification (" + std::to_string(m.wParam) + ", " + std::to_string(m.lParam) +
                        "): " + notificationMeaning(m.wParam, m.lParam);
        if (notificationCarriesError(m.wParam)) {
            std::string text = s.errorText(static_cast<int>(m.lParam));
            if (!text.empty()) t += ": " + text;
        }
        lines->print(t);
    }
    return n;
}

// ---- Shell-only commands -------------------------------------------------------------------

struct ShellState {
    Session& session;
    const Options& options;
    Output& out;
    LineSource& lines;
};

int simulatorOnly(ShellState& st, const char* what) {
    return st.out.fail(kExitUsage, std::string(what) + " needs the simulator (the shell runs in " +
                                       st.session.modeText() + ")");
}

int shellExpose(ShellState& st, const std::vector<std::string>& args) {
    long ms = 0;
    if (args.size() > 1 || (args.size() == 1 && (!parseInteger(args[0], ms) || ms <= 0 || ms > 60000)))
        return st.out.fail(kExitUsage, "expose: usage: expose [MS] (1..60000)");
    SimProcess* sim = st.session.simulator();
    if (!sim) return simulatorOnly(st, "expose");
    std::string reply;
    if (!sim->request(args.empty() ? "expose" : "expose " + args[0], &reply, 2000) || reply.rfind("OK", 0) != 0)
        return st.out.fail(kExitRefused, "expose: the simulator says: " + (reply.empty() ? "nothing" : reply));
    st.out.say("exposure requested at the generator (" + reply.substr(reply.size() > 3 ? 3 : reply.size()) + ")");
    // Until the hand switch is released ((2, 1)) or the time is up.
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms + 10000);
    MessageView m{};
    bool ended = false;
    while (!ended && Clock::now() < deadline && !interrupted()) {
        if (!st.session.nextNotification(m, 100)) continue;
        st.out.notification(m.wParam, m.lParam,
                            notificationCarriesError(m.wParam) ? st.session.errorText(static_cast<int>(m.lParam)) : "");
        ended = (m.wParam == 2 && m.lParam == 1);
    }
    if (!ended) return st.out.fail(kExitRefused, "expose: the exposure did not end");
    st.out.field("exposure", "exposure", Json::string("completed"), "completed");
    return kExitDone;
}

int shellSim(ShellState& st, const std::string& rest) {
    SimProcess* sim = st.session.simulator();
    if (!sim) return simulatorOnly(st, "sim");
    if (rest.empty()) return st.out.fail(kExitUsage, "sim: usage: sim CONTROL-LINE (for example: sim error 203)");
    std::string reply;
    if (!sim->request(rest, &reply, 12000)) return st.out.fail(kExitRefused, "sim: no reply from the simulator");
    st.out.field("reply", "simulator", Json::string(reply), reply);
    showNotifications(st.session, st.out, nullptr, 100);
    return reply.rfind("OK", 0) == 0 ? kExitDone : kExitRefused;
}

int shellRaw(ShellState& st, const std::string& rest) {
    if (rest.empty()) return st.out.fail(kExitUsage, "raw: usage: raw TEXT (sent to the generator as it is)");
    using SendFn = int (*)(const char*, int);
    auto send = reinterpret_cast<SendFn>(st.session.api().symbol("IO_SendUnrestrictedCommand"));
    if (!send) return st.out.fail(kExitRefused, "this library has no IO_SendUnrestrictedCommand");
    const int r = send(rest.data(), static_cast<int>(rest.size()));
    st.out.field("sent", "sent", Json::boolean(r == 1), r == 1 ? "\"" + rest + "\"" : "not sent");
    showNotifications(st.session, st.out, nullptr, 200);
    return r == 1 ? kExitDone : st.out.fail(kExitRefused, "raw: the link did not take the bytes");
}

int shellWait(ShellState& st, const std::vector<std::string>& args) {
    long ms = 0;
    if (args.size() != 1 || !parseInteger(args[0], ms) || ms < 0 || ms > 600000)
        return st.out.fail(kExitUsage, "wait: usage: wait MS (0..600000)");
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline && !interrupted()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        showNotifications(st.session, st.out, nullptr, static_cast<int>(left > 100 ? 100 : left < 0 ? 0 : left));
    }
    return kExitDone;
}

// The status view, refreshed in place once a second until a key (a line) or Ctrl-C.
int shellWatch(ShellState& st) {
    if (st.out.json()) {
        Context c{st.options, st.out, {}, &st.session, true};
        return showStatus(c, true);
    }
    int shown = 0;
    const bool tty = ::isatty(1) != 0;
    for (int round = 0; !interrupted(); ++round) {
        char* buf = nullptr;
        std::size_t size = 0;
        std::FILE* mem = ::open_memstream(&buf, &size);
        Output view(false, mem);
        Context c{st.options, view, {}, &st.session, true};
        showStatus(c, false);
        std::fclose(mem);
        std::string text(buf, size);
        std::free(buf);
        if (tty && shown > 0) std::printf("\033[%dA\033[J", shown);
        showNotifications(st.session, st.out, nullptr, 0);  // above the view: they scroll away
        std::fputs(text.c_str(), stdout);
        if (tty) std::fputs("(Enter ends the view)\n", stdout);
        std::fflush(stdout);
        shown = 0;
        for (char ch : text) shown += ch == '\n';
        if (tty) ++shown;
        if (!tty || st.lines.buffered()) break;  // fed from a script: one view
        const auto next = Clock::now() + std::chrono::seconds(1);
        bool key = false;
        while (!key && Clock::now() < next && !interrupted()) {
            showNotifications(st.session, st.out, nullptr, 0);
            key = waitInput(100);
        }
        if (key) {
            if (st.lines.terminal()) {
                char discard[256];
                (void)::read(0, discard, sizeof discard);
            }
            break;
        }
    }
    clearInterrupt();  // Ctrl-C ends the view, not the shell
    return kExitDone;
}

const char* kShellHelp =
    "shell commands (besides the tool's commands, typed without 'kestro'):\n"
    "  expose [MS]      the simulator's hand switch: prepare and expose, shows the notifications\n"
    "  sim LINE         a control line to the simulator (sim error 203, sim fault silence on, ...)\n"
    "  raw TEXT         TEXT sent to the generator as it is (IO_SendUnrestrictedCommand)\n"
    "  watch            the status view refreshed in place (Enter or Ctrl-C ends it)\n"
    "  wait MS          show notifications for MS milliseconds\n"
    "  quit, exit       end the shell (so do Ctrl-D and Ctrl-C)\n";

// Runs one typed line; false when the shell should end.
bool runLine(ShellState& st, const std::string& line, int& lastCode) {
    std::vector<std::string> words;
    std::string error;
    if (!splitWords(line, words, &error)) {
        lastCode = st.out.fail(kExitUsage, error);
        return true;
    }
    if (words.empty() || words[0][0] == '#') return true;
    const std::string& verb = words[0];
    std::string rest;
    {
        std::size_t at = line.find(verb) + verb.size();
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        rest = line.substr(at);
        while (!rest.empty() && (rest.back() == '\r' || rest.back() == ' ')) rest.pop_back();
    }
    st.out.reset();
    std::vector<std::string> args(words.begin() + 1, words.end());
    int code = kExitDone;
    if (verb == "quit" || verb == "exit") return false;
    if (verb == "expose") code = shellExpose(st, args);
    else if (verb == "sim") code = shellSim(st, rest);
    else if (verb == "raw") code = shellRaw(st, rest);
    else if (verb == "watch") code = args.empty() ? shellWatch(st) : st.out.fail(kExitUsage, "watch takes no arguments");
    else if (verb == "wait") code = shellWait(st, args);
    else {
        Options o = st.options;
        std::string why = parseShellLine(line, o);
        const Command* cmd = why.empty() ? findCommand(o.command) : nullptr;
        if (!why.empty()) code = st.out.fail(kExitUsage, why);
        else if (!cmd) code = st.out.fail(kExitUsage, "unknown command '" + o.command + "' (help lists them)");
        else if (cmd->needs == Needs::Itself)
            code = st.out.fail(kExitUsage, o.command + " opens a session of its own; the shell has one open");
        else if (o.help || (cmd == findCommand("help") && o.args.empty())) {
            printUsage(stdout, o.help ? cmd : nullptr);
            if (!o.help) std::fputs(kShellHelp, stdout);
        } else {
            Output out(o.json || st.out.json());
            out.setStreaming(true);
            code = runCommand(o, out, *cmd, o.args, &st.session, true);
            out.finish(code);
            lastCode = code;
            return true;
        }
    }
    st.out.finish(code);
    lastCode = code;
    return true;
}

int runShell(Context& c) {
    installInterruptHandler();
    Session session;
    int r = session.open(c.options, c.out);
    if (r != kExitDone) return r;
    c.out.setStreaming(true);
    const bool terminal = ::isatty(0) && ::isatty(1);
    LineSource lines(terminal);
    ShellState st{session, c.options, c.out, lines};
    if (!c.out.json())
        std::printf("kestro shell: %s, host directory %s\n%s", session.modeText().c_str(), session.hostDir().c_str(),
                    terminal ? "help lists the commands; Ctrl-D or quit ends\n" : "");
    else {
        Json doc = Json::object();
        doc.set("shell", Json::string(session.modeText()));
        doc.set("host_dir", Json::string(session.hostDir()));
        std::printf("%s\n", doc.dump().c_str());
    }
    std::fflush(stdout);
    lines.start("kestro> ");
    int lastCode = kExitDone;
    bool running = true;
    while (running && !interrupted()) {
        showNotifications(session, c.out, &lines, 0);
        if (!lines.buffered() && !waitInput(100)) continue;
        std::string line;
        bool eof = false;
        if (!lines.take(line, eof)) {
            if (eof) break;
            continue;
        }
        lines.stop();  // the command's output goes to a clean line
        running = runLine(st, line, lastCode);
        if (running && !interrupted()) lines.start("kestro> ");
    }
    lines.finish();
    if (terminal && !c.out.json()) std::printf("\n");
    // What the last commands caused and has not been shown yet.
    showNotifications(session, c.out, nullptr, 200);
    session.close();
    c.out.reset();
    return terminal ? kExitDone : lastCode;
}

// ---- monitor ---------------------------------------------------------------------------------

struct Sample {
    int state = -999, comm = -1, kv = -1, ma = -1, ms = -1, mas = -1, heat = -1;
    bool operator==(const Sample&) const = default;
};

Sample sample(Api& api) {
    Sample s;
    if (api.stValue) s.state = api.stValue();
    s.comm = api.commState();
    if (api.radKV) {
        s.kv = api.radKV(1, 0);
        s.ma = api.radMA(1, 0);
        s.ms = api.radMS(1, 0);
        s.mas = api.radMX(1, 0);
    }
    if (api.anodeHeat) s.heat = api.anodeHeat(1);
    return s;
}

void printSample(Output& out, const Sample& s) {
    char when[32];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    std::strftime(when, sizeof when, "%H:%M:%S", &tm);
    if (out.json()) {
        Json doc = Json::object();
        Json st = Json::object();
        st.set("time", Json::string(when));
        Json state = Json::object();
        state.set("value", Json::integer(s.state));
        state.set("meaning", Json::string(generatorStateMeaning(s.state)));
        st.set("state", std::move(state));
        st.set("communication", Json::boolean(s.comm != 0));
        st.set("kv", Quantity{"kv", static_cast<double>(s.kv), 0, "kV"}.json());
        st.set("ma", Quantity{"ma", s.ma / 10.0, 1, "mA"}.json());
        st.set("ms", Quantity{"ms", s.ms / 10.0, 1, "ms"}.json());
        st.set("mas", Quantity{"mas", s.mas / 10.0, 1, "mAs"}.json());
        st.set("anode_heat", Quantity{"anode_heat", static_cast<double>(s.heat), 0, "%"}.json());
        doc.set("status", std::move(st));
        std::printf("%s\n", doc.dump().c_str());
    } else {
        std::printf("%s status: state %d (%s), communication %s, %d kV %.1f mA %.1f ms %.1f mAs, anode heat %d%%\n",
                    when, s.state, generatorStateMeaning(s.state), s.comm ? "ok" : "down", s.kv, s.ma / 10.0,
                    s.ms / 10.0, s.mas / 10.0, s.heat);
    }
    std::fflush(stdout);
}

std::string checkMonitor(const std::vector<std::string>& args) {
    if (args.empty()) return "";
    if (args.size() == 2 && args[0] == "--for") {
        long s = 0;
        if (parseInteger(args[1], s) && s > 0 && s <= 86400) return "";
        return "--for takes seconds 1..86400";
    }
    return "unexpected '" + args[0] + "'";
}

int runMonitor(Context& c) {
    installInterruptHandler();
    long seconds = 0;
    if (c.args.size() == 2) parseInteger(c.args[1], seconds);
    Session session;
    int r = session.open(c.options, c.out);
    if (r != kExitDone) return r;
    c.out.setStreaming(true);
    if (!c.out.json()) std::printf("monitoring %s; Ctrl-C ends\n", session.modeText().c_str());
    const auto end = seconds > 0 ? Clock::now() + std::chrono::seconds(seconds) : Clock::time_point::max();
    Sample last;
    auto nextSample = Clock::now();
    while (!interrupted() && Clock::now() < end) {
        if (Clock::now() >= nextSample) {
            Sample now = sample(session.api());
            if (!(now == last)) printSample(c.out, now);
            last = now;
            nextSample = Clock::now() + std::chrono::seconds(1);
        }
        session.pollNotifications(c.out, 100);
    }
    session.close();
    c.out.reset();
    return kExitDone;
}

}  // namespace

KESTRO_CLI_COMMAND(shell) = {
    "shell", "one live session: type commands, see notifications as they arrive", "",
    "  Opens the generator once and reads commands: every command of the tool (status,\n"
    "  set kv 80, ...) and expose [MS], sim LINE, raw TEXT, watch, wait MS, quit.\n"
    "  Line editing and history on a terminal; a script can be fed on standard input.\n"
    "  Ctrl-D, Ctrl-C or quit end it (port closed, threads joined).\n",
    Needs::Itself, nullptr, runShell};

KESTRO_CLI_COMMAND(monitor) = {
    "monitor", "print notifications and status changes as lines until Ctrl-C", "[--for SECONDS]",
    "  With --json one JSON document per line.\n", Needs::Itself, checkMonitor, runMonitor};

}  // namespace kestro::cli
