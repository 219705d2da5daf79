"""The OpenBLAS kernel family of this process, for the Python yardsticks.

OpenBLAS picks its family (OPENBLAS_CORETYPE, or by the processor's model)
when it loads; on a processor it does not know it falls back to slow SSE3
kernels, which the benchmarks must see (bench/openblas-family.h).
"""

import ctypes


def loaded_openblas():
    """The OpenBLAS this process loaded (with torch or numpy): a mapped
    library whose path holds "openblas" (Debian's libblas.so.3 of
    openblas-pthread is one), not a copy found by name, which could be another
    build. None without one."""
    paths = []
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) == 6 and "openblas" in fields[5] and fields[5].strip() not in paths:
                paths.append(fields[5].strip())
    for path in paths:
        try:
            lib = ctypes.CDLL(path)
            lib.openblas_get_corename.restype = ctypes.c_char_p
            lib.openblas_get_config.restype = ctypes.c_char_p
            return lib
        except (OSError, AttributeError):
            pass
    return None


def core_line(lib):
    """The line the benchmarks read: "openblas core: NAME" ("none" without OpenBLAS)."""
    return "openblas core: " + (lib.openblas_get_corename().decode() if lib else "none")
