#!/usr/bin/env python3
"""The kestro tool end to end, as a user types it: settings files, the live shell,
--json, usage errors, trace --follow. Usage: tool_test.py KESTRO KESTRO_SIM [unittest args]"""

import json
import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

KESTRO = SIM = None


def run(*args, env=None, stdin=None, timeout=60):
    return subprocess.run([KESTRO, "--sim", SIM, *args], input=stdin, capture_output=True, text=True,
                          env=env, timeout=timeout)


def snapshot(root):
    """Every settings file below root (the trace directory aside), byte for byte."""
    return {str(p.relative_to(root)): p.read_bytes() for p in Path(root).rglob("*")
            if p.is_file() and "Trace" not in p.relative_to(root).parts}


def read_until(fd, pattern, deadline):
    seen = b""
    while time.monotonic() < deadline:
        r, _, _ = select.select([fd], [], [], 0.1)
        if r:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
            if pattern in seen:
                return seen
    raise AssertionError(f"{pattern!r} did not appear; got {seen.decode(errors='replace')!r}")


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="kestro-tool-")
        self.root = Path(self.tmp.name)
        self.env = dict(os.environ, XDG_STATE_HOME=str(self.root / "state"), HOME=str(self.root / "home"))

    def tearDown(self):
        self.tmp.cleanup()

    def kestro(self, *args, **kw):
        return run(*args, env=self.env, **kw)

    def user_dir(self, com="3", baud="9600"):
        d = self.root / "user"
        r = self.kestro("init", str(d))
        self.assertEqual(r.returncode, 0, r.stderr)
        local = d / "Gen/INI/LocalConfig.ini"
        text = local.read_bytes().replace(b"com=1\r\n", f"com={com}\r\n".encode())
        local.write_bytes(text.replace(b"baud=19200\r\n", f"baud={baud}\r\n".encode()))
        return d


class Settings(ToolTest):
    def test_user_settings_are_used_and_never_written(self):
        d = self.user_dir(com="3", baud="9600")
        before = snapshot(d)
        self.assertIn("Gen/INI/ErrorMessages.ini", before)
        commands = [(["status"], 0), (["set", "kv", "90"], 0), (["step", "kv", "+1"], 0), (["timers"], 0),
                    (["calibration"], 0), (["session"], 0), (["trace"], 0), (["monitor", "--for", "1"], 0),
                    (["dap", "--area", "25", "--height", "50", "--expose", "100"], 0), (["compat"], 0),
                    (["compat", "--entry", "3,1,0,0,0,0,0,255"], 2), (["version"], 0),
                    (["demo"], 2), (["init", str(d)], 2)]
        for args, code in commands:
            r = self.kestro("--host-dir", str(d), *args)
            self.assertEqual(r.returncode, code, f"{args}: {r.stdout} {r.stderr}")
            self.assertEqual(snapshot(d), before, f"settings changed by {args}")
        r = self.kestro("--host-dir", str(d), "--json", "shell", stdin="set kv 80\nstatus\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(snapshot(d), before)
        # The trace went into the user's trace directory, and port 3 was the one used.
        self.assertTrue(any((d / "Trace").glob("20*.txt")))
        self.assertIn('"kv":{"value":80,"unit":"kV"}', r.stdout)

    def test_a_user_directory_can_enable_demonstration_mode(self):
        d = self.user_dir()
        function = d / "Gen/INI/FunctionConfig.ini"
        function.write_bytes(function.read_bytes().replace(b"Demo Enable=0", b"Demo Enable=1"))
        before = snapshot(d)
        for args, code, pattern in [(["status"], 0, r"^mode +demo\n"), (["demo"], 0, r"tube +1 \"DEMO TUBE 150KV\""),
                                    (["session"], 2, r"^$")]:
            r = self.kestro("--host-dir", str(d), *args)
            self.assertEqual(r.returncode, code, f"{args}: {r.stderr}")
            self.assertRegex(r.stdout, pattern)
        self.assertIn("enables demonstration mode", r.stderr)
        self.assertEqual(snapshot(d), before)

    def test_init_refuses_to_overwrite(self):
        d = self.user_dir()
        before = snapshot(d)
        r = self.kestro("init", str(d))
        self.assertEqual(r.returncode, 2)
        self.assertIn("nothing was written", r.stderr)
        self.assertEqual(snapshot(d), before)

    def test_line_settings_apply_to_the_tools_own_directory(self):
        r = self.kestro("--com", "4", "--baud", "9600", "--parity", "even", "--data-bits", "7", "--stop-bits", "2",
                        "status")
        self.assertEqual(r.returncode, 0, r.stderr)
        local = (self.root / "state/kestro/sim/Gen/INI/LocalConfig.ini").read_text()
        for line in ["com=4", "baud=9600", "parity=even", "databit=7", "stopbit=2"]:
            self.assertIn(line + "\r\n", local.replace("\n", "\r\n").replace("\r\r", "\r"))

    def test_a_directory_without_settings_is_reported(self):
        empty = self.root / "empty"
        empty.mkdir()
        r = self.kestro("--host-dir", str(empty), "status")
        self.assertEqual(r.returncode, 3)
        self.assertIn("Gen/INI/Path.ini", r.stderr)
        self.assertIn("kestro init", r.stderr)
        self.assertEqual(list(empty.iterdir()), [])


class LiveSession(ToolTest):
    def test_shell_script_keeps_one_session(self):
        script = "set kv 80\nstatus\nexpose 100\nsim error 203\nwait 500\nraw KV?\nstatus\n"
        r = self.kestro("shell", stdin=script)
        self.assertEqual(r.returncode, 0, r.stderr)
        out = r.stdout
        first, later = out.index("radiography"), out.rindex("radiography")
        self.assertLess(first, later)
        self.assertRegex(out[later:], r"^radiography +80 kV")
        self.assertRegex(out, r"\(1, 2\): radiography exposure started\n.*\(1, 1\): radiography exposure ended")
        error = out.index("notification (6, 203): generator error 203: kV outside the allowed range")
        self.assertLess(error, later)  # shown as it arrived, before the next command
        self.assertRegex(out, r'\nsent +"KV\?"\n')

    def test_shell_on_a_terminal_ends_on_ctrl_d_and_ctrl_c(self):
        for key in (b"\x04", b"\x03"):
            pid, fd = pty.fork()
            if pid == 0:
                os.execve(KESTRO, [KESTRO, "--sim", SIM, "shell"], self.env)
            try:
                deadline = time.monotonic() + 30
                read_until(fd, b"kestro> ", deadline)
                os.write(fd, b"set kv 85\r")
                read_until(fd, b"85 kV", deadline)
                read_until(fd, b"kestro> ", deadline)
                if key == b"\x04":
                    # The status view is redrawn in place until Enter.
                    os.write(fd, b"watch\r")
                    seen = read_until(fd, b"\x1b[J", deadline)
                    self.assertIn(b"radiography       85 kV", seen)
                    os.write(fd, b"\r")
                    read_until(fd, b"kestro> ", deadline)
                os.write(fd, key)
                while time.monotonic() < deadline:
                    done, status = os.waitpid(pid, os.WNOHANG)
                    if done:
                        break
                    try:
                        os.read(fd, 4096)
                    except OSError:
                        pass
                    time.sleep(0.05)
                else:
                    os.kill(pid, signal.SIGKILL)
                    self.fail(f"the shell did not end on {key!r}")
                self.assertTrue(os.WIFEXITED(status), key)
                self.assertEqual(os.WEXITSTATUS(status), 0, key)
            finally:
                os.close(fd)
        # History was kept for the next session.
        history = (self.root / "state/kestro/history").read_text().replace("\\040", " ").splitlines()
        self.assertEqual(history.count("set kv 85"), 2)

    def test_monitor_ends_when_its_reader_goes_away(self):
        p = subprocess.Popen([KESTRO, "--demo", "monitor"], stdout=subprocess.PIPE, env=self.env)
        self.assertIn(b"monitoring demo", p.stdout.readline())
        p.stdout.close()
        self.assertEqual(p.wait(timeout=10), 0)

    def test_monitor_prints_json_lines(self):
        r = self.kestro("--demo", "--json", "monitor", "--for", "2")
        self.assertEqual(r.returncode, 0, r.stderr)
        docs = [json.loads(line) for line in r.stdout.splitlines()]
        self.assertEqual(docs[0]["status"]["kv"], {"value": 75, "unit": "kV"})
        self.assertEqual(docs[-1], {"exit": 0})


class Output(ToolTest):
    def test_json_carries_the_same_values_as_the_text(self):
        text = self.kestro("--demo", "status")
        doc = json.loads(self.kestro("--demo", "--json", "status").stdout)
        self.assertEqual(text.returncode, 0)
        self.assertRegex(text.stdout, r"^mode +demo\ngenerator state +1 \(starting\)\n")
        self.assertRegex(text.stdout, r"radiography +75 kV +10\.0 mA +63\.0 ms +25\.0 mAs")
        self.assertEqual(doc["mode"], {"mode": "demo"})
        self.assertEqual(doc["state"], {"value": 1, "meaning": "starting"})
        self.assertEqual(doc["radiography"], {"kv": {"value": 75, "unit": "kV"}, "ma": {"value": 10.0, "unit": "mA"},
                                              "ms": {"value": 63.0, "unit": "ms"},
                                              "mas": {"value": 25.0, "unit": "mAs"}})
        self.assertEqual(doc["exit"], 0)

    def test_every_command_gives_one_json_document(self):
        cases = [(["status"], 0), (["set", "ma", "12.5"], 0), (["step", "ma", "+1"], 0), (["timers"], 0),
                 (["calibration"], 0), (["session"], 0), (["demo"], 0), (["version"], 0), (["trace"], 0),
                 (["init", str(self.root / "j")], 0), (["help"], 0), (["help", "set"], 0), (["set", "--help"], 0),
                 (["set", "kv", "999"], 2)]
        for args, code in cases:
            r = self.kestro("--json", *args)
            self.assertEqual(r.returncode, code, f"{args}: {r.stderr}")
            lines = r.stdout.splitlines()
            self.assertEqual(len(lines), 1, f"{args}: {r.stdout}")
            doc = json.loads(lines[0])
            self.assertEqual(doc["exit"], code)
        doc = json.loads(self.kestro("--json", "set", "ma", "12.5").stdout)
        self.assertEqual(doc["ma"], {"value": 12.5, "unit": "mA"})

    def test_demo_rules_are_reported_not_hidden(self):
        r = self.kestro("--demo", "set", "ma", "12.6")
        self.assertEqual(r.returncode, 1)
        self.assertIn("12.6 mA was not accepted; the value stays 10.0 mA", r.stderr)
        self.assertIn("notification (5, 213): error log entry 213: Value not allowed", r.stdout)
        r = self.kestro("--demo", "step", "ma", "+1")
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stdout, r"^ma +12\.5 mA\n")

    def test_help(self):
        r = self.kestro("help")
        self.assertEqual(r.returncode, 0)
        for name in ["status", "set", "shell", "monitor", "trace", "init", "help"]:
            self.assertRegex(r.stdout, rf"\n  {name}\b")
        self.assertIn("exit codes: 0 done, 1 the generator refused or did not answer, 2 bad usage", r.stdout)
        for args in (["help", "set"], ["set", "--help"]):
            r = self.kestro(*args)
            self.assertEqual(r.returncode, 0)
            self.assertIn("kv 40..150 kV", r.stdout)


class Usage(ToolTest):
    def test_usage_errors_exit_2_before_anything_starts(self):
        cases = [
            (["set", "kv", "999"], "kv accepts 40 to 150 kV"),
            (["set", "kv", "-5"], "kv accepts 40 to 150 kV"),
            (["set", "ma", "12.55"], "ma takes one decimal"),
            (["set", "kv", "eighty"], "is not a number"),
            (["set", "volts", "1"], "unknown value 'volts'"),
            (["set", "kv"], "missing arguments"),
            (["step", "ma", "+3"], "use -2, -1, +1 or +2"),
            (["status", "now"], "unexpected 'now'"),
            (["--device"], "--device needs a value"),
            (["status", "--device"], "--device needs a value"),
            (["--demo", "--device", "/dev/null", "status"], "exclude each other"),
            (["--host-dir", "/tmp", "--baud", "9600", "status"], "line settings apply"),
            (["--baud", "115200", "status"], "--baud takes 4800, 9600 or 19200"),
            (["frobnicate"], "unknown command 'frobnicate'"),
            (["help", "frobnicate"], "no command 'frobnicate'"),
            (["trace", "a", "b"], "unexpected 'b'"),
            (["monitor", "--for", "0"], "--for takes seconds"),
        ]
        for args, message in cases:
            # A library and simulator that do not exist: starting anything would exit 3.
            r = subprocess.run([KESTRO, "--library", "/nonexistent/libkestro.so", "--sim", "/nonexistent/sim", *args],
                               capture_output=True, text=True, env=self.env, timeout=30)
            self.assertEqual(r.returncode, 2, f"{args}: {r.stderr}")
            self.assertIn(message, r.stderr, args)
        self.assertFalse((self.root / "state").exists())  # no host directory was set up

    def test_connection_failures_exit_3_with_the_reason(self):
        r = self.kestro("--device", "/nonexistent/ttyUSB9", "status")
        self.assertEqual(r.returncode, 3)
        self.assertIn("cannot open /nonexistent/ttyUSB9: No such file or directory", r.stderr)
        r = self.kestro("--library", "/nonexistent/libkestro.so", "--demo", "status")
        self.assertEqual(r.returncode, 3)
        self.assertIn("cannot load /nonexistent/libkestro.so", r.stderr)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to run the tool as another user")
    def test_permission_denied_names_the_group(self):
        device = self.root / "ttyFAKE"
        device.write_text("")
        os.chmod(device, 0o660)
        os.chmod(self.root, 0o755)
        env = dict(self.env, XDG_STATE_HOME=str(self.root / "nobody-state"))
        os.makedirs(env["XDG_STATE_HOME"], mode=0o777)
        os.chmod(env["XDG_STATE_HOME"], 0o777)
        r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", KESTRO, "--device",
                            str(device), "status"], capture_output=True, text=True, env=env, timeout=30)
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertIn(f"cannot open {device}: Permission denied", r.stderr)
        self.assertIn("the user must be in the group owning the device, here root", r.stderr)


class Completion(unittest.TestCase):
    def test_bash_completion(self):
        script = Path(__file__).resolve().parents[2] / "tools/cli/kestro.bash-completion"
        cases = [(["kestro", "se"], "set session"), (["kestro", "--demo", "set", ""], "kv ma ms mas density fluo-kv fluo-ma fluo-pps"),
                 (["kestro", "step", "kv", ""], "-2 -1 +1 +2"), (["kestro", "--baud", ""], "4800 9600 19200"),
                 (["kestro", "--device", "/dev/null", "st"], "status step"), (["kestro", "trace", "--f"], "--follow"),
                 (["kestro", "help", "mon"], "monitor")]
        for words, expected in cases:
            line = " ".join(f"'{w}'" for w in words)
            r = subprocess.run(["bash", "-c", f'source "{script}"; COMP_WORDS=({line}); COMP_CWORD={len(words) - 1}; '
                                'COMPREPLY=(); _kestro; echo "${COMPREPLY[*]}"'], capture_output=True, text=True)
            self.assertEqual(r.stdout.strip(), expected, words)


class Trace(ToolTest):
    def test_follow_shows_lines_written_after_it_started(self):
        d = self.user_dir()
        trace = d / "Trace/20261210.txt"
        trace.write_bytes(b"2026-12-10 08:00:00:000   Generator Initialized !\r\n")
        p = subprocess.Popen([KESTRO, "--host-dir", str(d), "trace", str(trace), "--follow"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=self.env)
        try:
            fd = p.stdout.fileno()
            deadline = time.monotonic() + 20
            read_until(fd, b"Generator Initialized !", deadline)
            with open(trace, "ab") as f:
                f.write(b"2026-12-10 08:00:01:000   UI sent command            :  KV080\r\n")
                f.write(b"2026-12-10 08:00:01:010   Got command from GEN : ER203\r\n")
            seen = read_until(fd, b"allowed range]", deadline)
            self.assertIn(b"2026-12-10 08:00:01:000  > KV080\n", seen)
            self.assertIn(b"2026-12-10 08:00:01:010  < ER203   [error 203: kV outside the allowed range]", seen)
            p.send_signal(signal.SIGINT)
            self.assertEqual(p.wait(timeout=10), 0)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
            p.stdout.close()
            p.stderr.close()


if __name__ == "__main__":
    KESTRO, SIM = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
