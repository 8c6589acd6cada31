"""Code-aware sparse BM25-style embeddings with a native C++ core.

The package's native parts are imported on demand, never from here:
``vorpaline.sparse`` (the embedding service; needs the core
``vorpaline_core_py``), ``vorpaline.enginecheck`` (the core's capability
check; imports without the core) and ``vorpaline.skiprules`` (the scan
configuration builder). Settings live in ``vorpaline.config``; the command
line is ``python -m vorpaline``.
"""

__version__ = "0.1.0"
