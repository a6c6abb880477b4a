#!/usr/bin/env python3
"""script-menu under hostile conditions; usage: robustness_test.py PROGRAM [TestClass ...]."""
import os
import pty
import random
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from harness import MENU, SHIPPED, environment, fixture, run

RESULT_LINE = re.compile(rb"^(-?\d+) doubled is: (-?\d+)$", re.MULTILINE)
SANITIZED = os.environ.get("SCRIPT_MENU_SANITIZED") == "1"


def doubled(value):
    return value * 2 if -2**31 <= value * 2 < 2**31 else -1


class BrokenPipe(unittest.TestCase):
    def test_closed_reader_ends_the_program(self):
        for choice in (b"1", b"2"):
            with self.subTest(choice=choice), tempfile.TemporaryFile() as stdin:
                stdin.write((choice + b"\n") * 50_000)  # far more actions than it could run
                stdin.seek(0)
                menu = subprocess.Popen([Program], stdin=stdin, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, env=environment(SHIPPED))
                menu.stdout.read(300)
                menu.stdout.close()
                self.assertNotEqual(menu.wait(timeout=30), 0)


class Terminal(unittest.TestCase):
    """The program on a pseudo-terminal, as a person at a console sees and drives it."""

    def start(self, module):
        pid, self.terminal = pty.fork()
        if pid == 0:
            os.execve(Program, [Program], environment(module))
        self.pid = pid
        self.screen = b""

    def await_text(self, text, seconds=30):
        deadline = time.monotonic() + seconds
        while text.encode() not in self.screen:
            self.assertLess(time.monotonic(), deadline, f"no {text!r} on {self.screen[-500:]!r}")
            self.screen += os.read(self.terminal, 65536)
        shown, self.screen = self.screen.split(text.encode(), 1)
        return shown.decode()

    def finish(self):
        _, status = os.waitpid(self.pid, 0)
        os.close(self.terminal)
        return status

    def test_prompts_show_before_the_answer(self):
        self.start(SHIPPED)
        self.await_text(MENU.replace("\n", "\r\n"))
        os.write(self.terminal, b"1\n")
        self.await_text("Enter Value: ")
        os.write(self.terminal, b"7\n")
        table = self.await_text(MENU.replace("\n", "\r\n"))
        self.assertIn("7 X 10 = 70\r\n", table)
        os.write(self.terminal, b"3\n")
        self.await_text("Program Exited. Goodbye\r\n")
        self.assertEqual(self.finish(), 0)

    def test_ctrl_c_interrupts_the_script_then_ends_the_program_at_a_prompt(self):
        self.start(fixture("slow"))
        self.await_text("(choose 1, 2, or 3): ")
        os.write(self.terminal, b"2 60\n")
        self.await_text("sleeping")
        os.write(self.terminal, b"\x03")
        report = self.await_text("60 doubled is: -1\r\n")
        self.assertIn("KeyboardInterrupt", report)
        self.await_text("(choose 1, 2, or 3): ")
        os.write(self.terminal, b"\x03")
        status = self.finish()
        self.assertTrue(os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGINT, status)


def random_stream(rng):
    """Valid actions, bad tokens and odd white space, cut off at a random point half the time."""
    whitespace = [b" ", b"\n", b"\r\n", b"\t", b"\n\n", b" \v\f "]
    tokens = [b"abc", b"-", b"+", b"9" * 40, b"\x00\xff", b"0x1f", b"4", b"-7", b"0"]
    pieces = []
    for _ in range(rng.randint(1, 5)):
        if rng.random() < 0.55:
            value = rng.choice([rng.randint(-1000, 1000), rng.randint(-2**31, 2**31 - 1)])
            pieces += [rng.choice([b"1", b"2", b"2"]), str(value).encode()]
        else:
            pieces.append(rng.choice(tokens))
    stream = b"".join(b"%s%s" % (piece, rng.choice(whitespace)) for piece in pieces)
    if rng.random() < 0.5:
        return stream[:rng.randint(0, len(stream))]
    return stream + b"3\n"


class Stress(unittest.TestCase):
    SEED = 20261208
    STREAMS = 300

    def test_generated_streams(self):
        rng = random.Random(self.SEED)
        for number in range(self.STREAMS):
            stream = random_stream(rng)
            with self.subTest(seed=self.SEED, stream=number, input=stream):
                done = run(Program, stream, timeout=60)
                self.assertEqual(done.returncode, 0, done.stderr[-2000:])
                for value, result in RESULT_LINE.findall(done.stdout):
                    self.assertEqual(int(result), doubled(int(value)))


def peak_memory_kib(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        return int(re.search(r"VmHWM:\s+(\d+) kB", status.read()).group(1))


class Soak(unittest.TestCase):
    WARM = 20
    ACTIONS = 2000

    def test_thousands_of_actions_in_one_run(self):
        rng = random.Random(20261208)
        values = [rng.choice([rng.randint(-999, 999), rng.randint(-2**31, 2**31 - 1)])
                  for _ in range(self.ACTIONS)]
        menu = subprocess.Popen([Program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, env=environment(SHIPPED))
        results = []
        peaks = []
        for batch in (values[:self.WARM], values[self.WARM:]):
            menu.stdin.write(b"".join(b"2 %d\n" % value for value in batch))
            menu.stdin.flush()
            wanted = len(results) + len(batch)
            while len(results) < wanted and (line := menu.stdout.readline()):
                results += RESULT_LINE.findall(line)
            peaks.append(peak_memory_kib(menu.pid))
        menu.communicate(b"3\n", timeout=60)
        self.assertEqual(menu.returncode, 0)
        self.assertEqual([(int(v), int(r)) for v, r in results], [(v, doubled(v)) for v in values])
        print(f"{self.ACTIONS} actions; peak memory {peaks[0]} KiB after {self.WARM},"
              f" {peaks[1]} KiB after {self.ACTIONS}", file=sys.stderr)
        if not SANITIZED:  # the sanitizers hold freed memory back on purpose
            self.assertLessEqual(peaks[1] - peaks[0], 1024)


class Memcheck(unittest.TestCase):
    """Every kind of script failure under valgrind, with the interpreter allocating by malloc."""

    DIALOGUES = [("failing", b"1 4\n2 1\n2 2\n2 3\n2 4\n2 5\n3\n"), ("chatty", b"1 4\n2 6\n3\n"),
                 ("absent", b"2 4\n3\n"), ("broken_syntax", b"2 4\n3\n"),
                 ("raising_import", b"2 4\n3\n")]

    def test_no_errors_and_no_leaks_through_the_program(self):
        suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)), "valgrind.supp")
        for module, stdin in self.DIALOGUES:
            with self.subTest(module), tempfile.NamedTemporaryFile("r") as log:
                env = environment(fixture(module))
                env["PYTHONMALLOC"] = "malloc"
                subprocess.run(["valgrind", "--leak-check=full", "--errors-for-leak-kinds=none",
                                "--show-leak-kinds=definite,indirect,possible",
                                f"--suppressions={suppressions}", f"--log-file={log.name}", Program],
                               input=stdin, env=env, capture_output=True, timeout=300, check=True)
                report = log.read()
                self.assertIn("ERROR SUMMARY: 0 errors", report, report)
                for record in re.split(r"\n==\d+== \n", report):
                    if "lost in loss record" in record:
                        self.assertNotRegex(record, r"main\.cpp|script_bridge\.cpp", record)


if __name__ == "__main__":
    Program = sys.argv.pop(1)
    unittest.main()
