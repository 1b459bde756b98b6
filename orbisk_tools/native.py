"""The FPGA module, as the tools use it: imported when first needed, so that a script that only
checks its arguments does not load it, and imported so that it leaves the script's logging as it
was. On its import the module configures logging for a host that has not (a handler on standard
output at INFO, on the root logger); a script that uses the engine keeps its own configuration
instead, and sees the module's lines on the logger "FPGA" as it configures it."""

from __future__ import annotations

import logging
import threading
from types import ModuleType

_importing = threading.Lock()
_imported: list[ModuleType] = []  # the module, once its import has ended


def fpga_module() -> ModuleType:
    """orbisk.VornFpga, imported on first use with the root logger's handlers and level kept."""
    if _imported:
        return _imported[0]
    with _importing:  # a thread that comes while another imports it waits for the whole module
        if not _imported:
            root = logging.getLogger()
            handlers, level = list(root.handlers), root.level
            import orbisk.VornFpga

            for handler in root.handlers[:]:
                if handler not in handlers:  # what the module's own configuration added
                    root.removeHandler(handler)
            root.setLevel(level)
            _imported.append(orbisk.VornFpga)
        return _imported[0]
