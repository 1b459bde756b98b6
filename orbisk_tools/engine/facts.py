"""What a device reports about itself, through queries that change nothing."""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING

from orbisk_tools.formats.protocol import DEVICE_TYPES, NoFpgaImage

if TYPE_CHECKING:
    from orbisk.VornFpga import FpgaTool


@dataclasses.dataclass(frozen=True)
class DeviceFacts:
    """What a device says about itself; None for what it did not say."""
    serial: str | None = None
    fpga_id: str | None = None
    fpga_version: str | None = None
    control_fw_version: str | None = None
    no_fpga_image: bool = False  # it refused the FPGA version query: its FPGA runs no image


def read_facts(tool: FpgaTool, device_type: int) -> DeviceFacts:
    """The facts of the device behind `tool` (an FpgaTool), through queries that change nothing:
    GET_SN, FPGA_GET_ID, the FPGA version as its device type reports it, GET_FW_VER. A reply
    that cannot be used leaves its fact None; what ends the exchange propagates."""
    read_fpga_version = DEVICE_TYPES[device_type].read_fpga_version
    facts: dict[str, str | None] = {}
    no_fpga_image = False
    for name, query in (("serial", tool._fpgaGetSerialNumber), ("fpga_id", tool._fpgaGetId),
                        ("fpga_version", lambda: read_fpga_version(tool)),
                        ("control_fw_version", tool._fpgaGetControlFwVer)):
        try:
            facts[name] = query() or None
        except NoFpgaImage:
            facts[name], no_fpga_image = None, True
        except (ValueError, AttributeError, TypeError):  # a reply that is not what the type reports
            facts[name] = None
    return DeviceFacts(facts["serial"], facts["fpga_id"], facts["fpga_version"], facts["control_fw_version"],
                       no_fpga_image)
