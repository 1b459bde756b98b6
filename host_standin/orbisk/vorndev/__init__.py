"""Stand-in for the host SDK's ``orbisk.vorndev`` package."""
