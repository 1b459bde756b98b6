"""The lazily created beam pattern manager and the fast beam command table."""

import enum

import pytest

import orbisk.vorndev.BeamHopper as bh
from orbisk.VornUtils import _RspType
from orbisk.vorndev.BeamHopper import BeamHopper
from orbisk.vorndev.BeamPatternManager import BeamPatternManager

CREATE = ("_create_beam_pattern_mgr", (), {})


class TestLazyManager:
    def test_not_created_until_read(self, device):
        device.external_control_enabled = True
        assert device.calls == [] and "_beam_pattern_mgr" not in vars(device)

    def test_created_once_and_kept_in_the_device(self, device):
        manager = device.beam_pattern_mgr
        assert isinstance(manager, BeamPatternManager)
        assert device.beam_pattern_mgr is manager and vars(device)["_beam_pattern_mgr"] is manager
        assert device.calls == [CREATE]
        assert BeamHopper._beam_pattern_mgr is None

    def test_a_none_manager_is_created_again_on_the_next_read(self, Device):
        device = Device(_create_beam_pattern_mgr=[lambda: None, lambda: "made"])
        assert device.beam_pattern_mgr is None
        assert device.beam_pattern_mgr == "made"
        assert device.calls == [CREATE, CREATE]

    def test_a_failed_creation_propagates_and_is_retried(self, Device):
        error = MemoryError("too many beams")
        device = Device(_create_beam_pattern_mgr=[error, lambda: "made"])
        with pytest.raises(MemoryError) as raised:
            device.beam_pattern_mgr
        assert raised.value is error and device._beam_pattern_mgr is None
        assert device.beam_pattern_mgr == "made"

    def test_read_only_but_the_stored_manager_may_be_replaced(self, device):
        with pytest.raises(AttributeError):
            device.beam_pattern_mgr = BeamPatternManager()
        device._beam_pattern_mgr = replacement = object()
        assert device.beam_pattern_mgr is replacement and device.calls == []

    def test_reaching_the_base_factory_raises_not_implemented(self, Device):
        class Unfinished(Device):
            def _create_beam_pattern_mgr(self):
                return super(Device, self)._create_beam_pattern_mgr()

        with pytest.raises(NotImplementedError) as raised:
            Unfinished().beam_pattern_mgr
        assert raised.value.args == ()


COMMANDS = [
    ("_getExtCtrl", "ExtCtrl_EN?"),
    ("_setExtCtrl", "ExtCtrl_EN"),
    ("_setBeamPatternEnable", "BEAM_PATTERN_STORE_EN"),
    ("_getBeamPatternEnable", "BEAM_PATTERN_STORE_EN?"),
    ("_eraseBeamPattern", "BEAM_PATTERN_ERASE"),
    ("_setBeamPatternStoreTDBS", "BEAM_PATTERN_STORE_TDBS_BEAM"),
    ("_setBeamPatternStoreFBS", "BEAM_PATTERN_STORE_FBS_BEAM"),
    ("_applyBeamPatternToBFIC", "BEAM_PATTERN_APPLY_BFIC"),
]


class TestCommandTable:
    def test_contents_and_order(self, device):
        table = device._fbs_cmd_dict()
        assert type(table) is dict
        assert list(table.items()) == [(hook, (command, _RspType.RSP_STRING)) for hook, command in COMMANDS]
        assert all(type(value) is tuple for value in table.values())
        assert device.calls == []

    def test_a_fresh_table_on_every_call(self, device):
        table = device._fbs_cmd_dict()
        table["_getExtCtrl"] = None
        table.clear()
        assert device._fbs_cmd_dict() == dict((h, (c, _RspType.RSP_STRING)) for h, c in COMMANDS)
        assert device._fbs_cmd_dict() is not device._fbs_cmd_dict()

    def test_looks_up_the_response_type_when_called(self, device, monkeypatch):
        class HostRspType(enum.Enum):
            RSP_STRING = "string"

        monkeypatch.setattr(bh, "RspType", HostRspType)
        assert {value[1] for value in device._fbs_cmd_dict().values()} == {HostRspType.RSP_STRING}
