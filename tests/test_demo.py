"""The demo: runs end to end, refuses nonsense options with a clear message, and draws a figure
whose panels are labelled, whose lines all show, and whose RMS values are the tables'."""

import importlib.util
import os
import re
import subprocess
import sys

import pytest

DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo", "demo.py")


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("zelk_demo", DEMO)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_demo_prints_both_tables_and_writes_the_plot(tmp_path):
    png = tmp_path / "demo.png"
    out = subprocess.run([sys.executable, DEMO, "--n", "400", "--n-deep", "300", "--seed", "3",
                          "--out", str(png)], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert "Case 1:" in out.stdout and "Case 2:" in out.stdout and "Case 3:" in out.stdout
    assert "stackloss" in out.stdout
    for name in ("ols", "fit_regularized_linear", "TournamentMCMC"):
        assert out.stdout.count(name) == 2
    assert "nan" not in out.stdout.lower()
    assert f"Plot written to {png}" in out.stdout
    with open(png, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    assert "TournamentMCMC" in out.stderr  # progress lines


@pytest.mark.parametrize("argv, message", [
    (["--n", "-5"], "--n: the number of samples must be between 20 and"),
    (["--n", "0"], "--n: the number of samples must be between 20 and"),
    (["--n", "2.5"], "--n: the number of samples must be a whole number, got '2.5'"),
    (["--seed", "-1"], "--seed: the seed must be between 0 and 18446744073709551615, got -1"),
    (["--seed", str(2**64)], "--seed: the seed must be between 0 and"),
    (["--outliers", "1.5"], "--outliers: the outlier share must be between 0 and 0.5"),
    (["--outliers", "-0.2"], "--outliers: the outlier share must be between 0 and 0.5"),
    (["--outliers", "nan"], "--outliers: the outlier share must be between 0 and 0.5"),
    (["--outliers", "15%"], "--outliers: the outlier share must be a number, got '15%'"),
    (["--n-deep", "-1"], "--n-deep: the number of refinement steps must be between 0 and 2147483647"),
])
def test_nonsense_options_are_refused_with_a_message(demo, capsys, argv, message):
    with pytest.raises(SystemExit) as e:
        demo.parse_args(argv)
    assert e.value.code == 2
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err


def test_options_at_their_limits_are_taken(demo):
    args = demo.parse_args(["--n", "20", "--seed", str(2**64 - 1), "--outliers", "0", "--n-deep", "0"])
    assert (args.n, args.seed, args.outliers, args.n_deep) == (20, 2**64 - 1, 0.0, 0)
    assert demo.parse_args(["--outliers", "0.5"]).outliers == 0.5


def test_help_gives_every_default(demo, capsys):
    with pytest.raises(SystemExit):
        demo.parse_args(["--help"])
    text = " ".join(capsys.readouterr().out.split())
    for option, default in [("--n", 2000), ("--seed", 7), ("--outliers", 0.15), ("--n-deep", 2000),
                            ("--out", os.path.join("out", "demo.png"))]:
        assert re.search(rf"{option} \S+ .*?\(default: {re.escape(str(default))}\)", text), option


@pytest.fixture(scope="module")
def drawn(demo):
    """The cases of a small run, their printed tables, and the figure built from them."""
    import io
    from contextlib import redirect_stdout

    import numpy as np

    args = demo.parse_args(["--n", "300", "--n-deep", "200", "--seed", "4"])
    rng = np.random.default_rng(args.seed)
    cases, out = [], io.StringIO()
    with redirect_stdout(out):
        for make in demo.CASES:
            cases.append(make(args, rng))
            demo.report(cases[-1])
    fig = demo.build_figure(cases)
    fig.canvas.draw()
    yield cases, out.getvalue(), fig
    import matplotlib.pyplot as plt
    plt.close(fig)


def test_every_panel_is_labelled(drawn):
    _, _, fig = drawn
    panels = [ax for ax in fig.axes if ax.images or ax.lines]   # not the colour bars
    assert len(panels) == 5
    curve, surfaces = panels[0], panels[1:]
    assert (curve.get_xlabel(), curve.get_ylabel()) == ("x", "y")
    for ax in surfaces:
        assert (ax.get_xlabel(), ax.get_ylabel()) == ("x0", "x1")
    for ax in panels:
        assert ax.get_title()
    colourbars = [ax for ax in fig.axes if ax not in panels]
    assert colourbars and all(ax.get_ylabel() for ax in colourbars)


def test_the_legend_keeps_off_the_data_and_every_fit_shows(drawn):
    _, _, fig = drawn
    curve = fig.axes[0]
    legend = curve.get_legend()
    assert legend is not None
    renderer = fig.canvas.get_renderer()
    box, area = legend.get_window_extent(renderer), curve.get_window_extent(renderer)
    assert not box.overlaps(area)
    lines = {line.get_label().split(" ")[0]: line for line in curve.lines}
    ols, reg = lines["ols"], lines["fit_regularized_linear"]
    # The two least-squares fits nearly coincide: ols is dashed, above the wider penalised fit.
    assert ols.get_zorder() > reg.get_zorder() and ols.get_linestyle() not in ("-", "solid")
    assert reg.get_linewidth() > ols.get_linewidth()
    assert {"truth", "TournamentMCMC"} <= set(lines)


def test_the_figure_shows_the_rms_of_the_tables(drawn):
    cases, table, fig = drawn
    texts = " ".join([ax.get_title() for ax in fig.axes] +
                     [t.get_text() for t in fig.axes[0].get_legend().get_texts()])
    for case in cases:
        for name, fit in case.fits.items():
            row = re.search(rf"^  {name} .*$", table.split(case.title)[1], re.M).group(0)
            assert f" {fit.rms:.4f} " in row                        # the table's RMS column
            assert f"RMS {fit.rms:.4f} at the inlier samples" in texts
