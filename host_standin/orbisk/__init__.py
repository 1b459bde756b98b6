"""Stand-in for the host SDK's pure-Python modules.

This package directory is installed beside the native extension modules so
they can be developed and tested on their own. The real host SDK replaces it.
"""
