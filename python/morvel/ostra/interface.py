"""Plug-in interfaces; part of the stand-in host layer (the SDK's real framework isn't available here)."""

import abc


class AbstractMod(metaclass=abc.ABCMeta):
    """Base for mods: started with the run environment, torn down at exit."""

    @abc.abstractmethod
    def start_up(self, env, mod_config):
        raise NotImplementedError

    @abc.abstractmethod
    def tear_down(self, code, exception=None):
        raise NotImplementedError
