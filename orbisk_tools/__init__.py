"""The project's own tools around the orbisk native modules: the orbisk-fpga command line
(cli.py; updates in fleet.py, display in display.py, option types in options.py), the
signed-image packer, the device emulator and an example device class."""
