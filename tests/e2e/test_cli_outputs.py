"""Every output of orbisk-fpga is checked when written: standard output that fails, a --json
file that cannot be written, a key or signature on a full disk, each one line and exit 1;
a pipe closed by its reader ends the output quietly. --json [FILE|-] on status and history."""

import json
import os
import resource
import stat
import subprocess

import pytest

from orbisk_tools.records.history import History

from tests.e2e.command_line import COMMAND

STDOUT_FULL = ("orbisk-fpga: error: cannot write to standard output: no space left on device; what was written "
               "there is incomplete\n")


def run(*args, **options):
    options = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **options}
    return subprocess.run([COMMAND, *map(str, args)], text=True, timeout=120, **options)


@pytest.fixture
def history(tmp_path, monkeypatch):
    """A history of one attempt, named by ORBISK_FPGA_HISTORY for the commands run."""
    path = tmp_path / "history.sqlite3"
    with History.open(str(path)) as records:
        attempt = records.start_attempt("run-7", "127.0.0.1:9", None, device_type=32, window=1)
        records.finish_attempt(attempt, "failed", message="the device refused the block")
    monkeypatch.setenv("ORBISK_FPGA_HISTORY", str(path))
    return path


def commands(device):
    """The commands that write a report: history, and status of `device`."""
    return {"history": ["history"], "status": ["status", "--address", f"{device.host}:{device.port}"]}


@pytest.fixture
def full_device():
    if not stat.S_ISCHR(os.stat("/dev/full").st_mode):
        pytest.skip("no /dev/full here")
    yield "/dev/full"
    assert stat.S_ISCHR(os.stat("/dev/full").st_mode)  # written to, never replaced by a file


@pytest.mark.parametrize("command", ["history", "status"])
def test_a_report_onto_a_full_device_is_one_line_and_exit_1(emulator, history, full_device, command):
    result = run(*commands(emulator())[command], "--json", full_device)
    assert result.returncode == 1
    assert result.stderr == (f"orbisk-fpga: error: {full_device}: no space left on device; free some space, or "
                             "choose another folder\n")
    assert result.stdout == ""


def test_a_device_is_written_to_and_a_link_to_one_refused(history, tmp_path):
    assert run("history", "--json", os.devnull).returncode == 0
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
    link = tmp_path / "stdout"
    link.symlink_to(os.devnull)  # replaced, /dev/stdout would be gone; followed, a link could lead anywhere
    result = run("history", "--json", link)
    assert result.returncode == 1
    assert result.stderr.startswith(f"orbisk-fpga: error: {link}: a link to a device or a pipe, which is neither ")
    assert len(result.stderr.splitlines()) == 1
    assert os.readlink(link) == os.devnull


@pytest.mark.parametrize("command", ["history", "status"])
@pytest.mark.parametrize("form", [["--json", "-"], ["--json"], [], ["--help"]])
def test_standard_output_that_is_full_is_one_line_and_exit_1(emulator, history, full_device, command, form):
    with open(full_device, "w") as full:
        result = run(*commands(emulator())[command], *form, stdout=full)
    assert result.returncode == 1
    assert result.stderr == STDOUT_FULL


@pytest.mark.parametrize("form", [["--json"], []])
def test_a_pipe_closed_by_its_reader_ends_quietly(history, form):
    process = subprocess.Popen([COMMAND, "history", *form], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    process.stdout.close()  # as `| head` does once it has its lines
    assert process.stderr.read() == ""
    assert process.wait(timeout=120) == 0


class TestJsonOption:
    def test_history_takes_a_file_a_dash_or_nothing(self, history, tmp_path):
        dash, bare = run("history", "--run", "run-7", "--json", "-"), run("history", "--json")
        assert dash.returncode == bare.returncode == 0, dash.stderr + bare.stderr
        assert dash.stdout == bare.stdout and dash.stderr == bare.stderr == ""
        [attempt] = json.loads(dash.stdout)
        assert (attempt["run_id"], attempt["shown_outcome"]) == ("run-7", "failed")
        written = run("history", "--json", tmp_path / "attempts.json", "--limit", 5)
        assert written.returncode == 0 and written.stdout == written.stderr == ""
        assert (tmp_path / "attempts.json").read_text() == dash.stdout

    def test_status_takes_a_file_a_dash_or_nothing(self, emulator, history, tmp_path):
        device = emulator()
        target = f"{device.host}:{device.port}"
        bare = run("status", "--json", "--address", target)  # a bare --json before another option
        assert bare.returncode == 0, bare.stderr
        [status] = json.loads(bare.stdout)
        assert status["reported"]["serial"] == device.device.fpga.serial_number
        written = run("status", "--address", target, "--json", tmp_path / "status.json")
        assert written.returncode == 0 and written.stdout == written.stderr == ""
        assert json.loads((tmp_path / "status.json").read_text()) == [status]

    @pytest.mark.parametrize("command", ["history", "status"])
    def test_the_history_read_is_never_replaced(self, emulator, history, command):
        before = history.read_bytes()
        result = run(*commands(emulator())[command], "--json", history)
        assert result.returncode == 2 and len(result.stderr.splitlines()) == 1
        assert f"--json {history} is the same file as {history}, an input of this run" in result.stderr
        assert history.read_bytes() == before

    @pytest.mark.parametrize("command", ["update", "verify", "status --image"])
    def test_the_signature_beside_the_image_is_never_replaced(self, tmp_path, command):
        image, signature = tmp_path / "fw.bin", tmp_path / "fw.bin.minisig"
        image.write_bytes(bytes(32))
        signature.write_text("untrusted comment: the vendor's\n")
        result = run(*command.split(), image, "--address", "127.0.0.1:9", "--json", signature)
        assert result.returncode == 2 and len(result.stderr.splitlines()) == 1
        assert f"--json {signature} is the same file as {signature}, an input of this run" in result.stderr
        assert signature.read_text() == "untrusted comment: the vendor's\n"


def limit_file_size(limit):
    """A child's writes past `limit` bytes fail as on a full disk (EFBIG; Python ignores SIGXFSZ)."""
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


@pytest.mark.cryptography
class TestKeysOnAFullDisk:
    def test_keygen_names_the_file_it_could_not_write_and_leaves_none(self, tmp_path):
        secret, public = tmp_path / "vendor.key", tmp_path / "vendor.pub"
        result = run("keygen", "--no-password", "--secret-key", secret, "--public-key", public,
                     preexec_fn=limit_file_size(0))
        assert result.returncode == 1
        assert result.stderr.startswith(f"orbisk-fpga: error: {secret}: file too large; ")
        assert len(result.stderr.splitlines()) == 1
        assert list(tmp_path.iterdir()) == []

    def test_sign_names_the_signature_it_could_not_write(self, tmp_path):
        secret, image = tmp_path / "vendor.key", tmp_path / "fw.tbin"
        made = run("keygen", "--no-password", "--secret-key", secret, "--public-key", tmp_path / "v.pub")
        assert made.returncode == 0, made.stderr
        image.write_bytes(b"image")
        result = run("sign", "--key", secret, image, preexec_fn=limit_file_size(0))
        assert result.returncode == 1
        assert result.stderr.startswith(f"orbisk-fpga: error: {image}.minisig: file too large; ")
        assert len(result.stderr.splitlines()) == 1
        assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.tbin", "v.pub", "vendor.key"]
