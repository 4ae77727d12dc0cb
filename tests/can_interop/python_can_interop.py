#!/usr/bin/env python3
"""kestro-sim's socketcand face driven by python-can's socketcand client.

python-can is a third-party client of the socketcand protocol: when it can open the bus,
send frames of identifier 0x550 and read the generator's answers in frames of identifier
8, the face speaks socketcand as others do. Usage: python_can_interop.py KESTRO_SIM
"""
import subprocess
import sys
import time

try:
    import can
except ImportError:
    print("SKIPPED: python3-can is not installed (scripts/install-deps.sh installs it)")
    sys.exit(77)

ETX = 0x03


def checksum(data):
    return sum(data) & 0xFF


def command(text):
    body = text.encode("ascii") + bytes([ETX])
    return body + bytes([checksum(body)])


class Reader:
    """Reads the generator's units the way the library does: each starts with a frame."""

    def __init__(self, bus):
        self.bus = bus

    def frame(self, timeout=2.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            msg = self.bus.recv(timeout=0.1)
            if msg is None:
                continue
            if msg.arbitration_id != 8:
                raise AssertionError(f"frame of identifier {msg.arbitration_id:#x} on the bus")
            if len(msg.data) != 8:
                raise AssertionError(f"frame of {len(msg.data)} data bytes, 8 expected")
            return bytes(msg.data)
        raise AssertionError("no frame from the generator")

    def message(self):
        data = bytearray(self.frame())
        # The text runs to its ETX; the checksum follows, in the next frame when the ETX
        # ended a frame.
        while ETX not in data:
            data += self.frame()
        end = data.index(ETX)
        if end + 1 >= len(data):
            data += self.frame()
        text, check = bytes(data[:end + 1]), data[end + 1]
        assert checksum(text) == check, f"bad checksum in {bytes(data)!r}"
        return text[:-1].decode("ascii")

    def data_bag(self):
        data = bytearray(self.frame())
        assert data[0] == 0x01, f"not a data-bag reply: {bytes(data)!r}"
        length = data[2] * 256 + data[3]
        while len(data) < length + 5:
            data += self.frame()
        reply = bytes(data[:length + 4])
        assert checksum(reply) == data[length + 4], f"bad data-bag checksum in {bytes(data)!r}"
        return reply


def main():
    sim = subprocess.Popen([sys.argv[1], "--can", "socketcand:0", "--quiet"], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, text=True)
    try:
        first = sim.stdout.readline().split()
        assert first[:1] == ["CAN"], f"unexpected first line {first}"
        _, host, port, channel = first[1].split(":")
        bus = can.Bus(interface="socketcand", host=host, port=int(port), channel=channel)
        reader = Reader(bus)

        def send(stream):
            for at in range(0, len(stream), 8):
                bus.send(can.Message(arbitration_id=0x550, is_extended_id=False, data=stream[at:at + 8]))

        # A set: "KV080", ETX, checksum in one frame of length 7; the answer in one frame.
        send(command("KV080"))
        assert reader.message() == "KV080"

        # A query of 17 bytes in three frames (8, 8, 1): one answer of several frames.
        send(command("KV? MA? MS? MX? "[:15]))
        answer = reader.message()
        assert [item[:2] for item in answer.split()] == ["KV", "MA", "MS", "MX"], answer

        # A data-bag read (Generator Time): request 01 01 00 01 01 + checksum; the reply
        # spans two frames.
        request = bytes([0x01, 0x01, 0x00, 0x01, 0x01])
        send(request + bytes([checksum(request)]))
        reply = reader.data_bag()
        assert reply[:4] == bytes([0x01, 0x01, 0x00, 0x07]), reply

        # The simulator saw the library's stream as sent.
        sim.stdin.write("status\n")
        sim.stdin.flush()
        status = sim.stdout.readline()
        assert status.startswith("OK"), status
        sim.stdin.write("can status\n")
        sim.stdin.flush()
        can_status = sim.stdout.readline()
        assert can_status.startswith("OK bus socketcand:") and " bad 0 " in can_status, can_status
        bus.shutdown()
        print("python-can socketcand client: session passed;", can_status.strip())
        return 0
    finally:
        sim.stdin.close()
        try:
            sim.wait(timeout=5)
        except subprocess.TimeoutExpired:
            sim.kill()


if __name__ == "__main__":
    sys.exit(main())
