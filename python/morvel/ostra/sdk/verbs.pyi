# The command group and its commands.  Each module attribute named after a
# command is the click command; its plain function is the command's callback.
from typing import overload

import click

from morvel.ostra.sdk.const import (
    CONCERNED_PACKAGES as CONCERNED_PACKAGES,
    DEFAULT_BUNDLE_PATH as DEFAULT_BUNDLE_PATH,
    TAG_MAP as TAG_MAP,
)
from morvel.ostra.sdk.license_helper import (
    get_license_info as get_license_info,
    set_to_environ as set_to_environ,
)

class _CliGroup(click.Group):
    @staticmethod
    def callback() -> None: ...

class _LicenseCommand(click.Command):
    # app_key defaults to None while show and env stay required, which one
    # Python signature cannot say: leaving app_key out makes them keywords.
    @overload
    @staticmethod
    def callback(
        username: str | None, password: str | None, app_key: str | None, show: bool,
        env: str | None,
    ) -> None: ...
    @overload
    @staticmethod
    def callback(
        username: str | None, password: str | None, *, show: bool, env: str | None
    ) -> None: ...

class _ShellCommand(click.Command):
    @staticmethod
    def callback() -> None: ...

class _UpdateDataCommand(click.Command):
    @staticmethod
    def callback(
        data_bundle_path: str, base: bool, minbar: tuple[str, ...], tick: tuple[str, ...],
        with_derivatives: bool, concurrency: int, smart: bool, rebuild: bool,
    ) -> None: ...

class _CheckDataCommand(click.Command):
    @staticmethod
    def callback(data_bundle_path: str, minbar: bool, daybar: bool) -> None: ...

class _DownloadDataCommand(click.Command):
    @staticmethod
    def callback(
        data_bundle_path: str, sample: bool = True, file_path: str | None = None
    ) -> None: ...

cli: _CliGroup
license: _LicenseCommand
shell: _ShellCommand
update_data: _UpdateDataCommand
check_data: _CheckDataCommand
download_data: _DownloadDataCommand
