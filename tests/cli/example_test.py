#!/usr/bin/env python3
"""Runs one example host against the simulator as its README says: a host directory from
`kestro init`, kestro-sim on a linked pseudo-terminal, the host started, an exposure at the
simulator once the host waits for one. Usage: example_test.py KESTRO KESTRO_SIM HOST-COMMAND..."""

import os
import select
import subprocess
import sys
import tempfile
import time


def lines_until(stream, pattern, deadline, seen):
    fd = stream.fileno()
    buf = b""
    while time.monotonic() < deadline:
        r, _, _ = select.select([fd], [], [], 0.2)
        if not r:
            continue
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        buf += chunk
        seen.append(chunk.decode(errors="replace"))
        if pattern in buf:
            return True
    return False


def main(kestro, sim, host):
    with tempfile.TemporaryDirectory(prefix="kestro-example-") as tmp:
        env = dict(os.environ, XDG_STATE_HOME=os.path.join(tmp, "state"))
        hostdir = os.path.join(tmp, "host")
        subprocess.run([kestro, "init", hostdir], check=True, env=env, stdout=subprocess.DEVNULL)
        tty = os.path.join(tmp, "tty")
        generator = subprocess.Popen([sim, "--link", tty, "--quiet"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, env=env)
        seen = []
        try:
            deadline = time.monotonic() + 30
            if not lines_until(generator.stdout, b"PTY ", deadline, []):
                raise SystemExit("the simulator announced no pseudo-terminal")
            env.update(KESTRO_HOST_DIR=hostdir, KESTRO_COM1=tty)
            h = subprocess.Popen(host, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
            try:
                if not lines_until(h.stdout, b"waiting for an exposure", deadline, seen):
                    raise SystemExit("the host did not get ready:\n" + "".join(seen))
                generator.stdin.write(b"expose 100\n")
                generator.stdin.flush()
                lines_until(h.stdout, b"exposure done", deadline, seen)
                rc = h.wait(timeout=max(1, deadline - time.monotonic()))
                seen.append(h.stdout.read().decode(errors="replace"))
            finally:
                if h.poll() is None:
                    h.kill()
                    h.wait()
            out = "".join(seen)
            print(out)
            for expected in ("set: 80 kV, 20.0 mA, 100.0 ms", "notification (1, 2): exposure started",
                             "notification (2, 1): prepare released", "exposure done: "):
                if expected not in out:
                    raise SystemExit(f"missing {expected!r}")
            if rc != 0:
                raise SystemExit(f"the host exited {rc}")
        finally:
            try:
                generator.stdin.write(b"quit\n")
                generator.stdin.close()
            except OSError:
                pass
            try:
                generator.wait(timeout=10)
            except subprocess.TimeoutExpired:
                generator.kill()
                generator.wait()
    print("example ok")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3:])
