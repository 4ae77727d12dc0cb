// The control language: one command per line, shared by the API, standard input and the
// control socket of the program. README.md lists the commands.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>

#include "kestro_sim/simulator.h"

namespace kestro::sim {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::vector<std::string> words(std::string_view s) {
  std::vector<std::string> out;
  std::istringstream in{std::string(s)};
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool parseInt(std::string_view s, int& out) {
  if (s.empty()) return false;
  const char* end = s.data() + s.size();
  auto [ptr, ec] = std::from_chars(s.data(), end, out);
  return ec == std::errc() && ptr == end;
}

bool parseOnOff(std::string_view s, bool& out) {
  std::string w = lower(s);
  if (w == "on" || w == "1" || w == "true" || w == "yes") {
    out = true;
    return true;
  }
  if (w == "off" || w == "0" || w == "false" || w == "no") {
    out = false;
    return true;
  }
  return false;
}

const char* onOff(bool on) { return on ? "on" : "off"; }

const char* dropName(DropMode m) { return m == DropMode::All ? "all" : m == DropMode::Once ? "once" : "off"; }
const char* nakName(NakMode m) { return m == NakMode::All ? "all" : m == NakMode::Once ? "once" : "off"; }

std::string describeFaults(const FaultSettings& f) {
  std::ostringstream s;
  s << "silence=" << onOff(f.silence) << " bad-checksum=" << onOff(f.badChecksum) << " garbage=" << onOff(f.garbage)
    << " slow=" << f.slow.count() << " split=" << onOff(f.split) << " split-gap=" << f.splitGap.count()
    << " drop=" << dropName(f.drop) << " nak=" << nakName(f.nak) << " line=" << (f.disconnected ? "down" : "up");
  return s.str();
}

std::string describeHandshake(const HandshakeResult& r) {
  if (r.kind.empty()) return "none";
  std::ostringstream s;
  s << r.kind << (r.running ? " running" : r.completed ? " completed" : " aborted");
  for (const HandshakeStep& step : r.steps)
    s << ' ' << step.message << '=' << (step.echoed ? "echo(" + std::to_string(step.echoDelay.count()) + "ms)" : "no-echo");
  return s.str();
}

constexpr const char* kHelp =
    "commands: help | quit | status | state N | set NAME VALUE | get NAME | expose [MS] | fluoro on|off | "
    "handshake | wait [MS] | error NNN | warning NNN | send TEXT | raw HEX... | "
    "fault [NAME on|off | slow MS | split on|off [GAP] | drop on|off|once | nak on|off|once | disconnect | "
    "reconnect | clear] | faults | nak on|off|once | disconnect | reconnect | echo-timeout MS | strict on|off | "
    "he-period MS | refuse-technique on|off | bag get INDEX [SEL...] | bag put INDEX HEX... | features [HEX|off] | "
    "data save FILE | data load FILE | stats | log [N] | clear | "
    "dose-rate V0..V11 | compat ENTRY echo|refuse|bits HEX... | heat-limits FIRST SECOND [TUBE] | "
    "tube-byte RECEPTOR VALUE";

}  // namespace

bool Simulator::control(std::string_view text, std::string* reply) {
  std::string out;
  auto ok = [&](std::string msg = {}) {
    out = msg.empty() ? "OK" : "OK " + msg;
    return true;
  };
  auto err = [&](std::string msg) {
    out = "ERR " + msg;
    return false;
  };

  auto run = [&]() -> bool {
    std::string_view line = trim(text);
    if (line.empty() || line.front() == '#') return ok();
    const std::vector<std::string> w = words(line);
    const std::string verb = lower(w[0]);
    const std::size_t argc = w.size() - 1;
    auto arg = [&](std::size_t i) -> std::string_view { return i <= argc ? std::string_view(w[i]) : std::string_view(); };
    int number = 0;
    bool flag = false;

    if (std::optional<bool> done = configControl(w, out)) return *done;
    if (verb == "help") return ok(kHelp);
    if (verb == "quit" || verb == "exit") {
      std::lock_guard lock(m);
      quit = true;
      return ok("bye");
    }
    if (verb == "status") {
      std::ostringstream s;
      auto v = [&](const char* name) { return value(name).value_or(-1); };
      s << "state=" << state() << " kv=" << v("KV") << " ma=" << v("MA") << " ms=" << v("MS") << " mas=" << v("MX")
        << " heat=" << v("HE") << " port=" << portPath() << " handshake=" << describeHandshake(lastHandshake())
        << " faults: " << describeFaults(faults());
      return ok(s.str());
    }
    if (verb == "state") {
      if (argc != 1 || !parseInt(arg(1), number) || number < 0 || number > 999) return err("usage: state N");
      setState(number);
      return ok();
    }
    if (verb == "set") {
      if (argc != 2 || !parseInt(arg(2), number)) return err("usage: set NAME VALUE");
      if (!setValue(arg(1), number)) return err("unknown value " + std::string(arg(1)));
      return ok();
    }
    if (verb == "get") {
      if (argc != 1) return err("usage: get NAME");
      std::optional<int> v = value(arg(1));
      if (!v) return err("unknown value " + std::string(arg(1)));
      return ok(std::to_string(*v));
    }
    if (verb == "expose") {
      if (argc > 1 || (argc == 1 && (!parseInt(arg(1), number) || number <= 0))) return err("usage: expose [MS]");
      std::string why;
      if (!startExposure(argc == 1 ? number : 0, &why)) return err(why);
      return ok("expose " + std::to_string(lastHandshake().exposureMs) + " ms");
    }
    if (verb == "fluoro") {
      if (argc != 1 || !parseOnOff(arg(1), flag)) return err("usage: fluoro on|off");
      std::string why;
      if (!(flag ? startFluoro(&why) : stopFluoro(&why))) return err(why);
      return ok();
    }
    if (verb == "handshake") return ok(describeHandshake(lastHandshake()));
    if (verb == "wait") {
      number = 10000;
      if (argc > 1 || (argc == 1 && !parseInt(arg(1), number))) return err("usage: wait [MS]");
      if (!waitHandshakeDone(milliseconds(number))) return err("timeout");
      return ok(describeHandshake(lastHandshake()));
    }
    if (verb == "error" || verb == "warning") {
      if (argc != 1 || !parseInt(arg(1), number) || number < 0 || number > 999) return err("usage: " + verb + " NNN");
      if (verb == "error") reportError(number);
      else reportWarning(number);
      return ok();
    }
    if (verb == "send") {
      // Everything after the verb and one space, spaces inside kept.
      std::size_t at = line.find_first_of(" \t");
      if (at == std::string_view::npos || at + 1 >= line.size()) return err("usage: send TEXT");
      sendMessage(line.substr(at + 1));
      return ok();
    }
    if (verb == "raw") {
      Bytes bytes;
      std::size_t at = line.find_first_of(" \t");
      if (at == std::string_view::npos || !parseHex(line.substr(at + 1), bytes)) return err("usage: raw HEX...");
      sendRaw(bytes);
      return ok(std::to_string(bytes.size()) + " bytes");
    }
    if (verb == "disconnect") {
      if (!disconnect()) return err("disconnect failed");
      return ok();
    }
    if (verb == "reconnect") {
      std::string why;
      if (!reconnect(&why)) return err("reconnect failed: " + why);
      return ok("PTY " + portPath());
    }
    if (verb == "faults") return ok(describeFaults(faults()));
    if (verb == "nak") {
      std::string mode = lower(arg(1));
      if (argc != 1) return err("usage: nak on|off|once");
      if (mode == "once") setNak(NakMode::Once);
      else if (parseOnOff(mode, flag)) setNak(flag ? NakMode::All : NakMode::Off);
      else return err("usage: nak on|off|once");
      return ok();
    }
    if (verb == "fault") {
      if (argc == 0) return ok(describeFaults(faults()));
      const std::string name = lower(arg(1));
      const std::string mode = lower(arg(2));
      if (name == "clear" || name == "off") {
        clearFaults();
        return ok();
      }
      if (name == "disconnect" && (argc == 1 || mode == "on")) {
        if (!disconnect()) return err("disconnect failed");
        return ok();
      }
      if (name == "reconnect" || (name == "disconnect" && mode == "off")) {
        std::string why;
        if (!reconnect(&why)) return err("reconnect failed: " + why);
        return ok("PTY " + portPath());
      }
      if (name == "slow") {
        if (argc != 2) return err("usage: fault slow MS|off");
        if (parseOnOff(mode, flag) && !flag) number = 0;
        else if (!parseInt(mode, number) || number < 0) return err("usage: fault slow MS|off");
        setSlow(milliseconds(number));
        return ok();
      }
      if (name == "split") {
        if (argc < 2 || argc > 3 || !parseOnOff(mode, flag)) return err("usage: fault split on|off [GAP_MS]");
        int gap = static_cast<int>(faults().splitGap.count());
        if (argc == 3 && (!parseInt(arg(3), gap) || gap < 0)) return err("usage: fault split on|off [GAP_MS]");
        setSplit(flag, milliseconds(gap));
        return ok();
      }
      if (name == "drop" || name == "nak") {
        if (argc != 2) return err("usage: fault " + name + " on|off|once");
        const bool isDrop = name == "drop";
        if (mode == "once") {
          if (isDrop) setDrop(DropMode::Once);
          else setNak(NakMode::Once);
        } else if (mode == "all" || parseOnOff(mode, flag)) {
          const bool on = mode == "all" || flag;
          if (isDrop) setDrop(on ? DropMode::All : DropMode::Off);
          else setNak(on ? NakMode::All : NakMode::Off);
        } else {
          return err("usage: fault " + name + " on|off|once");
        }
        return ok();
      }
      if (argc != 2 || !parseOnOff(mode, flag)) return err("usage: fault NAME on|off");
      if (!setFault(name, flag)) return err("unknown fault " + name);
      return ok();
    }
    if (verb == "echo-timeout" || verb == "he-period") {
      if (argc != 1 || !parseInt(arg(1), number) || number < 0) return err("usage: " + verb + " MS");
      if (verb == "echo-timeout") setEchoTimeout(milliseconds(number));
      else setHeatReportPeriod(milliseconds(number));
      return ok();
    }
    if (verb == "strict" || verb == "refuse-technique") {
      if (argc != 1 || !parseOnOff(arg(1), flag)) return err("usage: " + verb + " on|off");
      if (verb == "strict") setStrictHandshake(flag);
      else setRefuseTechnique(flag);
      return ok();
    }
    if (verb == "bag") {
      const std::string sub = lower(arg(1));
      if (argc < 2 || !parseInt(arg(2), number) || findBagLayout(number) == nullptr)
        return err("usage: bag get INDEX [SEL...] | bag put INDEX HEX...");
      if (sub == "get") {
        Bytes selector;
        for (std::size_t i = 3; i <= argc; ++i) {
          int b = 0;
          if (!parseInt(arg(i), b) || b < 0 || b > 255) return err("selector bytes are numbers 0..255");
          selector.push_back(static_cast<std::uint8_t>(b));
        }
        std::optional<Bytes> data = bagRecord(number, selector);
        if (!data) return err("unknown bag");
        return ok(toHex(*data));
      }
      if (sub == "put") {
        Bytes data;
        std::string_view rest = line;
        for (int skip = 0; skip < 3; ++skip) {  // "bag", "put", INDEX
          rest = trim(rest);
          std::size_t at = rest.find_first_of(" \t");
          rest = at == std::string_view::npos ? std::string_view() : rest.substr(at);
        }
        if (!parseHex(trim(rest), data)) return err("usage: bag put INDEX HEX...");
        if (!putBagRecord(number, {}, data))
          return err("bag " + std::to_string(number) + " holds " + std::to_string(findBagLayout(number)->replyLength) +
                     " bytes");
        return ok();
      }
      return err("usage: bag get INDEX [SEL...] | bag put INDEX HEX...");
    }
    if (verb == "features" || verb == "data") return dataSetControl(w, out);
    if (verb == "stats") {
      SimCounters c = counters();
      std::ostringstream s;
      s << "received=" << c.unitsReceived << " commands=" << c.commands << " bags=" << c.dataBags
        << " bad-checksums=" << c.badChecksums << " unknown=" << c.unknownCommands << " echoes=" << c.echoes
        << " sent=" << c.framesSent << " dropped=" << c.framesDropped << " chunks=" << c.chunksWritten
        << " bytes=" << c.bytesWritten << " acks=" << c.acks << " naks=" << c.naks << " discarded=" << c.discardedBytes;
      return ok(s.str());
    }
    if (verb == "log") {
      number = 10;
      if (argc > 1 || (argc == 1 && (!parseInt(arg(1), number) || number < 0))) return err("usage: log [N]");
      std::vector<ReceivedUnit> units = received();
      std::ostringstream s;
      std::size_t first = units.size() > static_cast<std::size_t>(number) ? units.size() - number : 0;
      s << units.size() - first << " units";
      for (std::size_t i = first; i < units.size(); ++i) {
        const ReceivedUnit& u = units[i];
        s << "\n  #" << u.seq << ' '
          << (u.unit.kind == UnitKind::Command ? printable(u.unit.text) : "bag " + std::to_string(u.unit.bagIndex))
          << " [" << toHex(u.unit.raw) << "] " << u.note;
      }
      return ok(s.str());
    }
    if (verb == "clear") {
      clearLog();
      return ok();
    }
    return err("unknown command " + verb + " (try help)");
  };

  const bool result = run();
  if (reply != nullptr) *reply = out;
  return result;
}

}  // namespace kestro::sim
