# Type stubs of the stand-in host module orbisk.VornPublic.
import enum

class RetCode(enum.Enum):
    OK = 0
    WARNING = 1
    ERROR = 2

class FBSMode(enum.IntEnum):
    """Fast beam switch modes."""

    DISABLED = 0
    FULL_GAIN_PHASE = 1
    PHASE_ONLY = 2
    GAIN_ONLY = 3

class RFMode(enum.Enum):
    TX = 0
    RX = 1
