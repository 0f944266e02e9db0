"""Giving memory back between steps, and keeping it for the command's own process."""

import ctypes
import platform
import sys

import numpy as np
import pytest

from sorvani_kb.datavisualization.report import cli, memory

GLIBC = sys.platform.startswith("linux") and platform.libc_ver()[0] == "glibc"
ARRAY = 40_000_000  # float64s: 320 MB, far above glibc's largest mmap threshold


def heap_bytes():
    """Bytes of the process' brk heap, as /proc maps it."""
    total = 0
    with open("/proc/self/maps", encoding="ascii") as fh:
        for line in fh:
            if line.rstrip().endswith("[heap]"):
                start, end = (int(v, 16) for v in line.split()[0].split("-"))
                total += end - start
    return total


@pytest.mark.skipif(not GLIBC, reason="glibc's heap")
def test_a_kept_heap_serves_large_arrays_and_keeps_them_when_freed():
    memory.release_memory()
    before = heap_bytes()
    with memory.heap_kept():
        big = np.ones(ARRAY)
        grown = heap_bytes()
        assert grown - before >= big.nbytes  # from the heap, not a mapping of its own
        del big
        memory.release_memory()  # Arrow's pool only: the heap keeps what was freed
        assert heap_bytes() >= grown - (1 << 20)
        again = np.ones(ARRAY)  # the same memory again: the heap does not grow
        assert heap_bytes() <= grown + (1 << 20)
        del again
    memory.release_memory()
    assert heap_bytes() < before + (64 << 20)  # given back once the settings are the usual ones
    outside = heap_bytes()
    big = np.ones(ARRAY)
    assert heap_bytes() < outside + (1 << 20)  # a mapping of its own again
    del big


@pytest.mark.skipif(not GLIBC, reason="glibc's mallopt")
def test_a_refused_setting_leaves_the_heap_as_it_was(monkeypatch):
    calls = []

    def mallopt(param, value):
        calls.append((param, value))
        return 0 if param == memory.M_TRIM_THRESHOLD and value != memory.TRIM_DEFAULT else 1

    monkeypatch.setattr(memory, "_libc_function", lambda name, types: mallopt if name == "mallopt" else None)
    with memory.heap_kept():
        assert memory._kept == []  # nothing kept: release_memory gives back as before
        with memory.heap_kept():  # nested: still as the outer one left it
            pass
    assert calls[-2:] == [(memory.M_MMAP_MAX, memory.MMAP_DEFAULT), (memory.M_TRIM_THRESHOLD, memory.TRIM_DEFAULT)]
    assert memory._kept == []


def test_without_glibcs_functions_nothing_changes(monkeypatch):
    monkeypatch.setattr(memory, "_libc_function", lambda name, types: None)
    with memory.heap_kept():
        memory.release_memory()
    assert memory._kept == []


@pytest.mark.skipif(not GLIBC, reason="glibc")
def test_glibcs_functions_come_from_the_process_itself():
    trim = memory._libc_function("malloc_trim", (ctypes.c_size_t,))
    assert trim is not None and trim(0) in (0, 1)


@pytest.mark.parametrize("own_command", [True, False])
def test_only_the_processs_own_command_keeps_the_heap(monkeypatch, tmp_path, own_command):
    entered = []

    class Recorded:
        def __enter__(self):
            entered.append(True)
            return self

        def __exit__(self, *exc):
            return False

    monkeypatch.setattr(cli, "heap_kept", Recorded)
    args = ["-o", str(tmp_path / "r.html"), "-q"]
    monkeypatch.setattr(sys, "argv", ["report", *args])
    assert cli.main(None if own_command else args) == 0
    assert len(entered) == (1 if own_command else 0)  # called in a notebook or a test: untouched
