"""Optimizer API; part of the stand-in host layer (the SDK's real framework isn't available here)."""

from morvel.ostra.utils.logger import system_log


def optimize(*args, **kwargs):
    raise NotImplementedError("this host layer has no portfolio optimizer")


system_log.debug("optimizer api loaded: stand-in without a portfolio optimizer")
