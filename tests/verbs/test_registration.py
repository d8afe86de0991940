import click
import pytest

LICENSE_DOC = (
    "\n"
    "    配置 morvel 用户名和密码到环境变量\n"
    "\n"
    "    morvel license 进入交互模式\n"
    "    morvel license -u [USERNAME] -p [PASSWORD] -k [APP_KEY] 配置当前环境的用户名和密码或app_key\n"
    "    morvel license --show 显示配置的用户名和密码或app_key\n"
    "    morvel license --env 配置morvel使用环境，互联网环境无需配置\n"
    "    例如: morvel license -u [user] -p [password]\n"
    "\n"
    "    "
)

CALLBACKS = [
    ("license", LICENSE_DOC),
    ("shell", "打开 ipython 并执行 vdx.init"),
    ("check_data", "\n        检查bundle中的数据是否正确\n    "),
    ("download_data", "\n    下载样例回测数据。\n    下载样例数据不使用morvel流量。\n    "),
]


@pytest.mark.parametrize("name, doc", CALLBACKS)
def test_callback_identity(verbs, name, doc):
    command = getattr(verbs, name)
    assert isinstance(command, click.Command)
    assert command.name == name.replace("_", "-")
    cb = command.callback
    assert (cb.__name__, cb.__qualname__, cb.__module__) == (name, name, "morvel.ostra.sdk.verbs")
    assert cb.__doc__ == doc


def test_registration_order(verbs):
    names = ["license", "shell", "update_data", "check_data", "download_data"]
    assert list(vars(verbs))[-6:] == ["cli", *names]
    assert list(verbs.cli.commands) == [n.replace("_", "-") for n in names]


def test_group_help_lists_every_command(run):
    help_page = run(["--help"]).output
    listed = help_page.split("Commands:\n")[1].splitlines()
    assert [line.split()[0] for line in listed] == [
        "check-data", "download-data", "license", "shell", "update-data"]


def describe(param):
    return (param.name, param.opts, param.is_flag, param.default, param.help,
            getattr(param, "hide_input", False), type(param.type).__name__)


# The -d option shared by the data commands; its default and help come from the host.
BUNDLE_PATH = "data bundle path option"


@pytest.mark.parametrize("command, options", [
    ("license", [
        ("username", ["--username", "-u"], False, None, "用户名", False, "StringParamType"),
        ("password", ["--password", "-p"], False, None, "密码", True, "StringParamType"),
        ("env", ["--env"], False, None, "环境", False, "StringParamType"),
        ("show", ["--show"], True, False, None, False, "BoolParamType"),
    ]),
    ("check_data", [
        BUNDLE_PATH,
        ("minbar", ["--minbar"], True, False, "检查分钟数据是否异常", False, "BoolParamType"),
        ("daybar", ["--daybar"], True, False, "检查日线数据是否异常", False, "BoolParamType"),
    ]),
    ("download_data", [
        BUNDLE_PATH,
        ("sample", ["--sample"], True, False, "下载数据样例", False, "BoolParamType"),
        ("file_path", ["-f", "--file-path"], False, None, "指定的压缩文件包", False,
         "StringParamType"),
    ]),
    ("shell", []),
])
def test_options(verbs, command, options):
    default = verbs.DEFAULT_BUNDLE_PATH
    bundle_path = ("data_bundle_path", ["-d", "--data-bundle-path"], False, default,
                   "bundle 目录，默认为 {}".format(default), False, "Path")
    expected = [bundle_path if row is BUNDLE_PATH else row for row in options]
    params = getattr(verbs, command).params
    assert [describe(p) for p in params] == expected
    for p in params:
        if isinstance(p.type, click.Path):
            assert (p.type.file_okay, p.type.dir_okay) == (False, True)
