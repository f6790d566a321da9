"""The demo runs end to end: both tables and the plot."""

import os
import subprocess
import sys

DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo", "demo.py")


def test_demo_prints_both_tables_and_writes_the_plot(tmp_path):
    png = tmp_path / "demo.png"
    out = subprocess.run([sys.executable, DEMO, "--n", "400", "--n-deep", "300", "--seed", "3",
                          "--out", str(png)], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert "Case 1:" in out.stdout and "Case 2:" in out.stdout
    for name in ("ols", "fit_regularized_linear", "TournamentMCMC"):
        assert out.stdout.count(name) == 2
    assert f"Plot written to {png}" in out.stdout
    with open(png, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    assert "TournamentMCMC" in out.stderr  # progress lines
