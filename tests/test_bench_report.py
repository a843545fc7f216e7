"""The benchmark suite's arithmetic: ratios, derived rows and verdicts (CI fails on them)."""

import importlib.util
import os

import pytest

from conftest import ROOT

spec = importlib.util.spec_from_file_location("suite", os.path.join(ROOT, "bench", "suite.py"))
suite = importlib.util.module_from_spec(spec)
spec.loader.exec_module(suite)


def group(instr, samples=None, ratios=None, targets=(), derived=()):
    return {"title": "g", "base": "base", "labels": ["base", "fast", "slow", "floor"],
            "calls": 10, "samples": samples, "ratios": ratios, "targets": list(targets),
            "derived": list(derived), "once": False}, instr


@pytest.mark.parametrize(
    "target, time_met, instr_met",
    [
        (("fast", "base", 1.10), "yes", "yes"),  # 1.05 in time, 1.05 in instructions
        (("slow", "base", 1.10), "NO", "NO"),  # 1.50, 1.50
        (("fast", "slow", 1.00), "yes", "yes"),  # a case against another: 0.70
        (("slow less floor", "base", 1.10), "yes", "yes"),  # derived: 1.50 - 0.50 = 1.00
        (("slow less floor", "fast", 0.90), "NO", "NO"),  # 1.00 / 1.05
    ],
)
def test_targets_are_judged_on_ratios_and_derived_rows(target, time_met, instr_met):
    samples = [[1.0, 2.0], [1.05, 2.1], [1.5, 3.0], [0.5, 1.0]]
    ratios = [[1.0, 1.0], [1.05, 1.05], [1.5, 1.5], [0.5, 0.5]]
    g, instr = group([100, 105, 150, 50], samples, ratios, [target],
                     [("slow less floor", "slow", "floor")])
    _, targets = suite.report([("c", [g], [instr])])
    assert (targets[0][2], targets[0][4]) == (time_met, instr_met)


def test_a_missing_count_is_not_a_pass():
    g, instr = group([100, None, 150, 50], targets=[("fast", "base", 1.10)])
    _, targets = suite.report([("c", [g], [instr])])
    assert targets[0][4] != "yes"  # suite.py --check needs "yes" from every target
