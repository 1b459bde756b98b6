"""orbisk-fpga report: a site's report for its customer, from the history of real updates of an
emulated site of 60 devices and a final read-back, opened, dumped and printed by a real headless
Chromium that must fetch nothing; its CSV; hostile text from the history kept as text; the
files it refuses to write."""

import csv
import io
import json
import os
import re
import shutil
import subprocess
from html.parser import HTMLParser

import pytest

from orbisk_tools.formats.signed_image import pack
from orbisk_tools.records.attempts import ImageFacts, Operator
from orbisk_tools.records.history import History

from tests.e2e.command_line import run, site

DEVICES = 60
# Devices 10, 20, ... refuse their first block for ever, device 5 falls silent after it is erased; the
# first wave of devices 51 to 60 (device 51) fails, so the others are not started.
FAULTS = "every 10 --refuse-block 0 --refuse-times 0\n5 --silent-after 8\n51 --refuse-block 0 --refuse-times 0\n"
TAGGED = {1: "rack1 north", 2: "rack1", 3: "rack2 south"}
RESULTS = {"failed": 7, "not started": 9, "skipped": 4, "updated": 40}
CHROMIUM = shutil.which("chromium")
SANITIZER_ENVIRONMENT = {"LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}


@pytest.fixture(scope="module")
def site_a(tmp_path_factory):
    """A site of 60 emulated devices, still served, whose history holds real updates: 40 updated, 4
    skipped (updated, then found to run the image), 7 failed (6 with a block refused, one silent),
    9 not started; (folder, its history, the list of its devices with tags on three, the image)."""
    folder = tmp_path_factory.mktemp("site-a")
    image, history = folder / "fpga.tbin", folder / "history.sqlite3"
    image.write_bytes(pack(os.urandom(2000), 32))
    with site(folder, DEVICES, FAULTS, "--new-fpga-version", "0.2.4.0") as emulated:
        listing = folder / "site-a.txt"
        listing.write_text("".join(f"{address} {TAGGED.get(number, '')}\n"
                                   for number, address in enumerate(emulated.addresses, 1)))
        first, rest = folder / "first.txt", folder / "rest.txt"
        first.write_text("\n".join(emulated.addresses[:50]))
        rest.write_text("\n".join(emulated.addresses[50:]))
        update = ("update", "--history", history, "--yes", "--timeout", 1)
        run(*update, "--addresses", first, "--jobs", 16, image)
        run(*update, *(f"--address={address}" for address in emulated.addresses[:4]), image)
        run(*update, "--addresses", rest, "--waves", "1,100%", image)
        yield folder, history, listing, image


def report(site_a, *options):
    folder, history, listing, image = site_a
    return run("report", "--history", history, "--addresses", listing, *options)


# ---- in a browser ---------------------------------------------------------------------------

def chromium(tmp_path, *arguments):
    """Runs headless Chromium with a profile of its own, its own traffic (updates, accounts) sent
    to a dead port on loopback and every name left unresolved, so that nothing leaves the computer."""
    root = ["--no-sandbox"] if os.geteuid() == 0 else []
    # A sanitizer run preloads its runtime into our processes; the browser is not ours to check.
    env = {name: value for name, value in os.environ.items() if name not in SANITIZER_ENVIRONMENT}
    return subprocess.run([CHROMIUM, "--headless", "--disable-gpu", *root, f"--user-data-dir={tmp_path / 'profile'}",
                           "--no-first-run", "--disable-background-networking", "--disable-component-update",
                           "--disable-sync", "--proxy-server=127.0.0.1:9", "--host-resolver-rules=MAP * ~NOTFOUND",
                           *arguments], capture_output=True, text=True, timeout=120, env=env)


class Tables(HTMLParser):
    """The rows of each table of a page, by its class: [[cell text, ...], ...]."""

    def __init__(self, page):
        super().__init__()
        self.tables, self.path, self.cell = {}, [], None
        self.feed(page)

    def handle_starttag(self, tag, attributes):
        if tag == "table":
            self.path.append(dict(attributes).get("class") or "")
            self.tables.setdefault(self.path[-1], [])
        elif tag == "tr" and self.path:
            self.tables[self.path[-1]].append([])
        elif tag in ("td", "th") and self.path:
            self.cell = ""

    def handle_endtag(self, tag):
        if tag == "table":
            self.path.pop()
        elif tag in ("td", "th") and self.cell is not None:
            self.tables[self.path[-1]][-1].append(self.cell.strip())
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data


def page_requests(net_log):
    """The URLs a page asked for, from a Chromium net log (the browser's own requests have no origin)."""
    log = json.loads(net_log.read_text())
    start = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
    return [event["params"]["url"] for event in log["events"]
            if event["type"] == start and event.get("params", {}).get("initiator") not in (None, "not an origin")]


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed (CI installs it)")
def test_a_sites_report_opens_prints_and_fetches_nothing_in_a_browser(site_a, tmp_path):
    page = tmp_path / "site-a.html"
    made = report(site_a, "--verify", site_a[3], "--html", page)
    assert (made.returncode, made.stdout, made.stderr) == (0, f"Report of {DEVICES} devices written to {page}\n", "")
    text = page.read_text()
    assert not re.search(r"https?:|//|url\(|src=|<script|<link", text, re.I)

    dumped = chromium(tmp_path, f"--log-net-log={tmp_path / 'net.json'}", "--dump-dom", page.as_uri())
    tables = Tables(dumped.stdout).tables
    rows = tables["devices"][1:]
    assert len(rows) == DEVICES
    first = site_a[2].read_text().split()[0]
    assert rows[0][1:6] == [first, "rack1 north", "0.2.3.4", "0.2.4.0", "skipped (already loaded)"]
    assert rows[0][0] == f"VORN-{int(first.rpartition(':')[2]):06}" and rows[0][9] == "runs"
    assert rows[9][5] == "failed (block refused)" and rows[9][9].startswith("differs at byte offset")
    assert rows[51][3:6] == ["-", "0.2.3.4", "not started"]  # the version it reports at the read-back
    assert {row[8] for row in rows[:51]} == {next(row[8] for row in rows)}  # one image, shortened with "…"
    assert rows[0][8].endswith("…") and len(rows[0][8]) == 13
    result_totals, verdict_totals = (dict(map(tuple, table)) for table in
                                     (tables["totals-results"], tables["totals-verdicts"]))
    assert result_totals == {"Devices": str(DEVICES), **{result: str(n) for result, n in RESULTS.items()}}
    assert verdict_totals["runs"] == "44" and sum(map(int, verdict_totals.values())) == DEVICES
    assert page_requests(tmp_path / "net.json") == []

    shot = tmp_path / "site-a.png"
    chromium(tmp_path, f"--screenshot={shot}", "--window-size=1280,1600", page.as_uri())
    png = shot.read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and (int.from_bytes(png[16:20]), int.from_bytes(png[20:24])) == (1280, 1600)

    pdf = tmp_path / "site-a.pdf"
    chromium(tmp_path, f"--print-to-pdf={pdf}", "--no-pdf-header-footer", page.as_uri())
    printed = pdf.read_bytes()
    pages = len(re.findall(rb"/Type\s*/Page\b(?!s)", printed))
    assert printed.startswith(b"%PDF-") and pages > 1  # 60 rows take more than one A4 page
    assert re.search(rb"/MediaBox\s*\[0 0 841\.9\d* 594\.9\d*\]", printed)  # A4, landscape


# ---- CSV, and what the history holds ---------------------------------------------------------

def csv_rows(path):
    return list(csv.DictReader(io.StringIO(path.read_text(encoding="utf-8"), newline="")))


def test_the_csv_holds_the_same_rows_with_the_whole_sha256(site_a, tmp_path):
    table, page = tmp_path / "site-a.csv", tmp_path / "site-a.html"
    made = report(site_a, "--csv", table, "--html", page)
    assert made.stdout == f"Report of 60 devices written to {page}\nReport of 60 devices written to {table}\n"
    rows = csv_rows(table)
    html_rows = Tables(page.read_text()).tables["devices"][1:]
    assert [[row[name] or "-" for name in ("serial", "address", "tags")] for row in rows] == \
        [row[:3] for row in html_rows]
    assert {row["result"] for row in rows} == set(RESULTS) and "verdict" not in rows[0]
    assert re.fullmatch(r"[0-9a-f]{64}", rows[0]["image_sha256"]) and rows[0]["image_sha256"].startswith(
        html_rows[0][8].rstrip("…"))
    assert [rows[51][name] for name in ("fpga_version_before", "fpga_version_after", "result")] == [
        "", "", "not started"]  # never asked
    silent = rows[4]
    assert (silent["result"], silent["reason"], silent["fpga_version_before"]) == ("failed", "timeout", "0.2.3.4")
    assert silent["message"]


def test_text_of_the_history_stays_text_and_the_report_speaks_of_the_span(tmp_path):
    history = tmp_path / "history.sqlite3"
    image = ImageFacts("/images/fpga.tbin", "ab" * 32, 1000, "0.2.4.0")
    with History.open(history) as records:
        old = records.start_attempt("run-0", "10.0.0.7:5025", image, 32, operator=Operator("=cmd", "laptop"))
        records.finish_attempt(old, "failed", reason="timeout")
        hostile = records.start_attempt("run-1", "10.0.0.7:5025", image, 32, operator=Operator("field", "@laptop"))
        records.record_device(hostile, serial='<script>alert("x")</script>', fpga_version_before="+1.0")
        records.finish_attempt(hostile, "updated", fpga_version_after="=HYPERLINK(\"x\")", message="-2+3")
        dry = records.start_attempt("run-2", "10.0.0.7:5025", image, 32)
        records.finish_attempt(dry, "dry run")
    listing = tmp_path / "site-b.txt"
    listing.write_text("10.0.0.7 rack1\n10.0.0.8 rack2\n")
    page, table = tmp_path / "b.html", tmp_path / "b.csv"
    made = run("report", "--history", history, "--addresses", listing, "--html", page, "--csv", table)
    assert made.returncode == 0, made.stderr
    text = page.read_text()
    assert "<script" not in text and "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;" in text
    assert "<h1>FPGA update report: site-b.txt</h1>" in text and "every recorded attempt" in text
    rows = csv_rows(table)
    assert [(row["serial"], row["fpga_version_before"], row["fpga_version_after"], row["result"], row["message"],
             row["operator"]) for row in rows] == [
        ('<script>alert("x")</script>', "'+1.0", "'=HYPERLINK(\"x\")", "updated", "'-2+3", "field on @laptop"),
        ("", "", "", "no attempt recorded", "", "")]  # the dry run after the update is passed over
    assert rows[1]["address"] == "10.0.0.8:5025" and rows[1]["tags"] == "rack2"

    # every device the history has: the one device, its attempts before the span left out
    later = run("report", "--history", history, "--since", "2000-01-01", "--until", "9999-01-01", "--csv", "-")
    assert [row["address"] for row in csv.DictReader(io.StringIO(later.stdout))] == ["10.0.0.7:5025"]
    assert later.stderr == "Report of 1 device written to standard output\n"
    none = run("report", "--history", history, "--until", "2000-01-01", "--csv", tmp_path / "none.csv")
    assert (none.returncode, none.stderr) == (1, "orbisk-fpga: error: no device has an attempt recorded in the "
                                                 "span; check --since and --until, or --history\n")
    assert not (tmp_path / "none.csv").exists()


def test_a_report_never_replaces_an_input_and_needs_a_history_and_a_file(tmp_path, private_history):
    listing = tmp_path / "site.txt"
    listing.write_text("10.0.0.7\n")
    with History.open(private_history) as records:
        records.finish_attempt(records.start_attempt("run-1", "10.0.0.7:5025"), "updated")
    before = private_history.read_bytes()
    refusals = {
        ("--addresses", listing, "--html", listing): f"--html {listing} is the same file as {listing}, an input "
                                                     "of this run; name another file for the results",
        ("--csv", private_history): f"--csv {private_history} is the same file as {private_history}, an input of "
                                    "this run; name another file for the results",
        ("--html", tmp_path / "r", "--csv", tmp_path / "r"): f"--html {tmp_path / 'r'} and --csv {tmp_path / 'r'} "
                                                             "name the same place; give each its own",
        ("--address", "10.0.0.7",): "name the report's file: --html FILE, --csv FILE, or both",
        ("--tag", "rack1", "--csv", "-"): "--tag chooses among the devices of an address list; name it with "
                                          "--addresses FILE",
    }
    for options, said in refusals.items():
        refused = run("report", *options)
        assert (refused.returncode, refused.stderr) == (2, f"orbisk-fpga report: error: {said}; see orbisk-fpga "
                                                           "report --help\n")
    assert private_history.read_bytes() == before and listing.read_text() == "10.0.0.7\n"
    missing = run("report", "--history", tmp_path / "none.sqlite3", "--html", tmp_path / "r.html")
    assert (missing.returncode, missing.stderr) == (1, f"orbisk-fpga: error: no update history at "
                                                       f"{tmp_path / 'none.sqlite3'}: nothing was recorded there yet\n")
    assert not (tmp_path / "none.sqlite3").exists() and not (tmp_path / "r.html").exists()
    os.symlink(tmp_path / "elsewhere", tmp_path / "link.html")
    linked = run("report", "--html", tmp_path / "link.html")
    assert linked.returncode == 0 and (tmp_path / "link.html").is_file() and not (tmp_path / "elsewhere").exists()
