"""Compiles the Cython translation of the callback twin in place (see run.py)."""

import sys

from setuptools import Extension, setup

setup(
    name="reference_cy",
    ext_modules=[Extension("reference_cy", ["reference_cy.c"], extra_compile_args=["-O3"])],
    script_args=sys.argv[1:],
)
