#!/usr/bin/python3
"""Runs the Python producer's tests against the installed package, as a user has it.

    run_installed.py SOURCE_DIR WORK_DIR [pytest arguments...]

Makes a venv in WORK_DIR (with the system's site packages, for pyzmq, msgpack, numpy
and pytest), installs SOURCE_DIR/python into it with pip, offline and without build
isolation, and runs pytest on SOURCE_DIR/python/tests with that venv's interpreter from
WORK_DIR, outside the source folder.
"""

import os
import shutil
import subprocess
import sys


def main() -> int:
    source, work = (os.path.abspath(a) for a in sys.argv[1:3])
    venv = os.path.join(work, "venv")
    python = os.path.join(venv, "bin", "python")
    if not os.access(python, os.X_OK):
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True)
    # pip builds in the folder it is given: a copy keeps the checkout free of build files.
    stage = os.path.join(work, "package")
    shutil.rmtree(stage, ignore_errors=True)
    shutil.copytree(
        os.path.join(source, "python"),
        stage,
        ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__"),
    )
    subprocess.run(
        [python, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-index",
         "--no-deps", "--force-reinstall", stage],
        check=True,
    )
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env["LUMENFOLD_TESTS_INSTALLED"] = venv
    tests = os.path.join(source, "python", "tests")
    return subprocess.run(
        [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", tests, *sys.argv[3:]],
        cwd=work,
        env=env,
    ).returncode


if __name__ == "__main__":
    sys.exit(main())
