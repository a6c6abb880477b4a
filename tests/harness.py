"""What the script-menu tests share: the dialogue texts and a way to run the program."""
import os
import subprocess
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
