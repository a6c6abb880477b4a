#!/usr/bin/env python3
"""What an installation delivers; usage:
  install_test.py manual PAGE                      the man page renders without a warning, on 80
                                                   columns at most
  install_test.py staged CMAKE SOURCE BUILD [-DVAR=VALUE ...]
    staged installs, from BUILD and from fresh builds of SOURCE, run through their launcher"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77
WIDTH = 80
OWN_MODULE = "def DoubleValue(value):\n    return value * 3\n"


def manual(page):
    if shutil.which("groff") is None:
        print("groff is missing: cannot check the man page")
        return SKIPPED
    checked = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True,
                             text=True, check=False)
    print(checked.stderr, end="")
    # On a terminal of WIDTH columns, as `MANWIDTH=80 man` shows it: unfilled examples included.
    shown = subprocess.run(["groff", "-man", "-Tutf8", f"-rLL={WIDTH}n", page],
                           capture_output=True, text=True, check=False)
    text = re.sub(r"\x1b\[[0-9;]*m|.\x08", "", shown.stdout)  # bold and underline
    lines = text.expandtabs().splitlines()
    wide = [line for line in lines if len(line) > WIDTH]
    for line in wide:
        print(f"wider than {WIDTH} columns: {line}")
    # A page for users: short enough to read through, and the program's messages explained.
    longest = 200
    too_long = len(lines) > longest
    if too_long:
        print(f"{len(lines)} lines on {WIDTH} columns, more than {longest}")
    diagnostics = "DIAGNOSTICS" in lines
    if not diagnostics:
        print("no DIAGNOSTICS section")
    return 0 if checked.returncode == shown.returncode == 0 and not checked.stderr and \
        shown.stdout and not wide and not too_long and diagnostics else 1


def stage(cmake, source, build, folder, install_dirs, cache):
    """Installs `build`, or a fresh build with `install_dirs`, under DESTDIR `folder` with prefix
    /usr; returns the staging root."""
    if install_dirs:
        fresh = os.path.join(folder, "build")
        subprocess.run([cmake, "-S", source, "-B", fresh, "-DBUILD_TESTING=OFF",
                        "-DCMAKE_INSTALL_PREFIX=/usr", *cache, *install_dirs],
                       stdout=subprocess.DEVNULL, check=True)
        subprocess.run([cmake, "--build", fresh, "-j2", "--target", "script-menu", "documents"],
                       stdout=subprocess.DEVNULL, check=True)
        build = fresh
    root = os.path.join(folder, "root")
    subprocess.run([cmake, "--install", build, "--prefix", "/usr"], stdout=subprocess.DEVNULL,
                   env=dict(os.environ, DESTDIR=root), check=True)
    return root


def contents(root):
    return {os.path.join(folder, name) for folder, folders, files in os.walk(root)
            for name in folders + files}


def staged(cmake, source, build, cache):
    # (install folders, call the launcher through, own module on PYTHONPATH, expected result line)
    cases = [
        ([], "symlink", False, "5 doubled is: 10"),
        ([], "PATH", True, "5 doubled is: 15"),
        (["-DCMAKE_INSTALL_LIBEXECDIR=/opt/menu/lib", "-DCMAKE_INSTALL_DATADIR=/opt/menu/data"],
         "symlink", False, "5 doubled is: 10"),
    ]
    failures = 0
    stages = {}
    with tempfile.TemporaryDirectory() as scratch:
        own = os.path.join(scratch, "own")
        links = os.path.join(scratch, "links")
        elsewhere = os.path.join(scratch, "elsewhere")
        for folder in (own, links, elsewhere):
            os.mkdir(folder)
        with open(os.path.join(own, "PythonCode.py"), "w", encoding="utf-8") as module:
            module.write(OWN_MODULE)
        for number, (install_dirs, through, own_first, expected) in enumerate(cases):
            key = tuple(install_dirs)
            if key not in stages:
                folder = os.path.join(scratch, f"stage{len(stages)}")
                stages[key] = stage(cmake, source, build, folder, install_dirs, cache)
            link = os.path.join(links, f"menu{number}")
            os.symlink(os.path.join(stages[key], "usr", "bin", "script-menu"), link)
            installed = contents(stages[key])
            env = {name: value for name, value in os.environ.items()
                   if not name.startswith("PYTHON")}
            env["PATH"] = links + os.pathsep + env.get("PATH", "")
            if own_first:
                env["PYTHONPATH"] = own
            command = [link] if through == "symlink" else [os.path.basename(link)]
            ran = subprocess.run(command, input="2 5\n3\n", capture_output=True, text=True,
                                 cwd=elsewhere, env=env, timeout=60, check=False)
            # Anything a run leaves in the installation would outlive the package's removal.
            written = sorted(contents(stages[key]) - installed)
            if ran.returncode != 0 or expected not in ran.stdout.splitlines() or written:
                failures += 1
                print(f"FAIL {install_dirs or 'relative folders'} through {through}, own module "
                      f"first: {own_first}: status {ran.returncode}, wanted {expected!r}, "
                      f"wrote {written}\n{ran.stdout}{ran.stderr}")
    return 1 if failures else 0


if __name__ == "__main__":
    if sys.argv[1] == "manual":
        sys.exit(manual(sys.argv[2]))
    sys.exit(staged(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]))
