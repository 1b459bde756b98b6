"""The device locks: one update per device on this computer, whoever runs it, in whatever
environment, by whatever address; the lock names its holder, goes away with it, and nothing
anyone plants in the lock folder makes orbisk-fpga write to a file, wait or crash."""

import hashlib
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from orbisk_tools import cli
from orbisk_tools.engine import locks as device_locks
from orbisk_tools.engine import outcomes
from orbisk_tools.formats import protocol

from tests.e2e.command_line import COMMAND, address

NOBODY, ATTACKER = 65534, 4242  # nobody, and a user that does not exist
ME = pwd.getpwuid(os.getuid()).pw_name


def as_user(user, command):
    if user is None:
        return command
    return ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *command]


def run(*args, env=None, user=None):
    """Runs orbisk-fpga, in `env`, as the user `user` if given."""
    return subprocess.run(as_user(user, [COMMAND, *map(str, args)]), capture_output=True, text=True, timeout=120,
                          env=env)


def start(*args, env=None, user=None):
    """Starts orbisk-fpga with a umask that would keep the files it makes from other users."""
    return subprocess.Popen(as_user(user, [COMMAND, *map(str, args)]), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env, umask=0o077)


def image_file(folder, size=1000):
    image = os.urandom(size)
    path = folder / "fw.bin"
    path.write_bytes(image)
    return image, path


def refused_by(holder, user=ME):
    return f"another orbisk-fpga (process {holder.pid} of user {user}) is updating this device; wait for it to finish"


def forget_killed_runs_locks(locks, device):
    """Removes the lock files that a killed run left for the port and the serial number of `device`
    (a lock file stays when its process is killed, and a new emulator may get an old port); their
    names."""
    serial = hashlib.sha256(device.device.fpga.serial_number.encode()).hexdigest()[:32]
    names = (f"orbisk-fpga-127.0.0.1_{device.port}.lock", f"orbisk-fpga-serial-{serial}.lock")
    for name in names:
        (locks / name).unlink(missing_ok=True)
    return names


@pytest.fixture
def locks():
    """The folder where the device locks are."""
    folder = device_locks.open_lock_folder()
    try:
        return Path(os.readlink(f"/proc/self/fd/{folder}"))
    finally:
        os.close(folder)


@pytest.fixture
def shared_tmp():
    """A shared temporary folder (mode 1777) that every user can reach, for runs as the user nobody."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("running the command line as another user, and preparing another user's files, needs root "
                    "and setpriv")
    probe = subprocess.run(as_user(NOBODY, [sys.executable, "-c", "import orbisk_tools.cli"]), capture_output=True,
                           timeout=60)
    if probe.returncode != 0:
        pytest.skip(f"user {NOBODY} cannot run this interpreter and its packages (a folder on their path is private)")
    folder = Path(tempfile.mkdtemp(prefix="orbisk-shared-"))
    folder.chmod(0o1777)
    yield folder
    shutil.rmtree(folder)


def nobody_env(shared_tmp):
    """The environment of the user nobody, whose home and temporary folder are `shared_tmp`."""
    private = ("XDG_RUNTIME_DIR", "XDG_STATE_HOME", "ORBISK_FPGA_HISTORY")  # their history goes under HOME
    return {**{k: v for k, v in os.environ.items() if k not in private}, "TMPDIR": str(shared_tmp),
            "HOME": str(shared_tmp)}


def test_one_device_is_never_updated_twice_at_once_whatever_the_environment(emulator, tmp_path, hold_at_block):
    device = emulator()
    reached, release = hold_at_block(device, 5)
    image, path = image_file(tmp_path)
    cron = {k: v for k, v in os.environ.items() if k != "XDG_RUNTIME_DIR"}
    runtime = tmp_path / "run"
    runtime.mkdir(mode=0o700)
    login = {**os.environ, "XDG_RUNTIME_DIR": str(runtime), "TMPDIR": str(runtime)}
    first = start("update", "--address", address(device), path, env=cron)
    try:
        assert reached.wait(30)
        second = run("update", "--address", f"localhost:{device.port}", path, env=login)  # and by another name
        assert second.returncode == 1
        assert second.stderr == f"orbisk-fpga: error: localhost:{device.port}: {refused_by(first)}\n"
    finally:
        first.kill()  # its lock goes with it
        first.communicate()
        release.set()
    third = run("update", "--address", address(device), path, env=login)
    assert third.returncode == 0, third.stderr
    assert device.device.fpga.loaded_image == image


def test_the_lock_names_its_holder_even_after_a_killed_run_and_goes_away_with_the_update(emulator, tmp_path,
                                                                                        locks, hold_at_block):
    device = emulator()
    data, image = image_file(tmp_path)
    ours = set(forget_killed_runs_locks(locks, device))  # other tests' runs lock files of their own meanwhile
    reached, release = hold_at_block(device, 5)
    killed = start("update", "--address", f"127.0.0.1:{device.port}", image)
    assert reached.wait(30)
    killed.kill()  # leaves its lock files behind: the address's and the serial number's
    killed.communicate()
    release.set()
    left = {path for path in locks.glob("orbisk-fpga-*.lock") if path.name in ours}
    assert len(left) == 2

    reached, release = hold_at_block(device, 5)
    holder = start("update", "--address", f"localhost:{device.port}", image)
    try:
        assert reached.wait(30)
        refused = run("update", "--address", f"127.0.0.1:{device.port}", image)
        assert refused.returncode == 1
        assert refused.stderr == f"orbisk-fpga: error: 127.0.0.1:{device.port}: {refused_by(holder)}\n"
    finally:
        release.set()
        _, errors = holder.communicate(timeout=60)
    assert holder.returncode == 0, errors
    assert device.device.fpga.loaded_image == data
    assert not any(path.exists() for path in left)  # no lock file is left behind


def test_one_device_reached_by_two_addresses_is_refused_before_any_erase(emulator, tmp_path, hold_at_block,
                                                                         also_listening):
    device = emulator()
    port = also_listening(device, "127.0.0.2")
    image, path = image_file(tmp_path)
    reached, release = hold_at_block(device, 5, others_wait=False)  # the second run reads the serial number
    first = start("update", "--address", address(device), path)
    try:
        assert reached.wait(30)
        second = run("update", "--address", f"127.0.0.2:{port}", path)
        assert second.returncode == 1
        assert second.stderr == f"orbisk-fpga: error: 127.0.0.2:{port}: {refused_by(first)}\n"
        assert device.device.commands.count(protocol.FPGA_ERASE) == 1
    finally:
        release.set()
        _, errors = first.communicate(timeout=60)
    assert first.returncode == 0, errors
    assert device.device.fpga.loaded_image == image


def test_one_run_that_reaches_a_device_by_two_addresses_updates_it_once(tmp_path):
    serial = f"VORN-{tmp_path.name}"  # no other test's device
    folder = device_locks.open_lock_folder()
    try:
        with device_locks.serial_lock(folder, serial):
            with pytest.raises(outcomes.DeviceFailure) as refused:
                with device_locks.serial_lock(folder, serial):
                    pass
        assert str(refused.value) == "this run updates this device by another address too; give each device once"
        with device_locks.serial_lock(folder, serial):  # released at the end
            pass
    finally:
        os.close(folder)


@pytest.mark.parametrize("nobody_first", [False, True], ids=["root holds it", "nobody holds it"])
def test_another_users_update_of_the_device_is_refused_and_named(emulator, shared_tmp, hold_at_block, nobody_first):
    device = emulator()
    reached, release = hold_at_block(device, 5)
    image, path = image_file(shared_tmp)
    path.chmod(0o644)
    me, nobody = (None, None), (NOBODY, nobody_env(shared_tmp))  # (user, environment)
    (holder, holder_env), (other, other_env) = (nobody, me) if nobody_first else (me, nobody)
    first = start("update", "--address", address(device), path, env=holder_env, user=holder)
    try:
        assert reached.wait(30)
        second = run("update", "--address", address(device), path, env=other_env, user=other)
        assert second.returncode == 1, second.stderr
        name = pwd.getpwuid(NOBODY if nobody_first else os.getuid()).pw_name
        assert second.stderr == f"orbisk-fpga: error: {address(device)}: {refused_by(first, name)}\n"
    finally:
        release.set()
        _, errors = first.communicate(timeout=60)
    assert first.returncode == 0, errors
    assert device.device.fpga.loaded_image == image


@pytest.mark.parametrize("planted", ["a link", "a FIFO", "another user's file", "another user's private file"])
def test_a_planted_lock_file_is_never_written_waited_on_or_followed(emulator, tmp_path, locks, request, planted):
    device = emulator()
    image, path = image_file(tmp_path)
    notes = tmp_path / "notes.txt"
    notes.write_text("the user's own notes\n")
    user = env = None
    if planted.startswith("another user's"):  # run as nobody, whom the folder does not let remove it
        shared_tmp = request.getfixturevalue("shared_tmp")
        path = shutil.copy(path, shared_tmp)
        os.chmod(path, 0o644)
        user, env = NOBODY, nobody_env(shared_tmp)
    lock = locks / f"orbisk-fpga-127.0.0.1_{device.port}.lock"
    forget_killed_runs_locks(locks, device)
    try:
        if planted == "a link":
            lock.symlink_to(notes)
        elif planted == "a FIFO":
            os.mkfifo(lock)
        else:
            lock.write_text("the other user's words\n")
            os.chown(lock, ATTACKER, ATTACKER)
            lock.chmod(0o600 if planted == "another user's private file" else 0o644)
        result = run("update", "--address", address(device), path, env=env, user=user)
        if planted == "another user's file":
            assert result.returncode == 0, result.stderr
            assert device.device.fpga.loaded_image == image
            assert lock.read_text() == "the other user's words\n"
        else:
            reason = {"a link": "it is a symbolic link", "a FIFO": "it is not a regular file"}.get(planted,
                                                                                              "permission denied")
            assert result.returncode == 1
            assert result.stderr == (f"orbisk-fpga: error: {address(device)}: cannot use the lock file {lock}: "
                                     f"{reason}; have it removed\n")
            assert device.device.commands == []
        assert notes.read_text() == "the user's own notes\n"
    finally:
        lock.unlink(missing_ok=True)


@pytest.mark.parametrize("prepared, reason", [
    ("a folder others can write to", "others can write to it and it is not sticky"),
    ("another user's folder", "it belongs to another user"),
    ("a link to a folder", "it is a symbolic link"),
])
def test_a_lock_folder_that_others_could_tamper_with_is_refused(emulator, tmp_path, monkeypatch, capsys, prepared,
                                                               reason):
    device = emulator()
    _, image = image_file(tmp_path)
    notes = tmp_path / "notes.txt"
    notes.write_text("the user's own notes\n")
    folder = tmp_path / "locks"
    if prepared == "a link to a folder":
        (tmp_path / "real").mkdir(mode=0o700)
        folder.symlink_to(tmp_path / "real")
    else:
        folder.mkdir()
        folder.chmod(0o777)
        if prepared == "another user's folder":
            if os.geteuid() != 0:
                pytest.skip("giving a folder to another user needs root")
            os.chown(folder, ATTACKER, ATTACKER)
            folder.chmod(0o1777)
    (folder / f"orbisk-fpga-127.0.0.1_{device.port}.lock").symlink_to(notes)
    monkeypatch.setattr(device_locks, "LOCK_FOLDERS", (str(tmp_path / "missing"), str(folder)))

    assert cli.main(["update", "--address", address(device), str(image)]) == 1
    assert capsys.readouterr().err == (f"orbisk-fpga: error: cannot use the lock folder {folder}: {reason}; have it "
                                       "made a folder of root that every user can write to and only the owner of a "
                                       "file can remove it from (mode 1777, as /tmp)\n")
    assert notes.read_text() == "the user's own notes\n"
    assert device.device.commands == []


def test_the_locks_are_where_every_user_finds_them(tmp_path, monkeypatch):
    """A first folder that not every user can write to is passed over for the next (else root and
    the others would lock in different folders); $TMPDIR and $XDG_RUNTIME_DIR choose nothing."""
    private, shared = tmp_path / "private", tmp_path / "shared"
    private.mkdir(mode=0o755)
    shared.mkdir()
    shared.chmod(0o1777)
    monkeypatch.setattr(device_locks, "LOCK_FOLDERS", (str(private), str(shared)))
    monkeypatch.setenv("TMPDIR", str(private))
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(private))
    folder = device_locks.open_lock_folder()
    try:
        assert os.readlink(f"/proc/self/fd/{folder}") == str(shared)
    finally:
        os.close(folder)
