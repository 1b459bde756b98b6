"""Fuzz target: an exported update history, as `orbisk-fpga history --import` reads it.

Each input scripts a file from another computer: any bytes, or an export whose fields, those of
the document and those of its attempts, are replaced by fuzzed JSON values (texts, numbers of any
size, infinities, times, lists, objects, nothing), dropped, or joined by fields it does not know.
It goes through exchange.read_attempts, and what that accepts into a new history through
History.import_attempts, twice, then out again through exchange.exported and back in.

What must hold, whatever the file:
- read_attempts returns the attempts, each with every field of the history but its id, or raises
  Refused with one line that names the file; nothing else escapes.
- The history takes whatever read_attempts accepts: each attempt once, the first of those that
  share a uid, however often it is imported; each reads back as it was read.
- A history exported reads back as the same attempts (the origin of those recorded in it being
  the exporting computer).

    python fuzz/fuzz_history_files.py -max_total_time=60
"""

import dataclasses
import json
import os
import shutil
import tempfile

from fuzz_harness import FuzzInput, FuzzScript, expect, expect_one_line, run, scratch_directory
from orbisk_tools.records import exchange
from orbisk_tools.records.history import History

workdir = scratch_directory("history_files")
FILE = os.path.join(workdir, "exported.json")
UIDS = ["5b0c1f8e-6a43-4b6e-9d3f-0e2a7c1d4b55", "00000000-0000-4000-8000-000000000000",
        "5B0C1F8E-6A43-4B6E-9D3F-0E2A7C1D4B55"]
TIMES = ["2026-12-09T02:15:00+00:00", "2026-12-09T02:15:00", "2026-12-09", "2026-12-09T02:15:00.5-07:30",
         "9999-12-31T23:59:59-01:00", "0001-01-01T00:30:00+01:00", "20261209T021500Z", "2026-12-09 02:15Z"]
NUMBERS = [0, -1, 999, 1000, 2**63 - 1, 2**63, 10**400, 0.5, float("inf"), float("nan"), -0.0, 1e308]
GOOD = {
    "uid": UIDS[0], "origin": "laptop-b", "run_id": "20261209T021500Z-3fa9c1", "started": TIMES[0],
    "ended": "2026-12-09T02:16:40+00:00", "operator_user": "field", "operator_host": "laptop-b", "pid": 4242,
    "process_start": "1280422", "tool_version": "0.1.0", "module_version": "0.1.0", "address": "192.168.1.20:5025",
    "serial": "VORN-000001", "fpga_id": "0x0362D093", "device_type": 32, "fpga_version_before": "0.2.3.4",
    "control_fw_version_before": "0.1.0.6", "fpga_version_after": "0.2.4.0", "control_fw_version_after": "0.1.0.6",
    "image_path": "/images/fpga.tbin", "image_sha256": "ab" * 32, "image_size": 16389, "image_header_version": None,
    "window_size": 512, "bytes_written": 16293, "seconds": 12.5, "phase": "done", "device_state": "loaded",
    "outcome": "updated", "reason": None, "message": "", "vendor_key_id": None,
}
ATTEMPT_FIELDS = [*GOOD, "extra"]
DOCUMENT_FIELDS = ["format", "version", "exported", "attempts", "extra"]
KINDS = ["null", "truth", "number", "text", "time", "uid", "list", "object", "word"]
WORDS = ["updated", "running", "erase", "erased", "loaded", "timeout", "a:1", "[::1]:5025", "host name:1",
         "orbisk-fpga update history", "ab" * 32, ""]


def value(script, depth=0):
    """A JSON value of a kind the script chooses."""
    kind = script.choice(KINDS)
    if kind == "null":
        return None
    if kind == "truth":
        return script.choice([True, False])
    if kind == "number":
        return script.choice(NUMBERS)
    if kind == "text":
        return script.text(80)
    if kind == "time":
        return script.choice(TIMES)
    if kind == "uid":
        return script.choice(UIDS)
    if kind == "word":
        return script.choice(WORDS)
    items = [value(script, depth + 1) for _ in range(script.number(3))] if depth < 3 else []
    return items if kind == "list" else {str(index): item for index, item in enumerate(items)}


def mutated(script, record, names):
    for _ in range(script.number(4)):
        name = script.choice(names)
        if script.choice(["set", "drop"]) == "drop":
            record.pop(name, None)
        else:
            record[name] = value(script)
    return record


def file_content(script):
    if script.choice(["built", "bytes"]) == "bytes":
        return script.bytes(1500)
    attempts = [mutated(script, {**GOOD, "uid": script.choice(UIDS)}, ATTEMPT_FIELDS) for _ in range(script.number(4))]
    document = {"format": exchange.FORMAT, "version": exchange.VERSION, "exported": TIMES[0], "attempts": attempts}
    return json.dumps(mutated(script, document, DOCUMENT_FIELDS)).encode()


def read_back(rows):
    """Each of `rows` once per uid, the first of them, as the history should hold it."""
    first = {}
    for row in rows:
        first.setdefault(row["uid"], row)
    return first


def stored(history):
    found = {}
    for attempt in history.attempts():
        row = dataclasses.asdict(attempt)
        del row["id"]
        found[row["uid"]] = row
    return found


def check(data):
    script = FuzzInput(data)
    with open(FILE, "wb") as file:
        file.write(file_content(script))
    try:
        rows = exchange.read_attempts(FILE)
    except exchange.Refused as refused:
        expect_one_line(str(refused), "a refused file")
        expect(str(refused).startswith(FILE), "a refusal that does not name the file", str(refused))
        return
    expect(isinstance(rows, list) and all(row.keys() == exchange.FIELDS.keys() for row in rows),
           "read_attempts returned what is no attempts", rows)
    folder = tempfile.mkdtemp(dir=workdir)
    try:
        with History.open(os.path.join(folder, "history.sqlite3")) as history:
            expect(history.import_attempts(rows) == len(read_back(rows)), "not every attempt was imported once", rows)
            expect(history.import_attempts(rows) == 0, "an attempt was imported twice", rows)
            expect(stored(history) == read_back(rows), "the history holds other attempts than those read", rows)
            with open(FILE, "wb") as file:
                file.write(exchange.exported(reversed(history.attempts()), "this-computer"))
            again = exchange.read_attempts(FILE)
            expect(read_back(again) == read_back(rows), "an export does not read back as the same attempts", rows)
    finally:
        shutil.rmtree(folder)


def seeds():
    """A good export of two attempts (one of them twice), one of each kind of bad field, and bytes
    that are no export."""
    def built(attempts, document=()):
        out = FuzzScript().choice(["built", "bytes"], "built").number(len(attempts), 4)
        for uid, changes in attempts:
            out.choice(UIDS, uid).number(len(changes), 4)
            for name, kind, pick in changes:
                out.choice(ATTEMPT_FIELDS, name).choice(["set", "drop"], "set").choice(KINDS, kind).choice(*pick)
        out.number(len(document), 4)
        for name, kind, pick in document:
            out.choice(DOCUMENT_FIELDS, name).choice(["set", "drop"], "set").choice(KINDS, kind).choice(*pick)
        return bytes(out.data)

    yield built([(UIDS[0], []), (UIDS[1], []), (UIDS[0], [])])
    yield built([(UIDS[1], [("started", "time", (TIMES, TIMES[3])), ("outcome", "word", (WORDS, "running"))])])
    yield built([(UIDS[1], [("started", "time", (TIMES, TIMES[4]))])])
    yield built([(UIDS[2], [])])
    yield built([(UIDS[1], [("seconds", "number", (NUMBERS, float("inf"))), ("pid", "truth", ([True, False], True))])])
    yield built([(UIDS[1], [("address", "word", (WORDS, "host name:1"))])], [("version", "number", (NUMBERS, 999))])
    yield built([], [("exported", "time", (TIMES, TIMES[1]))])
    yield bytes(FuzzScript().choice(["built", "bytes"], "bytes").bytes(b'{"format": [[[[', 1500).data)


if __name__ == "__main__":
    run("history_files", check, seeds, ["orbisk_tools.records.exchange", "orbisk_tools.records.history"])
