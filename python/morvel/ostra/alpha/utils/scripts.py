"""Bundle check scripts; part of the stand-in host layer (the SDK's real framework isn't available here)."""


def check_tick(bundle_path):
    # Tick data needs the data service, which is absent; nothing to check.
    return None
