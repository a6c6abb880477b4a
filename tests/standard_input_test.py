#!/usr/bin/env python3
"""The standard input that scripts get, in python3 on a pipe and on a regular file: a read of a line
leaves the rest for whoever reads next; usage: standard_input_test.py SOURCE."""
import itertools
import os
import subprocess
import sys
import tempfile
import unittest

# (case, standard input, a read as a script makes it, what it leaves for whoever reads next)
READS = [
    ("input() takes one line", b"one\ntwo\n", "input()", b"two\n"),
    ("a line of the buffer", b"one\ntwo\n", "sys.stdin.buffer.readline()", b"two\n"),
    ("a line in a for loop", b"one\ntwo\n", "next(iter(sys.stdin))", b"two\n"),
    ("a line that ends in CR LF", b"one\r\ntwo\n", "sys.stdin.readline()", b"two\n"),
    ("a read of all that remains", b"one\ntwo", "sys.stdin.read()", b""),
]


class StandardInput(unittest.TestCase):
    source = None

    def test_reads_take_only_what_they_return(self):
        for (case, given, read, left), from_file in itertools.product(READS, (False, True)):
            with self.subTest(case, stdin="file" if from_file else "pipe"):
                self.assertEqual(self.read(given, read, from_file), left)

    def read(self, given, read, from_file):
        """Runs `read` in python3 after the replacement; returns what it left."""
        script = f"exec(open({self.source!r}).read()); import sys; {read}"
        with tempfile.TemporaryFile() as stored:
            if from_file:
                stored.write(given)
                stored.seek(0)
                reader = stored.fileno()
            else:
                reader, writer = os.pipe()
                os.write(writer, given)
                os.close(writer)
            subprocess.run([sys.executable, "-I", "-c", script], stdin=reader, check=True,
                           timeout=30)
            left = os.read(reader, 1 << 16)
            if not from_file:
                os.close(reader)
        return left


if __name__ == "__main__":
    StandardInput.source = sys.argv.pop(1)
    unittest.main()
