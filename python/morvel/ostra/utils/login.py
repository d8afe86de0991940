"""Data API setup; part of the stand-in host layer (the SDK's real framework isn't available here)."""


def init_vdx():
    """Prepare the data API.

    There is no data service behind this host layer, so there is nothing to
    prepare. It must stay silent: it runs right before help pages print.
    """
    return None
