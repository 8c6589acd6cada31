"""Plain-Python versions of the package's extension modules, for benchmarks.

Same behaviour and source lines as ``vorpaline.sparse``, ``vorpaline.enginecheck``
and ``vorpaline.skiprules``; never shipped with the package.
"""
