"""Stand-in for the host SDK module ``orbisk.vorndev.BeamPatternManager``; the real SDK replaces it."""


class BeamPatternManager:
    """Stand-in for the host SDK's per-device beam pattern manager.

    ``orbisk.vorndev.BeamHopper`` only names this type; each device class
    creates its own manager in ``_create_beam_pattern_mgr``.
    """
