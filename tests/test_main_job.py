"""The main job's demonstration runs to its end: its own checks of what
resampling keeps (volume, turnover, first open, last close, extremes) and of
the JSON round trip hold on a year of synthetic bars and a 10,000-order log."""
import subprocess
import sys
from pathlib import Path

from support import clean_env

DEMO = Path(__file__).resolve().parents[1] / "scripts" / "demo.py"


def test_demo_resamples_through_both_paths_and_round_trips_json():
    result = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True,
                            env=clean_env(), timeout=300)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    shfe = [line for line in lines if "(SHFE)" in line]
    cffex = [line for line in lines if "(CFFEX)" in line]
    assert len(shfe) == len(cffex) == 4
    assert all("minute grid" in line for line in shfe) and all("count" in line for line in cffex)
    assert "decoded and encoded again, the text is the same" in result.stdout
    assert '"avg_price": NaN' in result.stdout
