"""Warnings of the zelk estimators (scikit-learn's ``ConvergenceWarning`` covers iteration limits)."""


class ExactFitWarning(UserWarning):
    """More than half of the samples lie exactly on the fitted model.

    A high-breakdown fit passes through such a majority whenever one exists, whatever the other
    samples say (tied or discrete targets produce this as readily as noiseless data). The fit is
    reported as it is; when its residual scale is 0 the standard errors cannot be estimated and
    are NaN.
    """


class RankDeficientWarning(UserWarning):
    """The data cannot identify some coefficients (constant or collinear columns, or fewer
    samples than coefficients).

    The fit leaves the directions the data do not fix at zero, so predictions are unaffected;
    the standard errors of the coefficients that depend on those directions are NaN.
    """
