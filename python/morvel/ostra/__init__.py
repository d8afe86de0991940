"""Stand-in host layer for the native modules.

The SDK's real framework isn't available here, so this tree offers only the
module names and call shapes the native modules import; the native modules
themselves are installed next to these files.
"""
