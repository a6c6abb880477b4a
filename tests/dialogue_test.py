#!/usr/bin/env python3
"""Runs script-menu with piped input and compares its standard output byte for byte with
golden transcripts; usage: dialogue_test.py PROGRAM."""
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SHIPPED = os.path.join(HERE, "..", "scripts")
CHATTY = os.path.join(HERE, "fixtures", "chatty")
FAILING = os.path.join(HERE, "fixtures", "failing")
ABSENT = os.path.join(HERE, "fixtures", "absent")

MENU = ("\n********** Main Menu **********\n1: Display Multiplication Table\n2: Double a Value\n"
        "3: Exit\nEnter your selection (choose 1, 2, or 3): ")
INVALID = "\nInvalid Selection, try again.\n"
BYE = "Program Exited. Goodbye\n"
NOT_A_VALUE = "Please enter a whole number from -2147483648 to 2147483647.\n"
TABLE_OF_MINUS_12 = """\
-12 X  1 =  -12
-12 X  2 =  -24
-12 X  3 =  -36
-12 X  4 =  -48
-12 X  5 =  -60
-12 X  6 =  -72
-12 X  7 =  -84
-12 X  8 =  -96
-12 X  9 = -108
-12 X 10 = -120
"""


def double(value, result, script_output=""):
    return f"{MENU}Enter value: \n{script_output}{value} doubled is: {result}\n"


# (case, module folder, standard input, standard output, texts expected in standard error)
TRANSCRIPTS = [
    ("exit first, script never loaded", CHATTY, "3\n", MENU + BYE, ()),
    ("invalid choices", SHIPPED, "0\n-1\n4\n3\n", (MENU + INVALID) * 3 + MENU + BYE, ()),
    ("double", SHIPPED, "2\n5\n2\n-4\n3\n", double(5, 10) + double(-4, -8) + MENU + BYE, ()),
    ("choice and value on one line", SHIPPED, "2 7\n3\n", double(7, 14) + MENU + BYE, ()),
    ("table", SHIPPED, "1\n-12\n3\n", MENU + "Enter Value: \n" + TABLE_OF_MINUS_12 + MENU + BYE,
     ()),
    ("script output before the result line", CHATTY, "2\n6\n3\n",
     double(6, 12, "PythonCode loaded\ndoubling 6\n") + MENU + BYE, ()),
    ("bad selection tokens", SHIPPED, "abc 2\n99999999999\n- 2\n\x00\n3\n",
     (MENU + INVALID) * 4 + MENU + BYE, ()),
    ("bad value tokens", SHIPPED, "2\nx 1\n2147483648\n-2147483649\n5\n3\n",
     MENU + "Enter value: " + (NOT_A_VALUE + "Enter value: ") * 3 + "\n5 doubled is: 10\n" + MENU
     + BYE, ()),
    ("CR LF line ends", SHIPPED, "2\r\n5\r\n3\r\n", double(5, 10) + MENU + BYE, ()),
    ("end of input at the selection", CHATTY, "", MENU + "\n", ()),
    ("end of input at the value", CHATTY, "2\n", MENU + "Enter value: \n", ()),
    ("end of input inside a token", CHATTY, "2\n-", MENU + "Enter value: \n", ()),
    ("end of input after the last value", SHIPPED, "2\n5", double(5, 10) + MENU + "\n", ()),
    ("failing functions", FAILING, "1\n4\n2\n4\n3\n",
     MENU + "Enter Value: \n" + double(4, -1) + MENU + BYE,
     ("AttributeError: module 'PythonCode' has no attribute 'MultiplicationTable'",
      "ValueError: cannot double 4")),
    ("missing module", ABSENT, "2\n4\n3\n", double(4, -1) + MENU + BYE,
     ("ModuleNotFoundError: No module named 'PythonCode'",)),
]


def run(program, stdin, module):
    env = {name: value for name, value in os.environ.items() if not name.startswith("PYTHON")}
    env["PYTHONPATH"] = module
    return subprocess.run([program], input=stdin.encode(), capture_output=True, env=env,
                          timeout=60, check=False)


class Dialogue(unittest.TestCase):
    program = None

    def test_transcripts(self):
        for case, module, stdin, stdout, reports in TRANSCRIPTS:
            with self.subTest(case):
                done = run(self.program, stdin, module)
                self.assertEqual(done.stdout.decode(), stdout)
                self.assertEqual(done.returncode, 0)
                errors = done.stderr.decode()
                for report in reports:
                    self.assertIn(report, errors)
                if not reports:
                    self.assertEqual(errors, "")


if __name__ == "__main__":
    Dialogue.program = sys.argv.pop(1)
    unittest.main()
