"""Benchmarks of vorpaline: call overhead, core throughput, thread scaling, memory.

Run from the repository root with the package installed: ``python -m bench``.
"""
