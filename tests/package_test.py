#!/usr/bin/env python3
"""What a packager gets; usage:
  package_test.py fortify CMAKE SOURCE [-DVAR=VALUE ...]
      a fresh build of SOURCE with a packager's own flags, as debhelper passes them: each file is
      compiled with their -D_FORTIFY_SOURCE=3 alone, and the compiler reports no redefinition
  package_test.py lintian|runpath|depends PACKAGE PROGRAM
      the newest Debian package that the glob PACKAGE matches, made after PROGRAM was built:
      lintian  lintian reports no error and no warning on it
      runpath  the program it installs finds libraries in folders under /usr only
      depends  its Depends names the libpython package whose library the program needs"""
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77
PACKAGER_FLAGS = "-D_FORTIFY_SOURCE=3 -O2"
INSTALLED_PROGRAM = "usr/libexec/script-menu/script-menu"


def fortify(cmake, source, cache):
    with tempfile.TemporaryDirectory() as build:
        said = ""
        for step in ([cmake, "-S", source, "-B", build, "-DBUILD_TESTING=OFF", *cache,
                      "-DCMAKE_BUILD_TYPE=None", f"-DCMAKE_CXX_FLAGS={PACKAGER_FLAGS}"],
                     [cmake, "--build", build, "--target", "script-menu", "-j2"]):
            done = subprocess.run(step, capture_output=True, text=True, check=False)
            said += done.stdout + done.stderr
            if done.returncode:
                print(f"{shlex.join(step)} failed:\n{said}")
                return 1
        with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as commands:
            commands = [entry.get("command") or shlex.join(entry["arguments"])
                        for entry in json.load(commands)]
    failures = [f"the compiler says: {line}" for line in said.splitlines() if "redefined" in line]
    failures += [f"not the packager's definition alone: {command}" for command in commands
                 if re.findall(r"-D_FORTIFY_SOURCE\S*", command) != ["-D_FORTIFY_SOURCE=3"]]
    print("\n".join(failures) or f"{len(commands)} files compiled with {PACKAGER_FLAGS} kept")
    return 1 if failures or not commands else 0


def newest_package(pattern, program):
    """The newest package that `pattern` matches; exits the test when it is missing or stale."""
    found = sorted(glob.glob(pattern), key=os.path.getmtime)
    if not found:
        sys.exit(f"no package {pattern}: `cpack -G DEB` in the build folder makes it (the package "
                 "workflow does)")
    if os.path.getmtime(found[-1]) < os.path.getmtime(program):
        sys.exit(f"{found[-1]} is older than {program}: `cpack -G DEB` makes it anew")
    print(f"checking {found[-1]}")
    return found[-1]


def dynamic_section(package):
    """`readelf --dynamic` of the program that the package installs."""
    with tempfile.TemporaryDirectory() as unpacked:
        subprocess.run(["dpkg-deb", "--extract", package, unpacked], check=True)
        return subprocess.run(["readelf", "--dynamic", os.path.join(unpacked, INSTALLED_PROGRAM)],
                              capture_output=True, text=True, check=True).stdout


def lintian(package):
    if shutil.which("lintian") is None:
        print("lintian is missing: cannot check the package (Debian's lintian)")
        return SKIPPED
    return subprocess.run(["lintian", "--fail-on", "error,warning", "--info", package],
                          check=False).returncode


def runpath(package):
    found = re.findall(r"\((?:RUNPATH|RPATH)\).*\[(.*)\]$", dynamic_section(package), re.M)
    folders = [folder for entry in found for folder in entry.split(":")]
    outside = [folder for folder in folders if not (folder + "/").startswith("/usr/")]
    print(f"RUNPATH: {':'.join(folders) or 'none'}" + f"; outside /usr: {outside}" * bool(outside))
    return 1 if outside else 0


def depends(package):
    needed = re.findall(r"\(NEEDED\).*\[libpython(3\.\d+)", dynamic_section(package))
    field = subprocess.run(["dpkg-deb", "--field", package, "Depends"], capture_output=True,
                           text=True, check=True).stdout.strip()
    print(f"the program needs libpython{needed}; Depends: {field}")
    return 0 if len(needed) == 1 and re.search(rf"(^|, )libpython{re.escape(needed[0])}\b",
                                               field) else 1


if __name__ == "__main__":
    if sys.argv[1] == "fortify":
        sys.exit(fortify(sys.argv[2], sys.argv[3], sys.argv[4:]))
    checked = newest_package(sys.argv[2], sys.argv[3])
    sys.exit({"lintian": lintian, "runpath": runpath, "depends": depends}[sys.argv[1]](checked))
