"""An example device class that gains fast beam switching from BeamHopper.

BeamHopper does no device I/O itself: it calls hook methods on the device
object (``_setExtCtrl``, ``_setBeamPatternEnable``, ``_eraseBeamPattern``,
...) and leaves the per-beam gain and pattern operations abstract. This class
shows the least a device class supplies: a connection, one hook per entry of
``_fbs_cmd_dict()``, ``_reboot``, ``_create_beam_pattern_mgr`` and the five
abstract operations.

    with ExampleDevice("127.0.0.1", port) as device:
        device.setFastParallelMode(True)
        device.setFastBeamGain(RFMode.TX, beam_id=3, enable=True, com_gain=5)
        device.syncFastBeamConfig()  # the beam is stored again and applied

Commands are lines of text ending in CR LF; the device answers each with one
line, "ERR ..." when it refuses. Beams are stored as "<kind>,<ids>=<values>"
and read back with the store command followed by "?".

``syncFastBeamConfig`` erases the device's stored beams before it calls
``_reboot``, and applies what is stored to the beamformer IC (BFIC) after it.
The device keeps its stored beams across a restart but cannot bring back
erased ones, so the beam pattern manager keeps every beam set through this
class, and ``_reboot`` stores them all again before it restarts the
controller: after the sync the device holds and applies exactly the beams set
since the last ``eraseFastBeamConfig``.
"""

import math
import time
from collections.abc import Callable
from typing import Self

from orbisk.VornCommService import _TCPConn
from orbisk.VornPublic import RFMode
from orbisk.VornUtils import RetCode, RetType, _RspType
from orbisk.vorndev.BeamHopper import BeamHopper
from orbisk.vorndev.BeamPatternManager import BeamPatternManager


class ExampleBeamPatternManager(BeamPatternManager):
    """The beams set on one device, in the order they were set, as their
    store arguments."""

    def __init__(self) -> None:
        self.beams: dict[str, str] = {}  # "<kind>,<ids>" -> "<values>"


class ExampleDevice(BeamHopper):
    # Seconds per unit of a hook's user_delay: how long the device needs to
    # settle after erasing or applying beam patterns.
    settle_time = 0.1

    def __init__(self, address: str, port: int = 5025,
                 timeout: float = 5.0) -> None:
        self._conn = _TCPConn(address, port, timeout)
        if not self._conn.initConnection():
            raise ConnectionError(f"Cannot connect to {address}:{port}")

    def close(self) -> None:
        self._conn.closeConnection()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def beams(self) -> dict[str, str]:
        """The beams that the beam pattern manager keeps."""
        manager = self.beam_pattern_mgr
        assert isinstance(manager, ExampleBeamPatternManager)
        return manager.beams

    # ---- sending a command -------------------------------------------

    def _command(self, hook: str, argument: str | None = None,
                 user_delay: int = 0) -> RetType:
        """Sends the command that _fbs_cmd_dict() lists for `hook`; the
        reply is the result's data."""
        text, reply_kind = self._fbs_cmd_dict()[hook]
        line = text if argument is None else f"{text} {argument}"
        return self._send(line, reply_kind, user_delay)

    def _send(self, line: str, reply_kind: _RspType,
              user_delay: int = 0) -> RetType:
        sent = self._conn.sendCmd(line.encode("utf-8") + b"\r\n", reply_kind)
        reply: str = sent.RetData or ""
        if user_delay:
            time.sleep(user_delay * self.settle_time)
        if reply.startswith("ERR"):
            return RetType(RetCode.ERROR, reply)
        return RetType(data=reply)

    # ---- hooks that BeamHopper calls -----------------------------------

    def _getExtCtrl(self) -> RetType:
        ret = self._command("_getExtCtrl")  # the device answers "<on>,<mode>"
        if ret.RetCode is RetCode.OK:
            ret.RetData = ret.RetData.split(",")[0]
        return ret

    def _setExtCtrl(self, state_and_mode: str) -> RetType:
        return self._command("_setExtCtrl", state_and_mode)

    def _setBeamPatternEnable(self, enable: str) -> RetType:
        return self._command("_setBeamPatternEnable", enable)

    def _getBeamPatternEnable(self) -> RetType:
        return self._command("_getBeamPatternEnable")

    def _eraseBeamPattern(self, user_delay: int = 0) -> RetType:
        return self._command("_eraseBeamPattern", user_delay=user_delay)

    def _setBeamPatternStoreTDBS(self, beam: str) -> RetType:
        return self._command("_setBeamPatternStoreTDBS", beam)

    def _setBeamPatternStoreFBS(self, beam: str) -> RetType:
        return self._command("_setBeamPatternStoreFBS", beam)

    def _applyBeamPatternToBFIC(self, user_delay: int = 0) -> RetType:
        return self._command("_applyBeamPatternToBFIC", user_delay=user_delay)

    def _reboot(self) -> RetType:
        """Called by syncFastBeamConfig with storage enabled and erased:
        stores the manager's beams again, then restarts the controller,
        which keeps them."""
        for key, values in self.beams.items():
            ret = self._setBeamPatternStoreFBS(f"{key}={values}")
            if ret.RetCode is not RetCode.OK:
                return ret
        return self._send("SYS_REBOOT", _RspType.RSP_STRING)

    def _create_beam_pattern_mgr(self) -> BeamPatternManager:
        return ExampleBeamPatternManager()

    def eraseFastBeamConfig(self) -> RetType:
        """Erase the fast beam configuration, on the device and in the
        manager."""
        ret = super().eraseFastBeamConfig()
        if ret.RetCode is RetCode.OK:
            self.beams.clear()
        return ret

    # ---- the abstract operations ---------------------------------------

    def _stored(self, key: str, values: tuple[object, ...]) -> RetType:
        """Stores one beam while beam pattern storage is enabled, and keeps
        it in the manager."""
        text = ",".join(str(v) for v in values)
        ret = self._setBeamPatternEnable("1")
        if ret.RetCode is not RetCode.OK:
            return ret
        try:
            ret = self._setBeamPatternStoreFBS(f"{key}={text}")
        finally:
            self._setBeamPatternEnable("0")
        if ret.RetCode is not RetCode.OK:
            return ret
        self.beams[key] = text
        return RetType()

    def _read_back(self, key: str, names: tuple[str, ...],
                   convert: Callable[[str], object]) -> RetType:
        text, reply_kind = self._fbs_cmd_dict()["_setBeamPatternStoreFBS"]
        ret = self._send(f"{text}? {key}", reply_kind)
        if ret.RetCode is not RetCode.OK:
            return ret
        values = ret.RetData.split(",")
        return RetType(data={n: convert(v) for n, v in zip(names, values)})

    def getFastBeamGain(self, rf_mode: RFMode, beam_id: int) -> RetType:
        """Get the fast beam gain: {"enable": bool, "com_gain": int,
        "ele_gain": int}."""
        ret = self._read_back(f"GAIN,{rf_mode.name},{int(beam_id)}",
                              ("enable", "com_gain", "ele_gain"), int)
        if ret.RetCode is RetCode.OK:
            ret.RetData["enable"] = bool(ret.RetData["enable"])
        return ret

    def getFastBeamPattern(self, beam_id: int) -> RetType:
        """Get the fast beam pattern: {"rf_freq": float, "theta": float,
        "phi": float}."""
        return self._read_back(f"PATTERN,{int(beam_id)}",
                               ("rf_freq", "theta", "phi"), float)

    def setFastBeamGain(self, rf_mode: RFMode, beam_id: int, enable: bool,
                        com_gain: int = 0, ele_gain: int = 0) -> RetType:
        """Set the fast beam gain."""
        return self._stored(f"GAIN,{rf_mode.name},{int(beam_id)}",
                            (int(bool(enable)), int(com_gain), int(ele_gain)))

    def setFastBeamPatternThetaPhi(self, beam_id: int, rf_freq: float,
                                   theta: float, phi: float) -> RetType:
        """Set the fast beam pattern, steered to (theta, phi) in degrees."""
        return self._stored(f"PATTERN,{int(beam_id)}",
                            (float(rf_freq), float(theta), float(phi)))

    def setFastBeamPatternAzEl(self, beam_id: int, rf_freq: float,
                               azimuth: float, elevation: float) -> RetType:
        """Set the fast beam pattern, steered to (azimuth, elevation) in
        degrees, stored as (theta, phi)."""
        az, el = math.radians(azimuth), math.radians(elevation)
        theta = math.degrees(math.acos(math.cos(el) * math.cos(az)))
        phi = math.degrees(math.atan2(math.sin(el),
                                      math.cos(el) * math.sin(az)))
        return self.setFastBeamPatternThetaPhi(beam_id, rf_freq, theta, phi)
