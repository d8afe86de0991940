"""Logging handles; part of the stand-in host layer (the SDK's real framework isn't available here)."""

import logging

system_log = logging.getLogger("morvel.system")
