"""Top-level package of the SDK.

Here it holds the stand-in host layer (the SDK's real framework isn't
available) plus the native extension modules that get installed into it.
"""
