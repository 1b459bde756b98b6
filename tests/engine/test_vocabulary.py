"""The one vocabulary of outcomes, held to the FPGA module's sources, the advice table, the
display and the reference."""

import pathlib

from orbisk_tools.engine.advice import PHASE_WORDS, REASONS
from orbisk_tools.engine.outcomes import DeviceState, Phase, Reason
from orbisk_tools.report.site import PHASE_NAMES

ROOT = pathlib.Path(__file__).parent.parent.parent


def test_every_reason_key_of_the_module_is_a_reason_with_a_line_and_a_reference_entry(module_keys):
    assert len(module_keys) > 20  # the parse found the keys
    assert module_keys <= {reason.value for reason in Reason}
    assert set(REASONS) == set(Reason)  # the tools' own keys end updates too: each has its line
    outcomes_page = (ROOT / "docs" / "api" / "outcomes.rst").read_text()
    engine_page = (ROOT / "docs" / "api" / "engine.rst").read_text()
    assert {key for key in module_keys if f'``"{key}"``' not in outcomes_page} == set()
    assert {reason for reason in set(Reason) - module_keys if f'``"{reason}"``' not in engine_page} == set()


def test_every_phase_and_device_state_of_the_module_is_in_the_vocabulary_and_has_its_words():
    import orbisk.VornFpga as module

    assert set(module._PHASES) <= set(Phase) and set(Phase) - set(module._PHASES) == {Phase.CONNECT, Phase.PROBE,
                                                                                         Phase.BACKUP}
    assert set(module._DEVICE_STATES) == set(DeviceState)
    assert set(PHASE_WORDS) == set(PHASE_NAMES) == set(Phase)
