"""The engine: updating the FPGA image of one device or of several at once, as orbisk-fpga does it.

The image is checked once, by the FPGA module's own checks, and every host name is
looked up once, before any device is touched (so that one device named twice is
refused). Then each device gets a Job in a thread of its own: a lock on each of its
addresses and, once read, on its serial number (so that no two updates of one device ever
run at once, in this process or another, of any user), its own connection and FpgaTool,
and an Outcome whose message says in one line what happened and what to do next.
"""
