"""The version of the Lumenfold project this producer belongs to: the same number as
the C++ library's (the top-level CMakeLists.txt, project(VERSION))."""

__version__ = "0.1.0"
