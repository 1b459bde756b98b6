"""The README's first two commands set up what they use, on a system whose Python refuses
`pip install` outside a virtual environment, and CI runs the test command as written."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def first_commands():
    blocks = re.findall(r"```sh\n(.*?)```", (ROOT / "README.md").read_text(), re.DOTALL)
    return [block.strip() for block in blocks[:2]]


def test_each_command_makes_the_environment_it_installs_into():
    commands = first_commands()
    assert len(commands) == 2 and all("\n" not in command for command in commands)
    for command in commands:
        make, *steps = [step.strip() for step in command.split("&&")]
        environment = re.fullmatch(r"python3 -m venv (\S+)", make)
        assert environment, command
        assert steps and all(step.startswith(f"{environment[1]}/bin/") for step in steps), command
    assert commands[0].endswith("bin/orbisk-fpga demo") and commands[1].endswith("bin/pytest")


def test_ci_runs_the_test_command_as_written():
    ci = (ROOT / ".ci" / "run").read_text()
    assert first_commands()[1] in ci
