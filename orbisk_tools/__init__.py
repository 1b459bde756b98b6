"""The project's own tools around the orbisk native modules, in layers that import only downwards:
the orbisk-fpga command line (cli), what it shows (report), the work on devices (engine), the
update history (records), the device emulator and an example device class (devices), and file
and wire formats (formats)."""
