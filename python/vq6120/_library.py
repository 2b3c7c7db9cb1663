"""Finding and loading the shared library."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from typing import Optional

from ._signatures import _SIGNATURES


_LIBRARY_FILES = ("VQ6120_LIB.dll",) if os.name == "nt" else ("libVQ6120_LIB.so.1", "libVQ6120_LIB.so")


def _library_files(candidate: str) -> list:
    """A directory stands for the library file in it; a file for itself."""
    if os.path.isdir(candidate):
        return [os.path.join(candidate, name) for name in _LIBRARY_FILES]
    return [candidate]


def _installed_library_dir() -> Optional[str]:
    """The library directory of the prefix this module was installed into by
    CMake (vq6120/_installed.py names it), so /opt/vq6120 needs no setting."""
    try:
        from . import _installed  # type: ignore[attr-defined]
    except ImportError:
        return None
    return os.path.normpath(os.path.join(os.path.dirname(__file__), _installed.LIBRARY_DIR))


def load_library(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the shared library and declares every function's C types.
    ``path`` and VQ6120_LIB_PATH may name the library file or its directory."""
    candidates = [path, os.environ.get("VQ6120_LIB_PATH"), _installed_library_dir(),
                  ctypes.util.find_library("VQ6120_LIB"), "libVQ6120_LIB.so.1", "VQ6120_LIB.dll"]
    errors = []
    for candidate in (f for c in filter(None, candidates) for f in _library_files(c)):
        try:
            lib = ctypes.CDLL(candidate)
            break
        except OSError as e:
            errors.append(f"{candidate}: {e}")
    else:
        raise OSError("VQ6120_LIB not found; set VQ6120_LIB_PATH. Tried: " + "; ".join(errors))
    for name, (restype, argtypes) in _SIGNATURES.items():
        fn = getattr(lib, name, None)
        if fn is None and name.startswith("VQ6120Ex_"):
            continue   # a library without the extension: the classic calls still work
        fn.restype, fn.argtypes = restype, argtypes
    return lib
