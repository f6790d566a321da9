"""The demo: runs end to end, refuses nonsense options (the figure's path included) with a clear
message before any work, and draws a figure whose panels are labelled, whose lines all show,
whose RMS values are the tables', and which shows the robust estimator's flags and intervals."""

import importlib.util
import os
import re
import subprocess
import sys

import numpy as np
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
    for function, name in [("ols", "least squares"), ("fit_regularized_linear", "penalised least squares"),
                           ("TournamentMCMC", "robust (sampler)")]:
        assert out.stdout.count(function) == 2
        assert len(re.findall(rf"^  {re.escape(name)} +{function} ", out.stdout, re.M)) == 2
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
    (["--out", "/proc/x.png"], "--out: cannot write the figure to '/proc/x.png'"),
    (["--out", "/dev/null/x.png"], "--out: cannot write the figure to '/dev/null/x.png'"),
    (["--out", "figure.xyz"], "--out: the figure's file name must end in one of"),
    (["--out", "out"], "--out: the figure's file name must end in one of"),
])
def test_nonsense_options_are_refused_with_a_message(demo, capsys, argv, message):
    with pytest.raises(SystemExit) as e:
        demo.parse_args(argv)
    assert e.value.code == 2
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err


def test_a_bad_figure_path_stops_the_demo_before_any_work():
    out = subprocess.run([sys.executable, DEMO, "--out", "/proc/x.png"], capture_output=True, text=True, timeout=60)
    assert out.returncode == 2 and out.stdout == ""
    assert "cannot write the figure" in out.stderr and "Traceback" not in out.stderr


def test_a_figure_path_in_a_new_folder_is_taken_and_left_clean(demo, tmp_path):
    path = tmp_path / "new" / "fig.svg"
    assert demo.parse_args(["--out", str(path)]).out == str(path)
    assert (tmp_path / "new").is_dir() and not path.exists()


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


def panels(fig):
    return [ax for ax in fig.axes if ax.images or ax.lines]   # not the colour bars


def test_every_panel_is_labelled(drawn):
    _, _, fig = drawn
    curve, *maps, residuals, slopes = panels(fig)
    assert len(maps) == 4
    assert (curve.get_xlabel(), curve.get_ylabel()) == ("x", "y")
    for ax in maps:
        assert (ax.get_xlabel(), ax.get_ylabel()) == ("x0", "x1")
    assert residuals.get_xlabel() == "day" and residuals.get_ylabel() and slopes.get_xlabel()
    for ax in panels(fig):
        assert ax.get_title()
    colourbars = [ax for ax in fig.axes if ax not in panels(fig)]
    assert len(colourbars) == 2 and all(ax.get_ylabel() for ax in colourbars)


def test_maps_are_one_size_with_colour_bars_as_tall_as_they_are(drawn):
    _, _, fig = drawn
    renderer = fig.canvas.get_renderer()
    maps = panels(fig)[1:5]
    boxes = [ax.get_window_extent(renderer) for ax in maps]
    assert max(b.width for b in boxes) - min(b.width for b in boxes) < 1
    assert all(abs(b.width - b.height) < 1 for b in boxes)
    for bar in [ax for ax in fig.axes if ax not in panels(fig)]:
        box = bar.get_window_extent(renderer)
        assert abs(box.height - boxes[0].height) < 1
        # no map's title runs into a colour bar
        assert not any(ax.title.get_window_extent(renderer).overlaps(box) for ax in maps)


def test_the_legend_keeps_off_the_data_and_every_fit_shows(drawn):
    _, _, fig = drawn
    curve = fig.axes[0]
    legend = curve.get_legend()
    assert legend is not None
    renderer = fig.canvas.get_renderer()
    box, area = legend.get_window_extent(renderer), curve.get_window_extent(renderer)
    assert not box.overlaps(area)
    lines = {line.get_label().split(" (RMS")[0]: line for line in curve.lines}
    assert set(lines) == {"truth", "least squares", "penalised least squares", "robust (sampler)"}
    ls, reg, robust, truth = (lines[k] for k in ("least squares", "penalised least squares", "robust (sampler)",
                                                  "truth"))
    # The two least-squares fits nearly coincide: least squares is dashed, above the wider penalised fit.
    assert ls.get_zorder() > reg.get_zorder() and ls.get_linestyle() not in ("-", "solid")
    assert reg.get_linewidth() > ls.get_linewidth()
    # The robust fit follows the truth: it is drawn on top of it, narrower, so both show.
    assert robust.get_zorder() > truth.get_zorder() and truth.get_linewidth() > 2 * robust.get_linewidth()


def test_the_stackloss_row_shows_the_estimators_flags_and_intervals(drawn):
    cases, table, fig = drawn
    model = cases[-1].data["zelk"]["model"]
    residuals, slopes = panels(fig)[-2:]
    flagged = next(line for line in residuals.lines if "flagged" in line.get_label())
    np.testing.assert_array_equal(flagged.get_xdata(), np.flatnonzero(~model.inlier_mask_) + 1)
    robust_bars = next(c for c in slopes.containers if "zelk" in c.get_label())
    segments = robust_bars.lines[2][0].get_segments()   # one horizontal bar per slope
    bounds = np.array([[seg[0][0], seg[1][0]] for seg in segments])
    np.testing.assert_allclose(bounds, model.conf_int()[1:], rtol=1e-12)
    assert "stackloss" in table and "[1, 3, 4, 21]" in table


def test_the_figure_shows_the_rms_of_the_tables(drawn):
    cases, table, fig = drawn
    texts = " ".join([ax.get_title() for ax in fig.axes] +
                     [t.get_text() for t in fig.axes[0].get_legend().get_texts()])
    for case in cases:
        for name, fit in case.fits.items():
            row = re.search(rf"^  {re.escape(name)} .*$", table.split(case.title)[1], re.M).group(0)
            assert f" {fit.rms:.4f} " in row                        # the table's RMS column
            assert f"RMS {fit.rms:.4f} at the inlier samples" in texts
