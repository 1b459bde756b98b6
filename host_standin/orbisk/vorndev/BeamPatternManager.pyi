# Type stubs of the stand-in host module orbisk.vorndev.BeamPatternManager.

class BeamPatternManager:
    """Stand-in for the host SDK's per-device beam pattern manager."""
