"""What orbisk-fpga update says once every device is done."""

from orbisk_tools.engine.outcomes import SUCCEEDED
from orbisk_tools.report.tables import Field, print_table


SUMMARY_FIELDS = (Field("Device", whole=True), Field("Result"), Field("FPGA version", rank=2, moves=True),
                  Field("Before", rank=3, moves=True), Field("Time", rank=1))


def summary_table(outcomes, output):
    """The outcome of each device of a fleet, as a table: the devices that need more first, each
    one's details on a line under its row."""
    ordered = sorted(outcomes, key=lambda outcome: outcome.result in SUCCEEDED)
    rows = [([outcome.address, outcome.result, outcome.fpga_version or "-", outcome.fpga_version_before or "-",
              f"{outcome.seconds:.1f} s"], outcome.message) for outcome in ordered]
    print_table(output, "FPGA update summary", SUMMARY_FIELDS, rows, pipe_width=160)
