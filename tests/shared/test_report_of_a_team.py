"""orbisk-fpga report from a team's history: the newest attempt of each device, whichever laptop made it."""

import csv
import io

from orbisk_tools import open_history
from orbisk_tools.records.attempts import ImageFacts, Operator

from tests.e2e.command_line import run

IMAGE = ImageFacts("/images/fw.tbin", "ab" * 32, 1000, "0.2.4.0")


def test_a_report_reads_a_teams_history(shared, tmp_path):
    with open_history(shared) as laptop_a, open_history(shared) as laptop_b:
        first = laptop_a.start_attempt("run-1", "10.0.0.7:5025", IMAGE, 32, operator=Operator("ann", "laptop-a"))
        laptop_a.record_device(first, serial="SN-7", fpga_version_before="0.2.3.4")
        laptop_a.finish_attempt(first, "failed", reason="block_refused", device_state="erased")
        second = laptop_b.start_attempt("run-2", "10.0.0.7:5025", IMAGE, 32, operator=Operator("bob", "laptop-b"))
        laptop_b.finish_attempt(second, "updated", fpga_version_after="0.2.4.0")
    made = run("report", "--history", shared, "--csv", "-", "--html", tmp_path / "team.html")
    assert made.returncode == 0, made.stderr
    (row,) = csv.DictReader(io.StringIO(made.stdout))
    assert (row["serial"], row["fpga_version_before"], row["fpga_version_after"], row["result"], row["operator"]) == \
        ("SN-7", "0.2.3.4", "0.2.4.0", "updated", "bob on laptop-b")
    assert "laptop-b" in (tmp_path / "team.html").read_text() and shared not in made.stderr + made.stdout
