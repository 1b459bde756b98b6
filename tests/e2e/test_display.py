"""What orbisk-fpga draws on a terminal, rendered by rich itself into text."""

import io
import re

from rich.console import Console
from rich.live_render import LiveRender
from rich.text import Text

from orbisk_tools.report import live
from orbisk_tools.cli.status import print_table
from orbisk_tools.engine.inspection import DeviceStatus
from orbisk_tools.report.live import TerminalView
from orbisk_tools.report.site import TimeLeft
from orbisk_tools.report.output import GuardedOutput
from orbisk_tools.report.summary import site_summary, summary_table
from orbisk_tools.engine.outcomes import Outcome

IPV6 = "[fd00::1]:5025"  # never contacted: these tests draw rows and tables only


def terminal_view(devices, width=120):
    output = GuardedOutput(io.StringIO())
    return TerminalView(output, devices, console=Console(file=output, force_terminal=True, width=width))


def screen(view, height=100, width=120):
    """The rows of the view as a terminal of `height` rows shows them."""
    console = Console(file=io.StringIO(), width=width, height=height, record=True)
    console.print(LiveRender(view.bars.get_renderable(), vertical_overflow="ellipsis"))
    return console.export_text().splitlines()


class Terminal(io.StringIO):
    def isatty(self):
        return True


def on_terminal(print_it, monkeypatch, width=80):
    """The lines that print_it(output) shows on a terminal `width` columns wide."""
    monkeypatch.setenv("COLUMNS", str(width))
    output = Terminal()
    print_it(GuardedOutput(output))
    return [line.rstrip() for line in Text.from_ansi(output.getvalue()).plain.splitlines()]


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
    view = terminal_view(live.SITE_DEVICES)  # the largest fleet that still gets a row per device
    states = ["updated"] * 10 + ["failed"] * 3 + ["active"] * 5
    fleet_of(view, states)
    rows = screen(view, height=20)
    view.close()
    assert rows[0] == f"13 of {live.SITE_DEVICES} devices done, 3 failed"
    shown = [row.split()[0] for row in rows[1:] if row.startswith("d")]
    active = [f"d{n:02d}" for n in range(13, 18)]
    failed = [f"d{n:02d}" for n in range(10, 13)]
    assert shown[:8] == active + failed  # then the finished ones, as far as the screen goes
    assert len(rows) <= 20


def test_live_rows_stay_one_line_at_80_columns_and_a_finished_row_shows_no_time_left(monkeypatch):
    monkeypatch.setattr(live, "REDRAW_SECONDS", 0)  # every step drawn: a rate appears
    view = terminal_view(3, width=80)
    for address in ("127.0.0.1:40123", IPV6, "127.0.0.1:40125"):
        view.phase(address, "erase")
        view.progress(address, "write", 0, 0)
        view.progress(address, "write", 400, 1000)
        view.progress(address, "write", 1000, 1000)  # a rate, and the time left
    view.finished(Outcome("127.0.0.1:40125", "updated", fpga_version="0.2.4.0"), "load")
    rows = screen(view, width=80)
    view.close()
    assert len(rows) == 4 and all(len(row) <= 80 for row in rows)
    assert [row.split()[0] for row in rows[1:]] == ["127.0.0.1:40123", IPV6, "127.0.0.1:40125"]
    assert re.search(r"/s\s+0:00:\d\d left$", rows[1].rstrip()), rows[1]
    assert rows[3].rstrip().endswith("updated 0.2.4.0") and "left" not in rows[3] and "?" not in rows[3]


def test_markup_in_device_text_and_an_ipv6_address_are_shown_as_they_are(monkeypatch):
    view = terminal_view(2)
    view.phase(IPV6, "connect")
    view.phase("127.0.0.1:40123", "connect")
    view.finished(Outcome("127.0.0.1:40123", "updated", fpga_version="[/x]"), "load")
    view.note("[bold]bold[/bold] :smile:")
    rows = screen(view)
    view.close()
    assert rows[1].startswith(IPV6) and rows[2].rstrip().endswith("updated [/x]")
    assert "[bold]bold[/bold] :smile:" in view.output.stream.getvalue()

    status = on_terminal(lambda output: print_table(output, [DeviceStatus(IPV6, problem="cannot connect [/x]")]),
                         monkeypatch)
    assert status[2].startswith(f"{IPV6}  -") and status[3] == "  cannot connect [/x]"
    summary = on_terminal(lambda output: summary_table([Outcome("127.0.0.1:40123", "updated"),
                                                        Outcome(IPV6, "failed", fpga_version_before="[/x]")], output),
                          monkeypatch)
    assert re.fullmatch(rf"{re.escape(IPV6)}\s+failed\s+-\s+\[/x\]\s+0\.0 s", summary[2])  # failures first


# ---- a site: totals, not a row per device ---------------------------------------------------

def site_address(number):
    return f"127.0.{number // 200}.{number % 200 + 1}:{40000 + number}"


REFUSED = "the device refused the block at byte offset 0 10 times; " + "run the update again " * 4


def test_a_site_of_300_shows_its_totals_the_newest_failures_and_the_slowest_devices_at_80x24():
    view = terminal_view(300, width=80)
    for number in range(250):  # 200 done, of which 10 failed; 50 running; 50 not started
        address = site_address(number)
        view.phase(address, "connect")
        view.phase(address, "erase")
        view.progress(address, "write", 0, 0)
        view.progress(address, "write", 100 + number, 1000)
        if number < 200:
            view.progress(address, "write", 1000, 1000)
            view.progress(address, "verify", 1000, 1000)
            view.finished(Outcome(address, "failed", REFUSED) if number % 20 == 0 else Outcome(address, "updated"),
                          "write")
    rows = screen(view, height=24, width=80)
    view.close()
    assert len(rows) <= 23 and all(len(row) <= 80 for row in rows), rows
    assert rows[0] == "200 of 300 devices done, 10 failed, 50 running, 50 not started"
    assert rows[1].startswith(f"{(200 * 1000 + sum(100 + n for n in range(200, 250))) / 1000:.1f} kB written, ")
    failed_at = rows.index("Failed, newest first (10):")
    running_at = next(n for n, row in enumerate(rows) if row == "Slowest of the 50 running:")
    failed = rows[failed_at + 1:running_at]
    newest = [site_address(n) for n in range(180, -1, -20)][:len(failed)]
    assert failed and [row.split()[0] for row in failed] == newest  # each address whole
    assert all(row.startswith(f"  {address}  failed: the device refused the block") for row, address in
               zip(failed, newest))
    running = rows[running_at + 1:]
    assert running and all(re.match(r"  127\.0\.\d\.\d+:4\d{4}  Writing\s+\d+%", row) for row in running), running


def test_the_totals_of_a_site_count_every_device_and_its_bytes():
    site = live.SiteTally(30)
    site.phase("a", "connect", now=0.0)
    site.phase("b", "connect", now=0.0)
    assert site.totals(now=0.0) == ("0 of 30 devices done, 0 failed, 2 running, 28 not started", "0 bytes written")
    site.progress("a", "write", 500, 1000, now=10.0)
    site.progress("b", "write", 1000, 1000, now=15.0)
    site.progress("b", "verify", 1000, 1000, now=20.0)
    site.finished(Outcome("b", "updated"))
    site.finished(Outcome("c", "not started", "not started: 1 device failed"))
    # 1,500 bytes written in 20 s; 2,500 of the site's moved: a's 1,500 and 27 × 2,000 are left
    assert site.totals(now=20.0) == ("1 of 30 devices done, 0 failed, 1 running, 28 not started",
                                     "1.5 kB written, 75 bytes/s, 0:07:24 left")


def test_a_site_on_a_pipe_gives_each_device_its_line_and_the_totals_at_each_tenth():
    output = GuardedOutput(io.StringIO())
    view = live.view_for(output, 30)
    for number in range(30):
        address = site_address(number)
        view.phase(address, "connect")
        view.progress(address, "write", 1000, 1000)
        view.finished(Outcome(address, "failed", "cannot connect: refused") if number == 4 else
                      Outcome(address, "updated"), "load")
    lines = [line.split(" ", 1)[1] for line in output.stream.getvalue().splitlines()]
    assert [line for line in lines if line.startswith("127.")] == [
        f"{site_address(n)}  {'failed: cannot connect: refused' if n == 4 else 'updated'}" for n in range(30)]
    totals = [line for line in lines if not line.startswith("127.")]
    assert len(totals) == 10 and totals[-1].startswith("30 of 30 devices done, 1 failed, 0 running, 0 not started; ")


def test_the_summary_of_a_site_groups_its_results_failures_first_and_fits_80x24(monkeypatch):
    monkeypatch.setenv("LINES", "24")
    advice = "the device still runs its previous FPGA image until it restarts; run the update again"
    outcomes = [Outcome(site_address(n), "updated", fpga_version="0.2.4.0") for n in range(30)]
    for n in (3, 7, 29):
        outcomes[n] = Outcome(site_address(n), "failed", f"the device refused the block at byte offset {n} 10 times; "
                                                       f"{advice}", reason="block_refused")
    outcomes[12] = Outcome(site_address(12), "failed", "cannot connect: connection refused", reason="cannot_connect")
    outcomes[20:22] = [Outcome(site_address(n), "not started", "not started: 4 devices failed; the device was not "
                                                               "changed", reason="not_started") for n in (20, 21)]
    outcomes[25] = Outcome(site_address(25), "skipped", "already holds this image", reason="already_loaded")
    lines = on_terminal(lambda output: site_summary(outcomes, output), monkeypatch)
    assert len(lines) <= 24 and all(len(line) <= 80 for line in lines), lines
    assert lines[0] == "FPGA update summary: 30 devices"
    groups = " ".join(" ".join(lines[1:lines.index("Failed:")]).split())  # each group's words, wrapped or not
    assert groups == (f"3 failed, block refused: {advice} 1 failed, cannot connect 2 not started: 4 devices failed; "
                      "the device was not changed 1 verified and skipped 23 updated")
    failed = lines[lines.index("Failed:") + 1:]  # a long line goes on under its text, the address whole
    assert [line.split()[0] for line in failed if not line.startswith(" ")] == [site_address(n) for n in (3, 7, 12, 29)]
    assert " ".join(" ".join(failed).split()) == " ".join(
        f"{site_address(n)} failed: the device refused the block at byte offset {n} 10 times" if n != 12 else
        f"{site_address(n)} failed: cannot connect: connection refused" for n in (3, 7, 12, 29))

    every = on_terminal(lambda output: site_summary(outcomes, output, verbose=True), monkeypatch)
    assert any("Each device" in line for line in every) and all(any(line.startswith(o.address) for line in every) for o in outcomes)
