"""python -m orbisk_tools: the orbisk-fpga command line."""

import sys

from orbisk_tools.cli import main

sys.exit(main())
