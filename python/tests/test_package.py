"""The package as installed: its version and its type information."""

import os
import re

import lumenfold

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir))


def test_version_is_the_cpp_projects():
    with open(os.path.join(SOURCE, "CMakeLists.txt"), encoding="utf-8") as f:
        match = re.search(r"project\(\s*lumenfold\s+VERSION\s+([0-9.]+)", f.read())
    assert match, "no project(lumenfold VERSION ...) in CMakeLists.txt"
    assert lumenfold.__version__ == match.group(1)


def test_ships_type_information():
    assert os.path.isfile(os.path.join(os.path.dirname(lumenfold.__file__), "py.typed"))
