"""One device is never updated by two runs at once: names that resolve to one device, the lock
that says who holds it and goes away after, and a lock folder that someone else prepared."""

import json
import os
import socket
import shutil
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

from orbisk_tools.signed_image import pack

COMMAND = str(Path(sys.executable).with_name("orbisk-fpga"))
USER, ATTACKER = 65534, 4242  # nobody, and a user that does not exist


def run(*args, env=None, user=None):
    command = [COMMAND, *map(str, args)]
    if user is not None:
        command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *command]
    return subprocess.run(command, capture_output=True, text=True, timeout=120, env=env)


def hold_at_block(device, block):
    reached, release = threading.Event(), threading.Event()
    program = device.device.program

    def held(data):
        if device.device.fpga.blocks_taken == block and not release.is_set():
            reached.set()
            release.wait(60)
        return program(data)

    device.device.program = held
    device.device.take_run = lambda buffer: None
    return reached, release


@pytest.fixture
def runtime(tmp_path):
    """An environment whose lock folder is tmp_path/run/orbisk-fpga."""
    folder = tmp_path / "run"
    folder.mkdir(mode=0o700)
    return {**os.environ, "XDG_RUNTIME_DIR": str(folder)}, folder / "orbisk-fpga"


def test_two_names_of_one_device_are_refused_before_any_device_is_touched(emulator, tmp_path):
    device = emulator()
    image = tmp_path / "fw.bin"
    image.write_bytes(os.urandom(100))
    result = run("update", "--address", f"127.0.0.1:{device.port}", "--address", f"localhost:{device.port}", image)
    assert result.returncode == 2 and len(result.stderr.splitlines()) == 1, result.stderr
    assert f"127.0.0.1:{device.port} and localhost:{device.port} are the same device (127.0.0.1:{device.port}); " \
           "give each device once" in result.stderr
    assert device.device.commands == []


def test_the_lock_names_its_holder_even_after_a_killed_run_and_goes_away_with_the_update(emulator, tmp_path,
                                                                                        runtime):
    env, folder = runtime
    device = emulator()
    image = tmp_path / "fw.tbin"
    data = os.urandom(1000)
    image.write_bytes(pack(data, 32))
    reached, release = hold_at_block(device, 5)
    killed = subprocess.Popen([COMMAND, "update", "--address", f"127.0.0.1:{device.port}", str(image)], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert reached.wait(30)
    killed.kill()  # leaves its lock file behind
    killed.wait()
    release.set()
    assert len(list(folder.iterdir())) == 1

    reached, release = hold_at_block(device, 5)
    holder = subprocess.Popen([COMMAND, "update", "--address", f"localhost:{device.port}", str(image)], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert reached.wait(30)
        refused = run("update", "--address", f"127.0.0.1:{device.port}", image, env=env)
        assert refused.returncode == 1
        assert refused.stderr == (f"orbisk-fpga: error: 127.0.0.1:{device.port}: another orbisk-fpga (process "
                                  f"{holder.pid}) is updating this device; wait for it to finish\n")
    finally:
        release.set()
        _, errors = holder.communicate(timeout=60)
    assert holder.returncode == 0, errors
    assert device.device.fpga.loaded_image == data
    assert list(folder.iterdir()) == []  # no lock file is left behind


@pytest.fixture
def shared_tmp():
    """A shared temporary folder (mode 1777) that every user can reach."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("running the command line as a normal user, and preparing another user's files, needs root "
                    "and setpriv")
    folder = Path(tempfile.mkdtemp(prefix="orbisk-shared-"))
    folder.chmod(0o1777)
    yield folder
    shutil.rmtree(folder)


def owned(path, uid, mode=None, text=None):
    """`path` (made a folder unless it exists or `text` is given) owned by `uid`, with `mode`."""
    if text is not None:
        path.write_text(text)
    elif not path.exists() and not path.is_symlink():
        path.mkdir()
    os.chown(path, uid, uid, follow_symlinks=False)
    if mode is not None:
        path.chmod(mode)
    return path


def as_user_env(shared_tmp):
    """The environment of a user without XDG_RUNTIME_DIR, whose temporary folder is `shared_tmp`."""
    return {**{k: v for k, v in os.environ.items() if k != "XDG_RUNTIME_DIR"}, "TMPDIR": str(shared_tmp),
            "HOME": str(shared_tmp)}


@pytest.mark.parametrize("prepared, reason", [
    ("another user's folder", "it belongs to another user"),
    ("a link to the user's folder", "it is a symbolic link"),
    ("a folder others can write to", "others can write to it"),
])
def test_a_lock_folder_that_another_user_could_prepare_is_refused(emulator, shared_tmp, prepared, reason):
    device = emulator()
    image = owned(shared_tmp / "fw.bin", USER, 0o644, text="image")
    notes = owned(shared_tmp / "notes.txt", USER, 0o600, text="the user's own notes\n")
    locks = shared_tmp / f"orbisk-fpga-{USER}"
    if prepared == "a link to the user's folder":
        folder = owned(shared_tmp / "own", USER, 0o700)
        os.symlink(folder, locks)
        owned(locks, ATTACKER)
    else:
        folder = owned(locks, ATTACKER if prepared == "another user's folder" else USER, 0o777)
    os.symlink(notes, folder / f"127.0.0.1_{device.port}.lock")  # named after the device's lock file

    result = run("update", "--address", f"127.0.0.1:{device.port}", image, env=as_user_env(shared_tmp), user=USER)
    assert result.returncode == 1, result.stderr
    assert result.stderr == (f"orbisk-fpga: error: cannot use the lock folder {locks}: {reason}; have it removed, "
                             "or set XDG_RUNTIME_DIR to a folder that only you can write to\n")
    assert notes.read_text() == "the user's own notes\n"
    assert device.device.commands == []


def test_a_normal_user_gets_a_private_lock_folder(emulator, shared_tmp):
    device = emulator()
    image = owned(shared_tmp / "fw.bin", USER, 0o644, text="image")
    result = run("update", "--address", f"127.0.0.1:{device.port}", image, env=as_user_env(shared_tmp), user=USER)
    assert result.returncode == 0, result.stderr
    locks = shared_tmp / f"orbisk-fpga-{USER}"
    status = locks.lstat()
    assert (status.st_uid, status.st_mode & 0o777) == (USER, 0o700)
    assert list(locks.iterdir()) == []


def test_a_name_that_is_not_found_fails_its_device_only(emulator, tmp_path, monkeypatch, capsys):
    from orbisk_tools import cli

    looked_up = socket.getaddrinfo

    def getaddrinfo(host, *args, **kwargs):  # no name leaves this process
        if host == "device-7.site":
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
        return looked_up(host, *args, **kwargs)

    monkeypatch.setattr(socket, "getaddrinfo", getaddrinfo)
    device = emulator()
    image, report = tmp_path / "fw.bin", tmp_path / "report.json"
    image.write_bytes(os.urandom(100))
    status = cli.main(["update", "--address", "device-7.site", "--address", f"127.0.0.1:{device.port}",
                       "--json", str(report), str(image)])
    assert status == 1, capsys.readouterr()
    devices = json.loads(report.read_text())["devices"]
    assert [(d["result"], d["message"]) for d in devices] == [
        ("failed", "cannot connect: name not found (Name or service not known); check the address"), ("updated", "")]
