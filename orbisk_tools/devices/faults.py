"""Misbehaviour of an emulated device on demand, and its own timings (Faults), with the sizes
and pauses of the faults that shape its replies on the link."""

import dataclasses

# With the split_replies fault: the size of each write, and the pause between two.
SPLIT_SIZE = 5
SPLIT_PAUSE = 0.001
# With the endless_reply fault: what each write sends, for ever.
ENDLESS_CHUNK = b"x" * 65536


@dataclasses.dataclass
class Faults:
    """Misbehaviour on demand, and the device's own timings. Counts of blocks and commands start
    at 0 and span all connections."""

    refuse_block: int | None = None  # index of the block to refuse ...
    refuse_times: int | None = 1  # ... this many times; None: for ever
    drop_after_blocks: int | None = None  # close the connection instead of taking this block (once)
    corrupt_read_offset: int | None = None  # flip the bits of the image byte at this offset in read-backs
    pad_last_page: bool = False  # answer a short last page padded to 16 bytes
    reply_delay: float = 0.0  # seconds to wait before every reply: a slow device, one reply after the other
    latency: float = 0.0  # seconds every reply spends on the link; replies in flight overlap
    one_command_per_read: bool = False  # take each read from the socket as one command, dropping the rest
    one_command_per_read_after: int | None = None  # ... once this many commands were taken
    silent_after: int | None = None  # after this many commands, never answer again
    erase_seconds: float = 0.0  # the erase takes this long, and is answered when done
    write_rate: float | None = None  # image bytes a second written to the configuration memory; None: at once
    endless_reply: str | None = None  # answer this command word with a line that never ends
    split_replies: bool = False  # send every reply in small writes, a little apart
    no_image_at_power_up: bool = False  # after a power cycle the FPGA runs no image, whatever the memory holds
