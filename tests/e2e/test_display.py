"""What orbisk-fpga draws on a terminal, rendered by rich itself into text."""

import io
import re

from rich.console import Console
from rich.live_render import LiveRender

from orbisk_tools.display import GuardedOutput, TerminalView, TimeLeft
from orbisk_tools.fleet import Outcome


def terminal_view(devices):
    output = GuardedOutput(io.StringIO())
    return TerminalView(output, devices, console=Console(file=output, force_terminal=True, width=120))


def screen(view, height=100):
    """The rows of the view as a terminal of `height` rows shows them."""
    console = Console(file=io.StringIO(), width=120, height=height, record=True)
    console.print(LiveRender(view.bars.get_renderable(), vertical_overflow="ellipsis"))
    return console.export_text().splitlines()


def test_one_device_shows_every_phase_from_connecting_on():
    view = terminal_view(1)
    shown = []
    view.phase("a", "connect")
    shown.append(screen(view))
    view.phase("a", "erase")
    shown.append(screen(view))
    view.progress("a", "write", 0, 0)
    view.progress("a", "write", 1000, 1000)
    shown.append(screen(view))
    view.progress("a", "verify", 0, 1000)
    shown.append(screen(view))
    view.close()
    assert [rows[0].split()[0] for rows in shown] == ["Connecting", "Erasing", "Writing", "Verifying"]
    assert "1.0/1.0 kB" in shown[2][0]


def test_the_time_left_is_for_the_whole_update():
    left = TimeLeft()
    assert left("write", 0, 0, now=100.0) is None
    assert left("write", 16, 1000, now=100.1) is None  # the first blocks tell too little
    assert left("write", 500, 1000, now=110.0) == 30.0  # half the write, then the read-back
    assert left("write", 1000, 1000, now=120.0) == 20.0  # the read-back is still to come
    assert left("verify", 1000, 1000, now=140.0) == 0.0


def fleet_of(view, states):
    """Drives `view` through devices d00, d01, ... to the given states."""
    for number, state in enumerate(states):
        address = f"d{number:02d}"
        view.phase(address, "connect")
        view.phase(address, "erase")
        view.progress(address, "write", 0, 0)
        view.progress(address, "write", 500, 1000)
        if state == "updated":
            view.progress(address, "verify", 1000, 1000)
            view.finished(Outcome(address, "updated", fpga_version="0.2.4.0"), "load")
        elif state == "failed":
            view.finished(Outcome(address, "failed", "the device refused the block"), "write")


def test_a_failed_device_shows_the_phase_it_failed_in():
    view = terminal_view(2)
    fleet_of(view, ["failed", "updated"])
    rows = screen(view)
    view.close()
    failed = next(row for row in rows if row.startswith("d00"))
    assert re.search(r"d00\s+Writing\b.*\b50%.*\bfailed\b", failed), failed
    assert "100%" not in failed and "Done" not in failed
    assert re.search(r"d01\s+Done\b.*\bupdated 0\.2\.4\.0", next(row for row in rows if row.startswith("d01")))


def test_a_fleet_larger_than_the_screen_keeps_the_count_and_the_rows_that_matter_in_view():
    view = terminal_view(30)
    states = ["updated"] * 10 + ["failed"] * 3 + ["active"] * 5
    fleet_of(view, states)
    rows = screen(view, height=20)
    view.close()
    assert rows[0] == "13 of 30 devices done, 3 failed"
    shown = [row.split()[0] for row in rows[1:] if row.startswith("d")]
    active = [f"d{n:02d}" for n in range(13, 18)]
    failed = [f"d{n:02d}" for n in range(10, 13)]
    assert shown[:8] == active + failed  # then the finished ones, as far as the screen goes
    assert len(rows) <= 20
