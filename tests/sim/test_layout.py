"""Sizes of columns and rows kept as painted spans: the last paint over a
line wins, and sums and common sizes follow it."""

import pytest

from com_like_sim.layout import Spans


@pytest.mark.parametrize("paints, first, last, total, common", [
    ([], 0, 9, 150.0, 15.0),
    ([(2, 4, 30.0)], 0, 9, 195.0, None),
    ([(2, 4, 30.0)], 2, 4, 90.0, 30.0),
    ([(0, 9, 20.0), (3, 3, 15.0)], 0, 9, 195.0, None),       # a later paint inside
    ([(3, 3, 40.0), (0, 9, 20.0)], 0, 9, 200.0, 20.0),       # a later paint over it
    ([(0, 5, 20.0), (4, 9, 10.0)], 3, 6, 50.0, None),         # overlapping paints
    ([(5, 5, 30.0)], 6, 5, 0.0, 15.0),                        # nothing in first..last
], ids=["none", "inside", "exact", "later-inside", "later-over", "overlap", "empty"])
def test_total_and_common(paints, first, last, total, common):
    spans = Spans(15.0)
    for a, b, size in paints:
        spans.paint(a, b, size)
    assert spans.total(first, last) == total
    if last >= first:
        assert spans.common(first, last) == common


def test_a_paint_over_others_replaces_them():
    spans = Spans(48.0)
    for col in range(100):
        spans.paint(col, col, 10.0)
    spans.paint(0, 16383, 20.0)
    assert len(spans.spans) == 1 and spans.total(0, 9) == 200.0
