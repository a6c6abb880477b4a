#!/usr/bin/env python3
"""What an installation delivers; usage:
  install_test.py manual PAGE    the man page renders without a warning"""
import shutil
import subprocess
import sys

SKIPPED = 77


def manual(page):
    if shutil.which("groff") is None:
        print("groff is missing: cannot check the man page")
        return SKIPPED
    rendered = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True,
                              text=True, check=False)
    print(rendered.stderr, end="")
    return 0 if rendered.returncode == 0 and not rendered.stderr else 1


if __name__ == "__main__":
    sys.exit(manual(sys.argv[2]))
