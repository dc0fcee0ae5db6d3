"""cmake --install puts vellastron-report next to the benchmark, and the
installed command works from there, also after the tree has moved."""

import os
import shutil
import subprocess

import pytest

from conftest import DATA, report

GOOD = DATA / "four-processes.txt"


def test_installed_report_runs_beside_the_benchmark(tmp_path):
    build = os.environ.get("VELLASTRON_BUILD_DIR")
    if not build:
        pytest.skip("needs VELLASTRON_BUILD_DIR, the build tree to install (set by ctest)")
    cmake = os.environ.get("VELLASTRON_CMAKE", "cmake")
    prefix = tmp_path / "prefix"
    installed = subprocess.run([cmake, "--install", build, "--prefix", str(prefix)],
                               capture_output=True, text=True, timeout=300)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    for name in ("vellastron-memory", "vellastron-report"):
        assert os.access(prefix / "bin" / name, os.X_OK), name
    assert not list(prefix.rglob("__pycache__"))

    moved = tmp_path / "elsewhere"
    shutil.move(str(prefix), str(moved))
    for arguments in (["show", "--json", GOOD], ["slow", GOOD]):
        finished = subprocess.run([str(moved / "bin" / "vellastron-report")]
                                  + [str(a) for a in arguments],
                                  cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True, timeout=120)
        from_source = report(*arguments)
        assert (finished.returncode, finished.stdout, finished.stderr) == (
            from_source.status, from_source.stdout, from_source.stderr)
    chart = tmp_path / "chart.png"
    plotted = subprocess.run([str(moved / "bin" / "vellastron-report"), "plot", str(GOOD),
                              "-o", str(chart)], capture_output=True, text=True, timeout=120)
    assert plotted.returncode == 0, plotted.stderr
    assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
