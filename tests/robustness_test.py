#!/usr/bin/env python3
"""script-menu under hostile conditions; usage: robustness_test.py PROGRAM [TestClass ...]."""
import contextlib
import dataclasses
import ctypes
import fcntl
import os
import pty
import random
import re
import resource
import select
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty
import unittest

from harness import BYE, INVALID, MENU, SHIPPED, environment, fixture, run

RESULT_LINE = re.compile(rb"^(-?\d+) doubled is: (-?\d+)$", re.MULTILINE)
# The program's own source files, as valgrind names them in a stack frame.
OWN_SOURCES = re.compile(r"\((%s):\d+\)" % "|".join(
    re.escape(name) for name in os.listdir(os.path.join(os.path.dirname(__file__), "..", "src"))
    if name.endswith(".cpp")))
SANITIZED = os.environ.get("SCRIPT_MENU_SANITIZED") == "1"
VALGRIND = os.environ.get("SCRIPT_MENU_VALGRIND", "valgrind")
SKIPPED = 77  # the exit status of a run that skipped a test or a case, and failed none


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


STARTED = fixture("started")
KILLED = "script-menu: the script's interpreter was killed by signal 9 (Killed)\n"
SCROLLED = ((MENU + INVALID) * 500 + MENU + BYE).encode()
CANNOT_WRITE = "script-menu: cannot write standard output: "


@dataclasses.dataclass(frozen=True)
class Start:
    """A way to start the program (the fields after `said`), and what it must then do."""
    case: str
    stdin: bytes
    code: int = 0  # its exit code, negative for a signal
    shown: bytes = b""  # in its output (empty: nothing, or nothing more once signalled)
    said: str = ""  # in its errors (empty: nothing)
    module: str = SHIPPED
    ignored: tuple = ()  # signals ignored as it starts
    closed: object = None  # a descriptor closed as it starts
    output: str = "pipe"  # or "terminal" (a raw one), "/dev/full", "pipe with errors" (a page)
    nonblocking: str = ""  # "input" or "output": that side's descriptor
    late: int = 0  # seconds before the input comes
    then: bytes = b""  # more input, a second after the first
    reader: str = "fast"  # or "slow" (a second late), "lagging" (50 ms a read)
    leaves: bytes = b""  # the reader closes its side once this shows
    kill: int = 0  # a signal to the program alone once the script sleeps: the script ends too
    limited: bool = False  # address space: what python3 takes to double a value, and 8 MiB


STARTS = [
    Start("SIGCHLD ignored: a crash is reported and sys.exit still ends the program",
          b"1 1\n2 4\n1 3\n2 5\n3\n", 3, b"4 doubled is: 8\n", "killed by signal 11", STARTED,
          ignored=(signal.SIGCHLD,)),
    Start("SIGHUP and SIGINT ignored stay ignored for the script", b"1 2\n3\n", 0,
          b"ignored: ['SIGHUP', 'SIGINT']\n", module=STARTED,
          ignored=(signal.SIGHUP, signal.SIGINT)),
    Start("SIGPIPE ignored: output closed early", b"1 5\n" * 50_000, 1, MENU.encode(),
          CANNOT_WRITE + "Broken pipe\n", ignored=(signal.SIGPIPE,), leaves=MENU.encode()),
    Start("non-blocking output with a slow reader", b"0\n" * 500 + b"3\n", 0, SCROLLED,
          nonblocking="output", reader="slow"),
    Start("non-blocking input with delayed input", b"2 5\n3\n", 0, b"5 doubled is: 10\n",
          nonblocking="input", late=1),
    Start("input closed", b"", 1, MENU.encode(),
          "script-menu: cannot read standard input: Bad file descriptor\n", closed=0),
    Start("output closed", b"2 5\n3\n", 1, said=CANNOT_WRITE + "Bad file descriptor\n", closed=1),
    Start("output full", b"2 5\n3\n", 1, said=CANNOT_WRITE + "No space left on device\n",
          output="/dev/full"),
    Start("SIGPIPE ignored: the reader leaves at the value prompt, and no action runs",
          b"1\n", 1, (MENU + "Enter Value: ").encode(), CANNOT_WRITE + "Broken pipe\n", STARTED,
          ignored=(signal.SIGPIPE,), then=b"6\n3\n", leaves=b"Enter Value: "),
    Start("non-blocking output and errors in one pipe with a slow reader", b"1 7\n" * 20 + b"3\n",
          0, ((MENU + "Enter Value: \n" + KILLED) * 20 + MENU + BYE).encode(), module=STARTED,
          output="pipe with errors", nonblocking="output", reader="lagging"),
    Start("non-blocking terminal output with a slow reader", b"0\n" * 500 + b"3\n", 0, SCROLLED,
          output="terminal", nonblocking="output", reader="slow"),
    Start("the CR and the LF that end a value come in two writes, and a script reads the next line",
          b"1 7\r", 0, b"rows? 7 X 1 = 7\n7 X 2 = 14\n" + (MENU + BYE).encode(),
          module=fixture("asking"), then=b"\n2\n3\n"),
    *(Start(f"{kill.name} to the program alone ends the script too", b"1 4\n3\n", -kill,
            module=STARTED, kill=kill) for kill in (signal.SIGTERM, signal.SIGKILL)),
    Start("an address-space limit that lets python3 run the script, and 8 MiB more", b"2 5\n3\n",
          0, b"5 doubled is: 10\n", limited=True),
]


def address_space_of_python(module):
    """The most address space, in bytes, that python3 takes to double a value with `module`."""
    code = "import PythonCode; PythonCode.DoubleValue(5); print(open('/proc/self/status').read())"
    status = subprocess.run([sys.executable, "-B", "-c", code], env=environment(module),
                            capture_output=True, text=True, check=True).stdout
    return int(re.search(r"^VmPeak:\s+(\d+) kB$", status, re.MULTILINE).group(1)) * 1024


def address_space_limit_holds():
    """Whether allocating beyond its address-space limit fails here (qemu-user keeps no limit)."""
    code = ("import resource; resource.setrlimit(resource.RLIMIT_AS, (2**28, 2**28)); "
            "bytearray(2**29)")
    return "MemoryError" in subprocess.run([sys.executable, "-c", code], capture_output=True,
                                           text=True, check=False).stderr


def gone(pid):
    """Whether process `pid` has ended (a zombie nobody reaped yet has too)."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except (FileNotFoundError, ProcessLookupError):  # reaped before or while it was read
        return True


class Started(unittest.TestCase):
    """The program started as shells, nohup, supervisors and launchers start it."""

    def test_ways_to_start(self):
        for row in STARTS:
            with self.subTest(row.case):
                if row.limited and (SANITIZED or not address_space_limit_holds()):
                    self.skipTest("the sanitizers reserve terabytes of address space" if SANITIZED
                                  else "this system keeps no process to an address-space limit")
                code, shown, said = self.start(row)
                self.assertEqual(code, row.code, said)
                self.assertIn(row.shown, shown) if row.shown else self.assertEqual(shown, b"")
                self.assertIn(row.said, said) if row.said else self.assertEqual(said, "")

    def start(self, row):
        """Runs the program to its end; returns its exit code, output and errors."""
        limit = address_space_of_python(row.module) + 8 * 2**20 if row.limited else None

        def prepare():
            for number in row.ignored:
                signal.signal(number, signal.SIG_IGN)
            if limit:
                resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
            if row.closed is not None:
                os.close(row.closed)
            if row.output == "/dev/full":
                os.dup2(os.open("/dev/full", os.O_WRONLY), 1)

        def write():
            with open(input_write, "wb", buffering=0) as pipe, \
                    contextlib.suppress(BrokenPipeError):  # the program ended before it read all
                for pause, part in ((row.late, row.stdin), (1, row.then)):
                    time.sleep(pause * bool(part))
                    pipe.write(part)

        input_read, input_write = os.pipe()
        output_read, output_write = os.openpty() if row.output == "terminal" else os.pipe()
        if row.output == "terminal":
            tty.setraw(output_write)  # a full terminal takes a write in part
        elif row.output == "pipe with errors":
            fcntl.fcntl(output_read, 1031, 4096)  # F_SETPIPE_SZ: a page, soon full
        os.set_blocking(input_read, row.nonblocking != "input")
        os.set_blocking(output_write, row.nonblocking != "output")
        with tempfile.TemporaryFile() as errors:
            menu = subprocess.Popen([Program], stdin=input_read, stdout=output_write,
                                    stderr=output_write if row.output == "pipe with errors" else
                                    errors, env=environment(row.module), preexec_fn=prepare)
            os.close(input_read)
            os.close(output_write)
            writer = threading.Thread(target=write)
            writer.start()
            watchdog = threading.Timer(60, menu.kill)  # a program that hangs fails the case
            watchdog.start()
            shown = self.read(menu, output_read, row)
            code = menu.wait()
            watchdog.cancel()
            writer.join()
            errors.seek(0)
            return code, shown, errors.read().decode()

    def read(self, menu, descriptor, row):
        with open(descriptor, "rb") as pipe:
            shown = b""
            while row.leaves and row.leaves not in shown:
                shown += pipe.read1(4096) or self.fail(f"no {row.leaves!r} on {shown!r}")
            if row.kill:
                sleeping = next((line for line in pipe if line.startswith(b"sleeping ")), b"")
                self.assertTrue(sleeping, "the script never said that it sleeps")
                menu.send_signal(row.kill)
                menu.wait()
                time.sleep(1)
                self.assertTrue(gone(int(sleeping.split()[1])), "the script runs on")
            time.sleep(row.reader == "slow")  # the pipe fills up meanwhile
            with contextlib.suppress(OSError):  # EIO: a terminal whose other side has closed
                while not row.leaves and (chunk := pipe.read1(65536)):
                    shown += chunk.replace(b"\0", b"") if row.reader == "lagging" else chunk
                    time.sleep(0.05 * (row.reader == "lagging"))  # the NULs: the script's filling
            return shown


ON_TERMINAL = MENU.replace("\n", "\r\n")
PROMPT = "(choose 1, 2, or 3): "
SHELL = "an interactive bash starts it"
STARTS_THE_PROGRAM = ("", "$ ", ""), ('"$PROGRAM"\n', PROMPT, "")
# Waits until the shell has given the terminal back to the stopped program.
BROUGHT_BACK = ("fg\n", "fg\r\n", ""), ("", '"$PROGRAM"\r\n', "")
# (case, module, steps, exit code, negative for a signal, how it starts: on the terminal (None),
# with standard input piped (the input), or from SHELL): a step types its keys, waits for a text,
# and checks how what the screen showed before that text ends. None for the text: the program, or
# the shell, ends.
CONVERSATIONS = [
    ("prompts show before the answer", SHIPPED,
     [("", ON_TERMINAL, ""), ("1\n", "Enter Value: ", ""), ("7\n", ON_TERMINAL, "7 X 10 = 70\r\n"),
      ("3\n", "Program Exited. Goodbye\r\n", ""), ("", None, "")], 0, None),
    ("Ctrl-C interrupts the script, then ends the program at a prompt", fixture("slow"),
     [("", PROMPT, ""), ("2 60\n", "sleeping", ""),
      ("\x03", "60 doubled is: -1\r\n", "KeyboardInterrupt\r\n"), ("", PROMPT, ""),
      ("\x03", None, "")], -signal.SIGINT, None),
    ("a terminal left raw is restored", fixture("tampering"),
     [("", ON_TERMINAL, ""), ("1 10\n", ON_TERMINAL, ""), ("3\n", "Goodbye\r\n", ""),
      ("", None, "")], 0, None),
    ("a terminal left raw through standard output is restored", fixture("tampering"),
     [("", ON_TERMINAL, ""), ("", ON_TERMINAL, ""), ("", "Goodbye\r\n", ""), ("", None, "")], 0,
     b"1 11\n3\n"),
    ("a script that takes the foreground gives it back", fixture("tampering"),
     [("", ON_TERMINAL, ""), ("1 12\n", ON_TERMINAL, ""), ("3\n", "Goodbye\r\n", ""),
      ("", None, "")], 0, None),
    ("a script reads the user's next line", fixture("asking"),
     [("", PROMPT, ""), ("1 5\n", "rows? ", "Enter Value: \r\n"),
      ("3\n", ON_TERMINAL, "3\r\n5 X 1 = 5\r\n5 X 2 = 10\r\n5 X 3 = 15\r\n"),
      ("1 2\n", "rows? ", ""), ("1\n", ON_TERMINAL, "1\r\n2 X 1 = 2\r\n"),
      ("3\n", "Goodbye\r\n", ""), ("", None, "")], 0, None),
    ("Ctrl-Z, then bg: the shell keeps its terminal, and fg brings the menu back", fixture("slow"),
     [*STARTS_THE_PROGRAM, ("2 3\n", "sleeping", ""), ("\x1a", "Stopped", ""),
      ("bg\n", "3 doubled is: 6", ""), ("", PROMPT, ""), ("echo $((40 + 2))\n", "42\r\n", ""),
      *BROUGHT_BACK, ("3\n", "Goodbye\r\n", ""),
      ("exit\n", None, "")], 0, SHELL),
    ("Ctrl-Z with the script in a group of its own: the shell's prompt, then fg finishes it",
     fixture("slow"),
     [*STARTS_THE_PROGRAM, ("1 3\n", "sleeping", ""), ("\x1a", "Stopped", ""),
      ("echo $((40 + 2))\n", "42\r\n", ""), *BROUGHT_BACK, ("", "holds the terminal: True", ""), ("", PROMPT, ""),
      ("3\n", "Goodbye\r\n", ""), ("exit\n", None, "")], 0, SHELL),
]


# (case, whether the first terminal is the program's controlling terminal, and the tampering of
# MultiplicationTable in the tampering module that leaves one of them raw): standard input is on
# the first terminal, the output on the second one, or with no controlling terminal on the first.
RESTORES = [
    ("input on the controlling terminal, output on another left raw", True, 11),
    ("a terminal that is nobody's controlling terminal, left raw", False, 10),
]


class Terminal(unittest.TestCase):
    """The program on a pseudo-terminal, as a person at a console sees and drives it."""

    def test_every_terminal_restored(self):
        for case, controlling, kind in RESTORES:
            with self.subTest(case):
                first, first_side = os.openpty()
                second, second_side = os.openpty()
                before = [termios.tcgetattr(side) for side in (first_side, second_side)]

                def prepare():
                    os.setsid()
                    if controlling:
                        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

                shown, shown_side = (second, second_side) if controlling else (first, first_side)
                menu = subprocess.Popen([Program], stdin=first_side, stdout=shown_side,
                                        stderr=shown_side, env=environment(fixture("tampering")),
                                        preexec_fn=prepare)
                os.write(first, b"1 %d\n" % kind)
                _, screen = self.await_text(shown, b"", PROMPT)
                self.await_text(shown, screen, PROMPT)  # the action is over
                os.write(first, b"3\n")
                self.assertEqual(menu.wait(timeout=30), 0)
                after = [termios.tcgetattr(side) for side in (first_side, second_side)]
                for descriptor in (first, first_side, second, second_side):
                    os.close(descriptor)
                self.assertEqual(after, before)

    def test_conversations(self):
        for case, module, steps, exit_code, start in CONVERSATIONS:
            with self.subTest(case):
                piped = isinstance(start, bytes)
                if piped:
                    given, giving = os.pipe()
                    os.write(giving, start)
                    os.close(giving)
                pid, terminal = pty.fork()
                if pid == 0:
                    if piped:
                        os.dup2(given, 0)
                    if start == SHELL:
                        os.execve("/bin/bash", ["bash", "--norc", "--noprofile", "-i"],
                                  {**environment(module), "PROGRAM": Program, "PS1": "$ ",
                                   "TERM": "dumb", "HISTFILE": "/dev/null"})
                    os.execve(Program, [Program], environment(module))
                if piped:
                    os.close(given)
                status = None
                try:
                    screen = b""
                    for keys, text, shown in steps:
                        os.write(terminal, keys.encode())
                        if text is not None:
                            before, screen = self.await_text(terminal, screen, text)
                            self.assertTrue(before.endswith(shown), before)
                    _, status = os.waitpid(pid, 0)
                finally:
                    os.close(terminal)
                    if status is None:  # a failed step: the program must not outlive the test
                        os.kill(pid, signal.SIGKILL)
                        os.waitpid(pid, 0)
                self.assertEqual(os.waitstatus_to_exitcode(status), exit_code)

    def await_text(self, terminal, screen, text, seconds=30):
        """Reads the screen until `text` shows; returns what came before it and what after."""
        deadline = time.monotonic() + seconds
        while text.encode() not in screen:
            left = deadline - time.monotonic()
            self.assertTrue(left > 0 and select.select([terminal], [], [], left)[0],
                            f"no {text!r} on {screen[-500:]!r}")
            screen += os.read(terminal, 65536)
        before, after = screen.split(text.encode(), 1)
        return before.decode(), after


def children(pid):
    """The states of the children of process `pid`, as /proc shows them."""
    states = []
    for name in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{name}/stat", encoding="ascii") as stat:
                state, parent = stat.read().rsplit(")", 1)[1].split()[:2]
        except (FileNotFoundError, ProcessLookupError):
            continue
        if int(parent) == pid:
            states.append((int(name), state))
    return states


def become_subreaper():
    """Makes this process a subreaper; raises OSError where the system refuses (qemu-user)."""
    if ctypes.CDLL(None, use_errno=True).prctl(36, 1) != 0:  # PR_SET_CHILD_SUBREAPER
        number = ctypes.get_errno()
        raise OSError(number, f"prctl(PR_SET_CHILD_SUBREAPER): {os.strerror(number)}")


def refusal(prepare):
    """What `prepare` raises in a new process, or "" when it works there."""
    read, write = os.pipe()
    if (pid := os.fork()) == 0:
        os.close(read)
        try:
            prepare()
        except OSError as error:
            os.write(write, str(error).encode())
        os._exit(0)
    os.close(write)
    with open(read, "rb") as said:
        refused = said.read().decode()
    os.waitpid(pid, 0)
    return refused


# Runs a program with the signal handling of a container's first process: every signal has its
# default action (older unshare ignores SIGTERM and SIGINT in the child it forks).
WITH_DEFAULT_SIGNALS = [sys.executable, "-c", "import os, signal, sys\n"
                        "for number in signal.valid_signals() - {signal.SIGKILL, signal.SIGSTOP}:\n"
                        "    signal.signal(number, signal.SIG_DFL)\n"
                        "os.execv(sys.argv[1], sys.argv[1:])"]
# (case, command that starts the program, how that process is prepared, its exit code after
# SIGTERM to the program at a prompt, negative for a signal)
INITS = [
    ("a subreaper", [], become_subreaper, -signal.SIGTERM),
    ("a PID namespace's first process", ["unshare", "--pid", "--fork", *WITH_DEFAULT_SIGNALS], None,
     128 + signal.SIGTERM),
]


class Init(unittest.TestCase):
    """The program where the helpers that scripts leave behind come to it when they outlive the
    script's process: as a subreaper, and as a container's first process."""

    def test_helpers_are_reaped_and_sigterm_ends_it_at_a_prompt(self):
        for case, command, prepare, exit_code in INITS:
            with self.subTest(case):
                if command and subprocess.run(command + ["/bin/true"], check=False).returncode:
                    self.skipTest(f"{command[0]} cannot make a PID namespace here")
                if prepare and (refused := refusal(prepare)):
                    self.skipTest(f"this system refuses it: {refused}")
                menu = subprocess.Popen(command + [Program], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, env=environment(STARTED),
                                        preexec_fn=prepare)
                menu.stdin.write(b"1 5\n" * 5)
                menu.stdin.flush()
                shown = b""
                while shown.count(PROMPT.encode()) < 6:
                    chunk = os.read(menu.stdout.fileno(), 65536)
                    self.assertTrue(chunk, shown)
                    shown += chunk
                time.sleep(1)  # every helper has ended
                program = children(menu.pid)[0][0] if command else menu.pid
                self.assertEqual(children(program), [])
                os.kill(program, signal.SIGTERM)
                self.assertEqual(menu.wait(timeout=10), exit_code)


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
    # The sanitizers look at every action; the memory bound, which needs many, they cannot check.
    ACTIONS = 100 if SANITIZED else 500
    # The second module's import leaves memory behind in an interpreter that is started again.
    MODULES = [SHIPPED, fixture("fractions")]

    def test_hundreds_of_actions_in_one_run(self):
        rng = random.Random(20261208)
        values = [rng.choice([rng.randint(-999, 999), rng.randint(-2**31, 2**31 - 1)])
                  for _ in range(self.ACTIONS)]
        for module in self.MODULES:
            with self.subTest(module):
                self.soak(module, values)

    def soak(self, module, values):
        menu = subprocess.Popen([Program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, env=environment(module))
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
        print(f"{os.path.basename(module)}: {self.ACTIONS} actions; peak memory {peaks[0]} KiB"
              f" after {self.WARM}, {peaks[1]} KiB after {self.ACTIONS}", file=sys.stderr)
        if not SANITIZED:  # the sanitizers hold freed memory back on purpose
            self.assertLessEqual(peaks[1] - peaks[0], 1024)


class Memcheck(unittest.TestCase):
    """Every kind of script failure under valgrind, with the interpreter allocating by malloc."""

    # The longest that valgrind may take to run python3 -c pass: the dialogues run 12 actions under
    # it, each an interpreter's start and more, within the test's 600 s (natively it takes 2-4 s).
    SLOWEST_START = 12
    # (module, standard input, exit status)
    DIALOGUES = [("failing", b"1 4\n2 1\n2 2\n2 3\n2 4\n2 5\n3\n", 0),
                 ("chatty", b"1 4\n2 6\n3\n", 0), ("absent", b"2 4\n3\n", 0),
                 ("broken_syntax", b"2 4\n3\n", 0), ("raising_import", b"2 4\n3\n", 0),
                 ("exiting", b"1 3\n", 3)]

    def test_no_errors_and_no_leaks_through_the_program(self):
        if sys.version_info >= (3, 14):
            # Its C stack check, from the bounds the C library reports for the stack that valgrind
            # gives a forked child, finds an overflow as the interpreter starts (natively it
            # does not): every action would end in a fatal error before anything is checked.
            self.skipTest("CPython 3.14 and later abort at start under valgrind")
        started = time.monotonic()
        try:
            trivial = subprocess.run([VALGRIND, sys.executable, "-c", "pass"], capture_output=True,
                                     text=True, timeout=300, check=False)
        except FileNotFoundError:
            self.skipTest(f"no {VALGRIND}")
        if trivial.returncode:
            self.skipTest("valgrind cannot run python3 -c pass here: " +
                          " ".join(trivial.stderr.strip().splitlines()[-2:]))
        took = time.monotonic() - started
        if took > self.SLOWEST_START:  # as under an emulator, where valgrind does run
            self.skipTest(f"valgrind takes {took:.0f} s to run python3 -c pass here, more than "
                          f"the {self.SLOWEST_START} s that the dialogues' time allows")
        suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)), "valgrind.supp")
        for module, stdin, status in self.DIALOGUES:
            with self.subTest(module), tempfile.TemporaryDirectory() as logs:
                env = environment(fixture(module))
                env["PYTHONMALLOC"] = "malloc"
                # valgrind follows every forked child: one log each, the program's among them. A
                # reference a child leaves unreleased stays reachable until it ends, so reachable
                # memory that the interpreter's lifetime allocated counts too.
                done = subprocess.run([VALGRIND, "--leak-check=full",
                                       "--errors-for-leak-kinds=none", "--show-leak-kinds=all",
                                       "--num-callers=60", f"--suppressions={suppressions}",
                                       f"--log-file={logs}/%p.log", Program],
                                      input=stdin, env=env, capture_output=True, timeout=300,
                                      check=False)
                reports = []
                for name in sorted(os.listdir(logs)):
                    with open(os.path.join(logs, name), encoding="utf-8") as log:
                        reports.append(log.read())
                # valgrind says why it failed in its logs, not on standard error.
                said = done.stderr.decode(errors="replace") + "".join(reports)
                self.assertEqual(done.returncode, status, said)
                # Every action ran its course.
                self.assertNotIn(b"killed by signal", done.stderr, said)
                self.assertGreater(len(reports), 1, "no child was followed")
                for report in reports:
                    self.assertIn("ERROR SUMMARY: 0 errors", report, report)
                    for record in re.split(r"\n==\d+== \n", report):
                        if " lost in loss record " in record:
                            self.assertNotRegex(record, OWN_SOURCES, record)
                        elif " in loss record " in record:  # what a lifetime left allocated
                            self.assertNotIn("RunScriptFunction", record, record)


if __name__ == "__main__":
    Program = sys.argv.pop(1)
    outcome = unittest.main(exit=False).result
    for test, reason in outcome.skipped:
        print(f"skipped: {test}: {reason}", file=sys.stderr)
    if not outcome.wasSuccessful() or not outcome.testsRun:
        sys.exit(1)
    sys.exit(SKIPPED if outcome.skipped else 0)
