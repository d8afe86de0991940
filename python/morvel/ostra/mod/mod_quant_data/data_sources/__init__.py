"""Part of the stand-in host layer (the SDK's real framework isn't available here)."""
