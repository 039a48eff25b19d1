"""The runner scripts: the bottom of the system.

Each script runs in a Python process of its own, started by the native
module with a JSON request on standard input, and answers with one JSON
reply on standard output (see ``_protocol``). Nothing here imports the rest
of the package, so a script runs under any interpreter that has the
packages it needs.
"""
