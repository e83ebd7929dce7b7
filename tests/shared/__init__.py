"""What tests in several folders share: sample records and fakes, child
interpreters, the platform server's reset, time-outs and fuzzing budgets.

Importable as ``shared`` from any test module: the root conftest's folder is
on the path.
"""
