"""The DataFrame helpers' own rules, without a workbook: which number
formats are dates, and that the module needs no websockets."""

import subprocess
import sys

import pytest

from com_like_host.dataframes import is_date_format


@pytest.mark.parametrize("fmt", [
    "yyyy-mm-dd", "m/d/yyyy", "d-mmm-yy", "mmm", "mmmm yyyy", "dd/mm/yyyy hh:mm", "[$-409]mmmm d, yyyy",
    "[Red]yyyy-mm-dd", "yyyy-mm-dd;@", 'dd"."mm"."yyyy', "DD/MM/YYYY", "yyyy-mm-dd hh:mm:ss.000",
])
def test_date_formats(fmt):
    assert is_date_format(fmt)


@pytest.mark.parametrize("fmt", [
    "General", "general", "", "@", "0.00", "#,##0", "0%", "0.00E+00", "$#,##0.00", "hh:mm", "h:mm:ss AM/PM",
    "[h]:mm:ss", "mm:ss", '0.0 "days"', '"Day "0', "\\d0", "_(* #,##0_)", "[Red]0.00", None, 7,
])
def test_other_formats(fmt):
    assert not is_date_format(fmt)


def test_importable_without_websockets():
    code = ("import sys; sys.modules['websockets'] = None\n"
            "import com_like_host.dataframes as d; print(d.read_frame.__name__)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         env={"PYTHONPATH": ":".join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "read_frame"
