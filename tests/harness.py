"""What the script-menu tests share: the dialogue texts and a way to run the program."""
import functools
import os
import re
import resource
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SHIPPED = os.path.join(HERE, "..", "scripts")


def fixture(name):
    return os.path.join(HERE, "fixtures", name)


MENU = ("\n********** Main Menu **********\n1: Display Multiplication Table\n2: Double a Value\n"
        "3: Exit\nEnter your selection (choose 1, 2, or 3): ")
INVALID = "\nInvalid Selection, try again.\n"
BYE = "Program Exited. Goodbye\n"
NOT_A_VALUE = "Please enter a whole number from -2147483648 to 2147483647.\n"


def environment(module):
    """The caller's environment without its PYTHON* settings, with `module` on the search path."""
    env = {name: value for name, value in os.environ.items() if not name.startswith("PYTHON")}
    env["PYTHONPATH"] = module
    return env


def run(program, stdin, module=SHIPPED, timeout=60, settings=None, from_file=False, cwd=None):
    """Runs the program to its end on `stdin` (bytes), through a pipe or, `from_file`, from a
    regular file, with environment `settings` added, in folder `cwd`; returns the completed
    process."""
    with tempfile.TemporaryFile() as stored:
        stored.write(stdin)
        stored.seek(0)
        source = {"stdin": stored} if from_file else {"input": stdin}
        return subprocess.run([program], **source, capture_output=True,
                              env={**environment(module), **(settings or {})}, timeout=timeout,
                              cwd=cwd, check=False)


@functools.lru_cache(maxsize=None)
def signal_notice():
    """A pattern for the line that this system adds to a program's standard error when a signal
    kills it, as qemu-user does ("qemu: uncaught target signal 11 (Segmentation fault) - core
    dumped"), with any signal in place of the one seen; None where a process that kills itself
    with SIGSEGV (and dumps no core) leaves its standard error empty."""
    killed = subprocess.run(
        [sys.executable, "-c", "import os, signal; os.kill(os.getpid(), signal.SIGSEGV)"],
        capture_output=True, text=True, check=False,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
    if not killed.stderr:
        return None
    pattern = re.escape(killed.stderr.rstrip("\n"))
    for shown, wildcard in ((signal.strsignal(signal.SIGSEGV), ".+"),
                            (str(int(signal.SIGSEGV)), r"\d+")):
        pattern = pattern.replace(re.escape(shown), wildcard)
    return re.compile(f"^{pattern}\n", re.MULTILINE)


def without_signal_notices(errors):
    """Standard error without the lines that signal_notice() finds."""
    return signal_notice().sub("", errors) if signal_notice() else errors
