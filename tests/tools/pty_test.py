#!/usr/bin/env python3
"""acmsim pty driven by pyserial and stty, as a person drives a USB serial
adapter: 115200 8N1, a 1 MiB loopback stream, a baud change the function
receives, pyserial's documented read time-outs, terminal settings made with
stty -F, and a program that dies with the port open.

Usage: pty_test.py ACMSIM. Exits 77 (skipped) without pyserial or stty."""

import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

try:
    import serial
except ImportError:
    print("pyserial is missing (Debian: python3-serial); skipped")
    sys.exit(77)

ACMSIM = None
PATIENCE = 10.0   # seconds for something acmsim should do promptly


class Acmsim:
    """acmsim pty running in the background, its output collected line by line."""

    def __init__(self, *args):
        self.process = subprocess.Popen([ACMSIM, "pty", *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self.changed = threading.Condition()
        self.collector = threading.Thread(target=self._collect, daemon=True)
        self.collector.start()
        match = self.wait_for(r"^(\S+) -> (/dev/pts/\d+)")
        if not match:
            self.stop()
            raise AssertionError("acmsim pty printed no terminal:\n" + self.output())
        self.port, self.terminal = match.group(1), match.group(2)

    def _collect(self):
        for line in self.process.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def output(self):
        with self.changed:
            return "\n".join(self.lines)

    def mark(self):
        """Where the output stands now; wait_for(..., since=mark) looks after it."""
        with self.changed:
            return len(self.lines)

    def wait_for(self, pattern, since=0, timeout=PATIENCE):
        deadline = time.monotonic() + timeout
        regex = re.compile(pattern)
        with self.changed:
            while True:
                for line in self.lines[since:]:
                    found = regex.search(line)
                    if found:
                        return found
                left = deadline - time.monotonic()
                if left <= 0 or self.process.poll() is not None:
                    return None
                self.changed.wait(left)

    def stop(self, how=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(how)
        try:
            status = self.process.wait(PATIENCE)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        self.collector.join(PATIENCE)
        self.process.stdout.close()
        return status


def read_exactly(port, n):
    """Reads until n bytes came or a read timed out with none."""
    got = bytearray()
    while len(got) < n:
        more = port.read(n - len(got))
        if not more:
            break
        got += more
    return bytes(got)


def drain(port):
    """Takes what is still on its way from an earlier session."""
    port.timeout = 0.2
    while port.read(65536):
        pass


class PtyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.acmsim = Acmsim()

    @classmethod
    def tearDownClass(cls):
        status = cls.acmsim.stop()
        output = cls.acmsim.output()
        assert status == 0, "acmsim pty ended with %s:\n%s" % (status, output)
        assert re.search(r", 0 verifier reports$", output, re.M), output

    def open(self, **settings):
        port = serial.Serial(self.acmsim.terminal, **settings)
        self.addCleanup(port.close)
        return port

    def test_a_1_mib_stream_comes_back_intact_at_115200_8n1(self):
        since = self.acmsim.mark()
        port = self.open(baudrate=115200, bytesize=8, parity="N", stopbits=1, timeout=2)
        self.assertTrue(self.acmsim.wait_for(r"^COM5: open$", since))
        sent = os.urandom(1 << 20)
        got = bytearray()
        reader = threading.Thread(target=lambda: got.extend(read_exactly(port, len(sent))))
        reader.start()
        port.write(sent)
        port.flush()
        reader.join(60)
        self.assertEqual(len(got), len(sent))
        self.assertTrue(bytes(got) == sent, "the stream came back altered")

    def test_the_function_receives_the_line_settings_and_a_baud_change(self):
        since = self.acmsim.mark()
        port = self.open(baudrate=115200, timeout=1)
        self.assertTrue(self.acmsim.wait_for(r"^COM5: SET_LINE_CODING 115200 8N1$", since), self.acmsim.output())
        since = self.acmsim.mark()
        port.baudrate = 57600
        self.assertTrue(self.acmsim.wait_for(r"^COM5: SET_LINE_CODING 57600 8N1$", since), self.acmsim.output())
        port.write(b"still there")
        self.assertEqual(read_exactly(port, 11), b"still there")

    def test_reads_time_out_as_pyserial_documents(self):
        port = self.open(baudrate=115200, timeout=0.3)
        drain(port)
        port.timeout = 0.3
        started = time.monotonic()
        self.assertEqual(port.read(10), b"", "nothing to read: empty after the time-out")
        self.assertGreaterEqual(time.monotonic() - started, 0.25)

        port.write(b"abc")
        started = time.monotonic()
        self.assertEqual(port.read(10), b"abc", "fewer bytes than asked for: what came, at the time-out")
        self.assertGreaterEqual(time.monotonic() - started, 0.25)

        port.timeout = 0
        self.assertEqual(port.read(10), b"", "timeout=0: at once with what is there")

        port.timeout = None
        port.write(b"0123456789")
        self.assertEqual(port.read(10), b"0123456789", "timeout=None: until all asked for came")

    @unittest.skipUnless(shutil.which("stty"), "no stty")
    def test_stty_settings_reach_the_function(self):
        since = self.acmsim.mark()
        subprocess.run(["stty", "-F", self.acmsim.terminal, "9600", "cstopb", "crtscts"], check=True)
        self.assertTrue(self.acmsim.wait_for(r"^COM5: SET_LINE_CODING 9600 8N2$", since), self.acmsim.output())
        self.assertTrue(self.acmsim.wait_for(r"^COM5: close$", since), "stty's close is a hangup")
        subprocess.run(["stty", "-F", self.acmsim.terminal, "115200", "-cstopb", "-crtscts"], check=True)

    def test_a_program_that_dies_with_the_port_open_leaves_the_machine_healthy(self):
        since = self.acmsim.mark()
        child = subprocess.Popen([sys.executable, "-c",
                                  "import serial, sys, time\n"
                                  "p = serial.Serial(sys.argv[1], 115200)\n"
                                  "p.write(bytes(range(256)) * 256)\n"
                                  "time.sleep(30)\n",
                                  self.acmsim.terminal])
        self.assertTrue(self.acmsim.wait_for(r"^COM5: open$", since))
        time.sleep(0.2)
        child.kill()
        child.wait()
        self.assertTrue(self.acmsim.wait_for(r"^COM5: close$", since), "the death was a hangup")

        port = self.open(baudrate=115200, timeout=2)
        drain(port)
        port.timeout = 2
        sent = os.urandom(4096)
        port.write(sent)
        self.assertEqual(read_exactly(port, len(sent)), sent)


class PtyExitTest(unittest.TestCase):
    def test_sigint_closes_the_ports_and_removes_the_links(self):
        link = "/tmp/acmsim-pty-test-%d" % os.getpid()
        acmsim = Acmsim("--function", "port=COM7,behaviour=loopback", "--link", link)
        self.assertEqual(acmsim.port, "COM7")
        self.assertEqual(os.path.realpath(link), acmsim.terminal)
        with serial.Serial(link, 115200, timeout=2) as port:
            port.write(b"ping")
            self.assertEqual(read_exactly(port, 4), b"ping")
            self.assertEqual(acmsim.stop(signal.SIGINT), 0, acmsim.output())
        self.assertFalse(os.path.lexists(link))
        self.assertIn("COM7: close", acmsim.output())


if __name__ == "__main__":
    ACMSIM = sys.argv.pop(1)
    unittest.main(verbosity=2)
