#!/usr/bin/env python3
"""Runs script-menu with piped or redirected input and compares its standard output byte for byte
with golden transcripts; usage: dialogue_test.py PROGRAM."""
import glob
import itertools
import os
import pickle
import shutil
import subprocess
import sys
import tempfile
import unittest

from harness import (BYE, INVALID, MENU, NOT_A_VALUE, SHIPPED, environment, fixture, run,
                     without_signal_notices)

ASKING = fixture("asking")
CHATTY = fixture("chatty")
FAILING = fixture("failing")
READING = fixture("reading")
TAMPERING = fixture("tampering")
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


def asked_again(times):
    return "Enter value: " + (NOT_A_VALUE + "Enter value: ") * times


ASKED = MENU + "Enter Value: \n"
PICKLED = pickle.dumps([1, "two", 3.5]).decode("latin-1")

# (case, module folder, standard input, standard output, texts expected in standard error); each
# runs with standard input from a pipe and from a regular file.
TRANSCRIPTS = [
    ("exit first, script never loaded", CHATTY, "3\n", MENU + BYE, ()),
    ("invalid choices", SHIPPED, "0\n-1\n4\n3\n", (MENU + INVALID) * 3 + MENU + BYE, ()),
    ("double", SHIPPED, "2\n5\n2\n-4\n3\n", double(5, 10) + double(-4, -8) + MENU + BYE, ()),
    ("choice and value on one line", SHIPPED, "2 7\n3\n", double(7, 14) + MENU + BYE, ()),
    ("table", SHIPPED, "1\n-12\n3\n", MENU + "Enter Value: \n" + TABLE_OF_MINUS_12 + MENU + BYE,
     ()),
    ("script output before the result line", CHATTY, "2\n6\n3\n",
     double(6, 12, "PythonCode loaded\ndoubling 6\n") + MENU + BYE, ()),
    ("bad selection tokens", SHIPPED, "abc 2\n99999999999\n- 2\n+\n3\n",
     (MENU + INVALID) * 4 + MENU + BYE, ()),
    ("selections that are more than a number", CHATTY, "3.5\n3abc\n1e3 2\n0x10\n12,5 2\n3\n",
     (MENU + INVALID) * 5 + MENU + BYE, ()),
    ("values that are more than a number", CHATTY, "2\n2.5\n3abc\n1e3\n0x10\n12,5 6\n+7\n3\n",
     MENU + asked_again(5) + "\nPythonCode loaded\ndoubling 7\n7 doubled is: 14\n" + MENU + BYE, ()),
    ("binary selection", SHIPPED, "\x00\x01\xff\xfe 2\n3\n", MENU + INVALID + MENU + BYE, ()),
    ("a thousand digits", SHIPPED, "9" * 1000 + "\n2\n" + "1" * 1000 + " 4\n4\n3\n",
     MENU + INVALID + MENU + asked_again(1) + "\n4 doubled is: 8\n" + MENU + BYE, ()),
    ("a megabyte-long line", SHIPPED, "2\n" + "x" * 2**20 + "\n5\n3\n",
     MENU + asked_again(1) + "\n5 doubled is: 10\n" + MENU + BYE, ()),
    ("bad value tokens", SHIPPED, "2\nx 1\n2147483648\n-2147483649\n-\n5-\n5\n3\n",
     MENU + asked_again(5) + "\n5 doubled is: 10\n" + MENU + BYE, ()),
    ("value bounds", SHIPPED, "2\n-2147483648\n2\n2147483647\n3\n",
     double(-2147483648, -1) + double(2147483647, -1) + MENU + BYE, ("OverflowError",)),
    ("CR LF line ends", SHIPPED, "2\r\n5\r\n3\r\n", double(5, 10) + MENU + BYE, ()),
    ("CR line ends, the rest of a line discarded", SHIPPED, "x\r2 5\r3\r",
     MENU + INVALID + double(5, 10) + MENU + BYE, ()),
    ("end of input at the selection", CHATTY, "", MENU + "\n", ()),
    ("end of input at the value", CHATTY, "2\n", MENU + "Enter value: \n", ()),
    ("end of input inside a token", CHATTY, "2\n-", MENU + asked_again(1) + "\n", ()),
    ("end of input after a bad token", CHATTY, "2\nabc", MENU + asked_again(1) + "\n", ()),
    ("end of input after the last value", SHIPPED, "2\n5", double(5, 10) + MENU + "\n", ()),
    ("function missing", CHATTY, "1\n4\n3\n",
     MENU + "Enter Value: \nPythonCode loaded\n" + MENU + BYE,
     ("AttributeError: module 'PythonCode' has no attribute 'MultiplicationTable'",)),
    ("failing functions", FAILING, "1\n4\n2\n1\n2\n2\n2\n3\n2\n4\n3\n",
     MENU + "Enter Value: \n" + "".join(double(v, -1) for v in (1, 2, 3, 4)) + MENU + BYE,
     ("TypeError: PythonCode.MultiplicationTable is not callable", "ValueError: cannot double 1",
      "TypeError: 'str' object cannot be interpreted as an integer", "OverflowError")),
    ("an extension module in every action", fixture("zoneinfo"), "2 1\n2 2\n2 3\n3\n",
     double(1, 2) + double(2, 4) + double(3, 6) + MENU + BYE, ()),
    ("a script turns the fault handler off for its own action", fixture("crashing"),
     "1 1\n1 2\n3\n", ASKED * 2 + MENU + BYE,
     ("fault handler off\nscript-menu: the script's interpreter was killed by signal 11 "
      "(Segmentation fault)\nFatal Python error: Segmentation fault\n",)),
    ("answers to a script that asks", ASKING, "1 7\n2\n1 3\n1\n3\n",
     ASKED + "rows? 7 X 1 = 7\n7 X 2 = 14\n" + ASKED + "rows? 3 X 1 = 3\n" + MENU + BYE, ()),
    ("answers to a script that asks, in CR LF lines", ASKING, "1 7\r\n2\r\n1 3\r\n1\r\n3\r\n",
     ASKED + "rows? 7 X 1 = 7\n7 X 2 = 14\n" + ASKED + "rows? 3 X 1 = 3\n" + MENU + BYE, ()),
    ("a CR alone ends the value, and a script reads the next line", ASKING, "1 7\r2\n3\n",
     ASKED + "rows? 7 X 1 = 7\n7 X 2 = 14\n" + MENU + BYE, ()),
    ("a value's lone CR, then one's LF: only the first leaves an LF due", READING,
     "1 1\ryes\n1 1\n\nno\n3\n",
     ASKED + "answer? 'yes'\n" + ASKED + "answer? ''\n" + MENU + INVALID + MENU + BYE, ()),
    ("an answer, then a script reads all that remains", READING,
     "1 1\nyes\n1 6\nraw\n1 2\n" + "x\r\n" * 10**5,
     ASKED + "answer? 'yes'\n" + ASKED + "b'raw\\n'\n" + ASKED + "300000 characters\n" + MENU
     + "\n", ()),
    ("a pickle, then a script reads all bytes that remain", READING,
     "1 4\n" + PICKLED + "\n1 3\n" + "\x00\xff\r\n" * 10**5,
     ASKED + "[1, 'two', 3.5]\n" + ASKED + "400000 bytes\n" + MENU + "\n", ()),
    ("a module of several hundred lines in every action", fixture("large"), "2 3\n1 -12\n2 4\n3\n",
     double(3, 6) + ASKED + TABLE_OF_MINUS_12 + double(4, 8) + MENU + BYE, ()),
    ("module missing", fixture("absent"), "2\n4\n3\n", double(4, -1) + MENU + BYE,
     ("ModuleNotFoundError: No module named 'PythonCode'",)),
]


def pyenv_interpreters():
    """pyenv's python3 of each version, where pyenv is installed."""
    root = os.environ.get("PYENV_ROOT")
    if root is None and subprocess.run(["sh", "-c", "command -v pyenv"], capture_output=True,
                                       check=False).returncode == 0:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True,
                              check=True).stdout.strip()
    return sorted(glob.glob(os.path.join(root, "versions", "*", "bin", "python3"))) if root else []


def interpreter_cases(folder):
    """(case, module folder, environment settings, standard input, standard output, exit status,
    texts expected in standard error) for the interpreter a script gets, with what they need made
    in `folder`: whatever python3 comes first on PATH, the linked installation's own runs it (its
    version and standard library are the test interpreter's), or a virtual environment of it. They
    run in the environment's bin folder."""
    path = os.environ["PATH"]
    linked = f"{MENU}Enter Value: \n{sys.version}\n{os.__file__}\n"
    stub = os.path.join(folder, "stub", "python3")
    os.makedirs(os.path.dirname(stub))
    not_a_program = os.path.join(folder, "folder")
    os.makedirs(os.path.join(not_a_program, "python3"))
    with open(stub, "w", encoding="utf-8") as script:
        script.write("#!/bin/sh\necho another python3\n")
    os.chmod(stub, 0o755)
    unrunnable = os.path.join(folder, "unrunnable")
    os.makedirs(unrunnable)
    shutil.copy(stub, unrunnable)
    os.chmod(os.path.join(unrunnable, "python3"), 0o644)
    other = os.path.join(folder, "other")  # a virtual environment of the stub's
    shutil.copytree(os.path.dirname(stub), os.path.join(other, "bin"))
    with open(os.path.join(other, "pyvenv.cfg"), "w", encoding="utf-8") as configuration:
        configuration.write(f"home = {os.path.dirname(sys.executable)}\n")
    os.makedirs(os.path.join(folder, "empty"))
    environment_folder = os.path.join(folder, "environment")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", environment_folder], check=True)
    packages = subprocess.run([os.path.join(environment_folder, "bin", "python3"), "-c",
                               "import sysconfig; print(sysconfig.get_path('purelib'))"],
                              capture_output=True, text=True, check=True).stdout.strip()
    with open(os.path.join(packages, "in_environment.py"), "w", encoding="utf-8") as module:
        module.write("FACTOR = 7\n")
    user_base = os.path.join(folder, "user")
    user_site = subprocess.run(
        [sys.executable, "-c", "import site; print(site.getusersitepackages())"],
        capture_output=True, text=True, check=True,
        env={**environment(SHIPPED), "PYTHONUSERBASE": user_base}).stdout.strip()
    os.makedirs(user_site)
    with open(os.path.join(user_site, "imports.pth"), "w", encoding="utf-8") as pth:
        pth.write("import from_pth\n")
    with open(os.path.join(user_site, "from_pth.py"), "w", encoding="utf-8") as module:
        module.write("print('user site .pth ran')\n")
    interpreter = fixture("interpreter")
    encoding = {"PYTHONIOENCODING": "ascii:surrogateescape"}
    described = subprocess.run(
        [sys.executable, "-B", "-c", "import PythonCode; PythonCode.MultiplicationTable(5)"],
        input="naïve\r\n".encode(), capture_output=True, env={**environment(READING), **encoding},
        check=True).stdout.decode()
    return [
        ("a shell script named python3 first on PATH", interpreter,
         {"PATH": os.path.dirname(stub) + ":" + path}, "1 1\n3\n", linked + MENU + BYE, 0, ()),
        ("no python3 on PATH", interpreter, {"PATH": os.path.join(folder, "empty")}, "1 1\n3\n",
         linked + MENU + BYE, 0, ()),
        *((f"{python} first on PATH", interpreter, {"PATH": os.path.dirname(python) + ":" + path},
           "1 1\n3\n", linked + MENU + BYE, 0, ()) for python in pyenv_interpreters()),
        ("a virtual environment of the linked interpreter first on PATH", interpreter,
         {"PATH": os.path.join(environment_folder, "bin") + ":" + path}, "1 1\n2 3\n3\n",
         linked + double(3, 21) + MENU + BYE, 0, ()),
        ("a virtual environment of the linked interpreter in the working directory, which a "
         "trailing colon in PATH names", interpreter, {"PATH": os.path.join(folder, "empty") + ":"},
         "1 1\n2 3\n3\n", linked + double(3, 21) + MENU + BYE, 0, ()),
        ("a folder named python3 before a virtual environment on PATH", interpreter,
         {"PATH": f"{not_a_program}:{environment_folder}/bin:{path}"}, "1 1\n2 3\n3\n",
         linked + double(3, 21) + MENU + BYE, 0, ()),
        ("a python3 that cannot be run before a virtual environment on PATH", interpreter,
         {"PATH": f"{unrunnable}:{environment_folder}/bin:{path}"}, "1 1\n2 3\n3\n",
         linked + double(3, 21) + MENU + BYE, 0, ()),
        ("a virtual environment of another interpreter first on PATH", interpreter,
         {"PATH": os.path.join(other, "bin") + ":" + path}, "1 1\n3\n", linked + MENU + BYE, 0, ()),
        ("a .pth file in the user's site folder", SHIPPED, {"PYTHONUSERBASE": user_base},
         "2 5\n3\n", double(5, 10, "user site .pth ran\n") + MENU + BYE, 0, ()),
        ("an interpreter that cannot start", SHIPPED, {"PYTHONHOME": "/nonexistent"}, "2 4\n3\n",
         double(4, -1) + MENU + BYE, 0,
         ("script-menu: the script's interpreter could not start: ",)),
        ("sys.stdin as python3 makes it, PYTHONIOENCODING and all", READING, encoding,
         "1 5\nnaïve\r\n3\n", ASKED + described + MENU + BYE, 0, ()),
        ("a sys.stdin that a sitecustomize set is left alone", READING,
         {"PYTHONPATH": fixture("stdin_site") + os.pathsep + READING}, "1 1\n3\n",
         ASKED + "answer? 'from sitecustomize'\n" + MENU + BYE, 0, ()),
        ("PYTHONINSPECT set, and the script exits", fixture("started"), {"PYTHONINSPECT": "1"},
         "1 3\n3\n", MENU + "Enter Value: \n", 3, ()),
        ("a sitecustomize that exits while the interpreter starts", fixture("exiting_site"), {},
         "2 4\n3\n", double(4, -1) + MENU + BYE, 0,
         ("\nSystemExit: 3\nscript-menu: the script's interpreter could not start: ",)),
    ]


# (what the first action leaves changed, MultiplicationTable's number for it in TAMPERING)
TAMPERINGS = [("working directory", 1), ("environment", 2), ("SIGINT ignored", 3),
              ("SIGCHLD ignored", 4), ("leaked descriptors", 5), ("non-blocking output", 6),
              ("umask", 7), ("locale", 8), ("running thread", 9)]


def process_state(done):
    return [line for line in done.stdout.decode().splitlines() if line.startswith("state ")]


class Dialogue(unittest.TestCase):
    program = None

    def test_transcripts(self):
        for (case, module, stdin, stdout, reports), from_file in itertools.product(TRANSCRIPTS,
                                                                                  (False, True)):
            with self.subTest(case, stdin="file" if from_file else "pipe"):
                done = run(self.program, stdin.encode("latin-1"), module, from_file=from_file)
                self.assertEqual(done.stdout.decode(), stdout)
                self.assertEqual(done.returncode, 0)
                errors = without_signal_notices(done.stderr.decode())  # an emulator's, for one
                for report in reports:
                    self.assertIn(report, errors)
                if not reports:
                    self.assertEqual(errors, "")

    def test_interpreters(self):
        with tempfile.TemporaryDirectory() as folder:
            for case, module, settings, stdin, stdout, status, reports in interpreter_cases(folder):
                with self.subTest(case):
                    done = run(self.program, stdin.encode(), module, settings=settings,
                               cwd=os.path.join(folder, "environment", "bin"))
                    self.assertEqual((done.stdout.decode(), done.returncode), (stdout, status))
                    errors = done.stderr.decode()
                    for report in reports:
                        self.assertEqual(errors.count(report), 1, errors)
                    if not reports:
                        self.assertEqual(errors, "")
                    written = [root for root, _, _ in os.walk(folder) if "__pycache__" in root]
                    self.assertEqual(written, [])

    def test_nothing_of_one_action_reaches_the_next(self):
        fresh = process_state(run(self.program, b"2 1\n3\n", TAMPERING))
        for case, kind in TAMPERINGS:
            with self.subTest(case):
                done = run(self.program, b"1 %d\n2 1\n" % kind * 3 + b"3\n", TAMPERING, timeout=30)
                self.assertEqual((done.returncode, done.stderr.decode()), (0, ""))
                self.assertEqual(process_state(done), fresh * 3)
                self.assertEqual(done.stdout.count(b"1 doubled is: 2\n"), 3)


if __name__ == "__main__":
    Dialogue.program = sys.argv.pop(1)
    unittest.main()
