"""Writes reference arrays in the layout tests/oracle_data.h reads: for each
array, its length on one line and its values (17 significant digits) on the next."""
import numpy as np


def write(path, *arrays):
    with open(path, "w") as f:
        for a in arrays:
            a = np.asarray(a, dtype=float).ravel()
            f.write(f"{a.size}\n")
            f.write(" ".join(f"{v:.17g}" for v in a) + "\n")
