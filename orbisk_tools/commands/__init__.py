"""The commands of orbisk-fpga, one module each: its help, examples, options and body.

A command module has NAME, HELP, EXAMPLES, add_options(parser) and run(args); COMMANDS lists
them in the order that --help shows. What several commands share is in `shared`.
"""

from orbisk_tools.commands import demo, emulate, history, init, inspect, keygen, pack, sign, status, update, verify

COMMANDS = (update, verify, status, history, inspect, init, pack, sign, keygen, emulate, demo)
