"""The model of an emulated device: the FPGA controller and the fast beam controller, their
answer to each command, power cycles and the state file, and what the device was asked.

Its configuration memory is a flash (see flash.py); the connections to it are served by
serving.py, for one DeviceEmulator (emulator.py) or a site of devices (site.py).
"""

import hashlib
import json
import logging
import socket
import threading
from typing import Any

from orbisk_tools.devices import flash
from orbisk_tools.devices.controllers import NO_FPGA_IMAGE, OK, BeamState, FpgaState, LoadedBytes
from orbisk_tools.devices.command_log import CommandLog
from orbisk_tools.devices.faults import Faults
from orbisk_tools.formats import files, protocol

log = logging.getLogger(__name__)  # power-ups, erases, loads and the state file's trouble, shown by -v

OK_REPLY = OK + protocol.LINE_END


class Device:
    """The controllers' state and their answer to each command; shared by all connections.

    Its configuration memory holds, and its FPGA runs, the same made-up image on every device
    (flash.device_image()) at `fpga_version`, or with `erased` nothing at all."""

    takes_runs = True  # False: every block write and page read on its own, through program() and read_page()
    label = ""  # what its log lines start with: "ADDRESS: " for a device of a site
    commands_kept = 1 << 20  # the last commands whose words `commands` keeps (see CommandLog)

    def __init__(self, faults: Faults | None = None, erased: bool = False, **fpga: Any) -> None:
        self.faults = faults or Faults()
        self.fpga = FpgaState(**fpga)
        if erased:
            self.fpga.fpga_version = None
        else:
            self.fpga.memory[:] = flash.device_image()
            self.fpga.loaded = flash.LoadedImage.of(self.fpga.memory, self.fpga.fpga_version)
            # the version is the image's own: written back (a restored backup), it runs at it again
            self.fpga.image_versions.setdefault(self.fpga.loaded.sha256, self.fpga.fpga_version)
        self.beams = BeamState()
        self.commands = CommandLog(self.commands_kept)  # the command words received, in order
        self.lock = threading.Lock()  # held while it answers: one batch of commands at a time
        self.interrupted = threading.Event()  # set while the emulator stops or its power is cut: waits end at once
        self.power_ups = 0  # a connection made before the last power-up is gone
        self.state_path: str | None = None
        self._unsaved = False  # the memory changed since the state file was written
        self._connections: set[Any] = set()  # the sockets of its connections, which a power cycle drops
        self._connections_lock = threading.Lock()  # never held while it answers

    def spend(self, seconds):
        """Takes `seconds` of the device's own time (an erase, a write at its rate) before the
        reply, holding the lock; ends at once when the emulator stops or its power is cut. It
        blocks the caller: the serving loop calls such a device from threads (see serving.py).
        A SiteDevice owes them to the loop instead (take_owed())."""
        self.interrupted.wait(seconds)

    def take_owed(self):
        """The seconds of its own time that the commands taken since the last call took, for
        the serving loop to wait before it replies: none here, spend() waited them."""
        return 0.0

    # ---- connections, power and state --------------------------------------------

    def connected(self, sock):
        """Counts the socket `sock` of a new connection among those a power cycle drops; returns
        the power-ups so far, which the connection gives reply()."""
        with self._connections_lock:
            self._connections.add(sock)
        return self.power_ups

    def disconnected(self, sock):
        """The connection of `sock` is gone: writes the state file (see save()), and returns
        what the disconnection leaves behind, for its log line (see unloaded())."""
        with self._connections_lock:
            self._connections.discard(sock)
        with self.lock:
            self.save()
            return self.unloaded()

    def drop_connections(self):
        """Shuts every connection down, as a power cut does; their serving loops see them end."""
        with self._connections_lock:
            for sock in self._connections:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:  # gone already
                    pass

    def power_cycle(self):
        """Switches the device off and on again: its connections drop, what it was doing ends
        (an erase or a write that takes its time), and it powers up (see power_up())."""
        self.interrupted.set()
        self.drop_connections()
        with self.lock:
            self.power_up()
            self.interrupted.clear()

    def power_up(self):
        """The device as its power comes back: the page pointer, the configuration mode and
        the done flag are gone, and the FPGA runs the image in the configuration memory only
        if it was loaded after its last write. Every connection made before is gone too (see
        reply()); the fast beam controller keeps what SYS_REBOOT keeps. The caller holds the
        lock, and has dropped the connections."""
        fpga = self.fpga
        self.power_ups += 1
        fpga.pointer, fpga.config_mode, fpga.done = 0, "", False
        fpga.fpga_version = None if self.faults.no_image_at_power_up else flash.version_at_power_up(fpga.memory,
                                                                                                     fpga.loaded)
        running = f"FPGA version {fpga.fpga_version}" if fpga.fpga_version else "no FPGA image"
        log.info("%spowered up: %s", self.label, running)
        self.save()

    def keep_state_in(self, path):
        """Keeps the device's state in the file at `path` from now on: the state it holds is
        the device's, powered up; a new file gets the device's state now. Raises
        flash.BadStateFile, or OSError when the file cannot be read or written."""
        saved = flash.read_state(path)
        fpga = self.fpga
        if saved is None:
            self._write_state(path)
        else:
            fpga.memory[:], fpga.loaded, fpga.whole = saved.memory, saved.loaded, saved.whole
            fpga.serial_number, fpga.control_fw_version = saved.serial_number, saved.control_fw_version
            self.power_up()
        self.state_path = path

    def save(self):
        """Writes the state file, if the device keeps one and its memory changed since."""
        if self.state_path is None or not self._unsaved:
            return
        try:
            self._write_state(self.state_path)
        except OSError as error:  # it serves on, and tries again at the next change
            log.error("%scannot keep the device's state: %s", self.label, files.problem(error, self.state_path))

    def _write_state(self, path):
        fpga = self.fpga
        flash.write_state(path, flash.SavedState(bytes(fpga.memory), fpga.loaded, fpga.whole, fpga.serial_number,
                                                 fpga.control_fw_version))
        self._unsaved = False

    # ---- FPGA controller ---------------------------------------------------

    def program(self, block):
        """The reply to a block write, or None to drop the connection."""
        fpga = self.fpga
        if self._drops_next_block():
            fpga.dropped = True
            return None
        fpga.block_attempts += 1
        if self._refuses_next_block():
            fpga.refusals += 1
            return b"1"
        self._store(block, 1)
        return OK

    def _drops_next_block(self):
        return self._will_drop() and self.fpga.blocks_taken >= self.faults.drop_after_blocks

    def _refuses_next_block(self):
        return self._will_refuse() and self.faults.refuse_block == self.fpga.blocks_taken

    def _will_drop(self):
        return self.faults.drop_after_blocks is not None and not self.fpga.dropped

    def _will_refuse(self):
        refuse_times = self.faults.refuse_times
        return self.faults.refuse_block is not None and (refuse_times is None or self.fpga.refusals < refuse_times)

    def _store(self, data, blocks):
        fpga = self.fpga
        if self.faults.write_rate:
            self.spend(len(data) / self.faults.write_rate)
        fpga.whole &= flash.program(fpga.memory, fpga.pointer, data)
        fpga.pointer += len(data)
        fpga.blocks_taken += blocks
        fpga.done = False
        fpga.loaded = None
        self._unsaved = True

    def read_page(self):
        """The reply to a page read."""
        fpga, faults = self.fpga, self.faults
        start = fpga.pointer
        page = bytearray(fpga.memory[start : start + protocol.BLOCK_SIZE])
        fpga.pointer += len(page)
        self._corrupt(page, start)
        if faults.pad_last_page and 0 < len(page) < protocol.BLOCK_SIZE:
            page += bytes(protocol.BLOCK_SIZE - len(page))
        return protocol.page_reply(bytes(page))

    def _corrupt(self, pages, start):
        """Flips the byte of the corrupt_read_offset fault if it is among `pages`, read from `start`."""
        offset = self.faults.corrupt_read_offset
        if offset is not None and start <= offset < start + len(pages):
            pages[offset - start] ^= 0xFF

    def fpga_command(self, word, argument):
        fpga = self.fpga
        if word == protocol.FPGA_CTRL_INIT:
            return OK
        if word == protocol.FPGA_CFG_MODE:
            fpga.config_mode = argument
            return OK
        if word == protocol.FPGA_ERASE:  # erased at once, answered once the erase time is over
            fpga.memory.clear()
            fpga.whole = True
            fpga.loaded = None
            fpga.pointer = 0
            fpga.blocks_taken = 0
            fpga.done = False
            self._unsaved = True
            self.save()
            self.spend(self.faults.erase_seconds)
            log.info("%sFPGA configuration memory erased", self.label)
            return OK
        if word == protocol.FPGA_RST_PAGE_PTR:
            if argument != "CFG":
                return b"ERR unknown section"
            fpga.pointer = 0
            return OK
        if word == protocol.FPGA_DONE:
            fpga.done = True
            return OK
        if word == protocol.FPGA_REFRESH:
            return self._load()
        if word in (protocol.GET_FPGA_VER, protocol.GET_FE_INFO) and fpga.fpga_version is None:
            return NO_FPGA_IMAGE
        answers = {
            protocol.FPGA_GET_ID: fpga.fpga_id,
            protocol.GET_FPGA_VER: fpga.fpga_version,
            protocol.GET_FW_VER: fpga.control_fw_version,
            protocol.GET_SN: fpga.serial_number,
            protocol.GET_FE_INFO: json.dumps({"fe0": {"fpga_ver": fpga.fpga_version, "fpga_id": fpga.fpga_id}}),
        }
        if word in answers:
            return answers[word].encode()
        return None

    def _load(self):
        """FPGA_REFRESH: the FPGA loads the image in the configuration memory, once it was marked
        done after its last write. Memory that holds no image (nothing, or a write over an image
        that was not erased) is not loaded: the refresh is refused, and the FPGA runs what it ran."""
        fpga = self.fpga
        if fpga.loaded is not None:  # the image it holds, loaded already: the FPGA runs it again
            fpga.fpga_version = fpga.loaded.fpga_version
            return OK
        if not (fpga.done and fpga.memory and fpga.whole):
            why = "not marked done" if fpga.memory and fpga.whole else "no image in the configuration memory"
            return b"ERR nothing to load: " + why.encode()
        digest = hashlib.sha256(fpga.memory).hexdigest()
        fpga.loaded_image = LoadedBytes(len(fpga.memory), digest)
        fpga.fpga_version = fpga.image_versions.get(digest, fpga.new_fpga_version)
        fpga.loaded = flash.LoadedImage(digest, fpga.fpga_version)
        self._unsaved = True
        self.save()
        log.info("%sFPGA image of %d bytes loaded; FPGA version now %s", self.label, len(fpga.memory),
                 fpga.fpga_version)
        return OK

    def unloaded(self):
        """What a disconnection leaves behind, for its log line: "" unless an image was written
        and not loaded."""
        fpga = self.fpga
        if not fpga.memory or fpga.loaded is not None:
            return ""
        return f"; {len(fpga.memory)} bytes written, not loaded: the update did not finish"

    # ---- dispatch ------------------------------------------------------------

    def answers_runs(self):
        """Whether runs of block writes and page reads may be taken in bulk: not while a fault
        counts, delays, splits or answers the commands one by one."""
        faults = self.faults
        return self.takes_runs and not (faults.silent_after is not None or faults.reply_delay
                                        or faults.one_command_per_read or faults.endless_reply is not None
                                        or faults.one_command_per_read_after is not None)

    def takes_one_command_per_read(self):
        """Whether the one_command_per_read faults take only one command of each read now."""
        after = self.faults.one_command_per_read_after
        return self.faults.one_command_per_read or (after is not None and len(self.commands) >= after)

    def is_silent(self):
        """Whether the silent_after fault ignores the next command; it is counted if so."""
        silent_after = self.faults.silent_after
        if silent_after is None or len(self.commands) < silent_after:
            return False
        with self.lock:
            self.commands.append("(ignored)")
        return True

    def answers_without_end(self, command):
        """Whether the endless_reply fault answers this command; it is counted if so."""
        word = self.faults.endless_reply
        if word is None:
            return False
        said = protocol.command_word(command[1]) if command[0] == "line" else protocol.FPGA_PROGRAM
        if said != word:
            return False
        with self.lock:
            self.commands.append(word)
        return True

    def reply(self, command, powered_up=None):
        """The reply to a command that protocol.take_command took, and whether the connection
        stays open after it. `powered_up`: the device's power_ups when the connection was made;
        a connection made before the last power-up is gone, and gets no reply."""
        kind = command[0]
        with self.lock:
            if powered_up is not None and powered_up != self.power_ups:
                return b"", False
            if kind == "line":
                return self.answer(command[1]), True
            if kind == "blocks":
                return self._program_run(*command[1:])
            if kind == "reads":
                return self._read_run(command[1]), True
            self.commands.append(protocol.FPGA_PROGRAM)
            if command[1] is None:
                return b"ERR bad block frame\r\n", True
            reply = self.program(command[1])
        return (b"", False) if reply is None else (reply + protocol.LINE_END, True)

    def answer(self, line):
        """The reply to one command line (without its CR LF). The caller holds the lock."""
        text = line.decode("utf-8", errors="replace").strip()
        word, _, argument = text.partition(" ")
        self.commands.append(word)
        if word == protocol.FPGA_READ:
            return self.read_page()
        reply = self.fpga_command(word, argument)
        if reply is None:
            reply = self.beams.answer(word, argument)
        if reply is None:
            reply = b"ERR unknown command " + word.encode()
        return reply + protocol.LINE_END

    # Runs of 16-byte block writes and of page reads are taken in bulk up to the first block or
    # page that a fault or the end of memory concerns, which goes through program() or read_page().

    def _program_run(self, data, count):
        replies = []
        size = protocol.BLOCK_SIZE
        done = 0
        while done < count:
            plain = self._blocks_before_a_fault(count - done)
            if plain:
                self._store(data[done * size : (done + plain) * size], plain)
                self.fpga.block_attempts += plain
                self.commands.append(protocol.FPGA_PROGRAM, plain)
                replies.append(OK_REPLY * plain)
                done += plain
                continue
            self.commands.append(protocol.FPGA_PROGRAM)
            reply = self.program(data[done * size : (done + 1) * size])
            if reply is None:
                return b"".join(replies), False
            replies.append(reply + protocol.LINE_END)
            done += 1
        return b"".join(replies), True

    def _blocks_before_a_fault(self, count):
        """How many of the next `count` blocks no fault concerns."""
        faults, taken = self.faults, self.fpga.blocks_taken
        if self._will_refuse() and faults.refuse_block >= taken:
            count = min(count, faults.refuse_block - taken)
        if self._will_drop():
            count = min(count, max(faults.drop_after_blocks - taken, 0))
        return count

    def _read_run(self, count):
        fpga, size = self.fpga, protocol.BLOCK_SIZE
        whole = min(count, (len(fpga.memory) - fpga.pointer) // size)
        replies = b""
        if whole:
            start = fpga.pointer
            pages = bytearray(fpga.memory[start : start + whole * size])
            self._corrupt(pages, start)
            fpga.pointer += len(pages)
            self.commands.append(protocol.FPGA_READ, whole)
            replies = protocol.page_replies(pages)
        for _ in range(count - whole):
            self.commands.append(protocol.FPGA_READ)
            replies += self.read_page()
        return replies
