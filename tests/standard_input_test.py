#!/usr/bin/env python3
"""The standard input that scripts get, in python3 on a pipe and on a regular file: a read of a line
leaves the rest for whoever reads next; usage: standard_input_test.py SOURCE."""
import itertools
import os
import subprocess
import sys
import tempfile
import unittest

# Waits in a read on a pipe of its own on descriptor 0 until an interrupt comes, and prints its
# traceback.
INTERRUPTED = ("os.dup2(os.pipe()[0], 0); signal.signal(signal.SIGALRM, signal.default_int_handler)"
               "\ntry: signal.setitimer(signal.ITIMER_REAL, 0.1); {}\n"
               "except KeyboardInterrupt: traceback.print_exc()")

# (case, standard input, a read as a script makes it, what it leaves for whoever reads next, and
# optionally whether the menu said that the LF of a CR LF is to be dropped)
READS = [
    ("input() takes one line", b"one\ntwo\n", "input()", b"two\n"),
    ("a read of all that remains", b"one\ntwo", "sys.stdin.read()", b""),
    ("raw reads into a buffer of ints", b"a line\ntwo\n",
     "line = b''\nwhile not line.endswith(b'\\n'): ints = array.array('i', bytes(400)); "
     "got = sys.stdin.buffer.raw.readinto(ints); line += ints.tobytes()[:got]\n"
     "assert line == b'a line\\n'", b"two\n"),
    ("a line of the input, one from a pipe the script puts on descriptor 0, one of the input",
     b"one\ntwo\nthree\n",
     "assert input() == 'one'; saved = os.dup(0); mine, theirs = os.pipe(); "
     "os.write(theirs, b'mine\\nmore\\n'); os.dup2(mine, 0); assert input() == 'mine'; "
     "os.dup2(saved, 0); assert input() == 'two'", b"three\n"),
    ("an interrupt while input() waits", b"one\n", INTERRUPTED.format("input()"), b"one\n"),
    ("an interrupt while a read of all waits", b"one\n", INTERRUPTED.format("sys.stdin.read()"),
     b"one\n"),
    ("the LF to drop dropped", b"\none\ntwo\n", "assert input() == 'one'", b"two\n", True),
    ("the LF to drop: another first byte kept", b"one\ntwo\n", "assert input() == 'one'",
     b"two\n", True),
    ("the LF to drop dropped before a read of all", b"\none",
     "assert sys.stdin.read() == 'one'", b"", True),
]


class StandardInput(unittest.TestCase):
    source = None

    def test_reads_take_only_what_they_return(self):
        for (case, given, read, left, *drop), from_file in itertools.product(READS, (False, True)):
            with self.subTest(case, stdin="file" if from_file else "pipe"):
                self.assertEqual(self.read(given, read, from_file, *drop), left)

    def read(self, given, read, from_file, line_feed_to_drop=False):
        """Runs `read` in python3 after the replacement, installed as the program installs it;
        returns what it left. No traceback shows a frame of the replacement's."""
        script = (f"exec(compile(open({self.source!r}).read(), '<script-menu stdin>', 'exec'), "
                  f"{{'line_feed_to_drop': {line_feed_to_drop}}}); "
                  f"import array, os, signal, sys, traceback; {read}")
        with tempfile.TemporaryFile() as stored:
            if from_file:
                stored.write(given)
                stored.seek(0)
                reader = stored.fileno()
            else:
                reader, writer = os.pipe()
                os.write(writer, given)
                os.close(writer)
            done = subprocess.run([sys.executable, "-I", "-c", script], stdin=reader, check=True,
                                  stderr=subprocess.PIPE, timeout=30)
            if sys.version_info >= (3, 11):  # before, a re-raise keeps the frames it passed
                self.assertNotIn(b"<script-menu stdin>", done.stderr)
            left = os.read(reader, 1 << 16)
            if not from_file:
                os.close(reader)
        return left


if __name__ == "__main__":
    StandardInput.source = sys.argv.pop(1)
    unittest.main()
