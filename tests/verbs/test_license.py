import json
import types

import click
import pexpect
import pytest


MENU = "请选择要输入的内容 (password, app-key) [password]: "
ENV_NAMES = ["test", "inner", "dev", "uat", "wm", "wmout"]


@pytest.fixture
def stored(verbs, calls, record, monkeypatch):
    """Recorders in place of the settings store; returns the log of
    set_to_environ calls as (variable, value) pairs."""
    monkeypatch.setattr(verbs, "set_to_environ", record("set"))
    monkeypatch.setattr(verbs, "get_license_info", record("get", (None, None)))
    return lambda: [args for name, args, _ in calls if name == "set"]


# ------------------------------------------------------------------ store mode

@pytest.mark.parametrize("args, input, stores, output", [
    pytest.param(["-u", "alice", "-p", "secret"], None,
                 [("MORVEL_LICENSE", "alice:secret")], "", id="both-given"),
    pytest.param(["-p", "secret"], "bob\n",
                 [("MORVEL_LICENSE", "bob:secret")], "请输入用户名: bob\n", id="asks-user-only"),
    pytest.param(["-u", "alice"], "app-key\nKEY\n",
                 [("MORVEL_APPKEY_LICENSE", "alice:KEY")],
                 MENU + "app-key\n请输入app-key: KEY\n", id="menu-app-key"),
    pytest.param(["-u", "alice"], "\npw\n",
                 [("MORVEL_LICENSE", "alice:pw")],
                 MENU + "\n请输入密码: \n", id="menu-default-password-hidden"),
    pytest.param(["--env", "dev"], "carol\npassword\npw\n",
                 [("MORVEL_LICENSE", "carol:pw"), ("morvelsdk_env", "dev")],
                 "请输入用户名: carol\n" + MENU + "password\n请输入密码: \n", id="env-still-asks"),
    pytest.param(["-u", "a", "-p", "s", "--env", "prod"], None,
                 [("MORVEL_LICENSE", "a:s")], "", id="unknown-env-ignored"),
    pytest.param(["-u", "a", "-p", "", "--env", "uat"], None,
                 [("morvelsdk_env", "uat")], "", id="empty-password-not-stored"),
    pytest.param(["-u", "", "-p", "s"], None,
                 [("MORVEL_LICENSE", ":s")], "", id="empty-user-not-asked"),
    pytest.param(["-u", "a:b", "-p", "c:d"], None,
                 [("MORVEL_LICENSE", "a:b:c:d")], "", id="colons-unescaped"),
    pytest.param(["--show", "-u", "a", "-p", "b", "--env", "dev"], None,
                 [], "", id="show-ignores-the-rest"),
])
def test_store(run, stored, args, input, stores, output):
    result = run(["license", *args], input)
    assert result.exit_code == 0, result.output
    assert stored() == stores
    assert result.output == output


@pytest.mark.parametrize("env", ENV_NAMES)
def test_every_environment_name_is_stored(run, stored, env):
    result = run(["license", "-u", "a", "-p", "s", "--env", env])
    assert result.exit_code == 0
    assert stored() == [("MORVEL_LICENSE", "a:s"), ("morvelsdk_env", env)]


def test_k_is_not_an_option(run, stored):
    result = run(["license", "-u", "a", "-k", "key"])
    assert result.exit_code == 2
    assert "No such option: -k" in result.output
    assert stored() == []


@pytest.fixture
def scripted_click(verbs, calls, record, monkeypatch):
    """A `click` whose prompt gives scripted answers, to reach the answers a
    real terminal never gives (None).  Choice and echo stay click's own."""
    answers = {}

    def prompt(text, **kwargs):
        calls.append(("prompt", (text,), kwargs))
        return answers[text]

    fake = types.SimpleNamespace(prompt=prompt, Choice=click.Choice,
                                 echo=record("echo"))
    monkeypatch.setattr(verbs, "click", fake)
    return answers


@pytest.mark.parametrize("kwargs, answers, message", [
    (dict(username=None, password="p"), {"请输入用户名": None}, "用户名不能为空"),
    (dict(username="a", password=None), {"请选择要输入的内容": "password", "请输入密码": None},
     "密码不能为空"),
    (dict(username="a", password=None), {"请选择要输入的内容": "app-key", "请输入app-key": None},
     "app_key不能为空"),
    (dict(username="a", password=None), {"请选择要输入的内容": "other"},
     "密码或app-key不能同时为空"),
])
def test_missing_answer_stops_with_message(verbs, calls, stored, scripted_click, kwargs,
                                           answers, message):
    scripted_click.update(answers)
    # app_key is left out: the callback's own default (None) applies.
    assert verbs.license.callback(show=False, env="dev", **kwargs) is None
    assert calls[-1] == ("echo", (message,), {})
    assert stored() == []


def test_prompt_arguments(verbs, calls, stored, scripted_click):
    scripted_click.update({"请输入用户名": "u", "请选择要输入的内容": "password",
                           "请输入密码": "pw"})
    verbs.license.callback(username=None, password=None, show=False, env=None)
    prompts = [(args[0], kwargs) for name, args, kwargs in calls if name == "prompt"]
    assert [text for text, _ in prompts] == ["请输入用户名", "请选择要输入的内容", "请输入密码"]
    user_kw, menu_kw, password_kw = (kw for _, kw in prompts)
    assert user_kw == {"type": str}
    assert list(menu_kw) == ["type", "default"] and menu_kw["default"] == "password"
    assert isinstance(menu_kw["type"], click.Choice)
    assert menu_kw["type"].choices == ["password", "app-key"]
    assert list(password_kw.items()) == [("type", str), ("hide_input", True)]
    assert stored() == [("MORVEL_LICENSE", "u:pw")]


def test_non_string_user_name_meets_interpreter_addition(verbs, stored):
    with pytest.raises(TypeError):
        verbs.license.callback(username=7, password="x", show=False, env=None)
    assert stored() == []


def test_callback_signature(verbs):
    cb = verbs.license.callback
    assert cb.__code__.co_varnames == ("username", "password", "app_key", "show", "env")
    with pytest.raises(TypeError, match=r"^license\(\) takes at most 5 positional arguments"):
        cb(1, 2, 3, 4, 5, 6)
    with pytest.raises(TypeError, match="unexpected keyword argument 'key'"):
        cb(username="a", password="b", show=True, env=None, key=1)
    with pytest.raises(TypeError, match=r"^license\(\) takes at least 4"):
        cb(username="a", password="b", env=None)  # show has no default


# ------------------------------------------------------------------ show mode

@pytest.fixture
def licence_store(verbs, record, monkeypatch):
    """get_license_info answering from a dict keyed by its argument tuple."""
    table = {}
    monkeypatch.setattr(verbs, "get_license_info",
                        record("get", lambda *args: table[args]))
    monkeypatch.setattr(verbs, "set_to_environ", record("set"))
    return table


NOTHING = (None, None)
APPKEY = ("MORVEL_APPKEY_LICENSE",)


class Formatted:
    """A value whose default format is not its str()."""

    def __str__(self):
        return "str"

    def __format__(self, spec):
        return "format" + spec


@pytest.mark.parametrize("pw_pair, key_pair, env, output, reads", [
    (NOTHING, NOTHING, None, "", [(), APPKEY]),
    (NOTHING, NOTHING, "dev", "当前环境: dev\n", [(), APPKEY]),
    (("alice", "pw"), ("bob", "key"), None, "用户名: alice\n密码: pw\n", [()]),
    (("alice", ""), ("bob", "key"), None, "用户名: bob\napp_key: key\n", [(), APPKEY]),
    ((None, "pw"), ("", "key"), None, "", [(), APPKEY]),
    (("alice", "pw"), NOTHING, "wmout", "用户名: alice\n密码: pw\n", [()]),
    (NOTHING, NOTHING, "prod", "", [(), APPKEY]),
    ((42, 3.5), NOTHING, None, "用户名: 42\n密码: 3.5\n", [()]),
    (["alice", "pw"], NOTHING, None, "用户名: alice\n密码: pw\n", [()]),
    ((Formatted(), Formatted()), NOTHING, None, "用户名: format\n密码: format\n", [()]),
])
def test_show(run, calls, licence_store, monkeypatch, pw_pair, key_pair, env, output, reads):
    licence_store[()] = pw_pair
    licence_store[APPKEY] = key_pair
    if env is not None:
        monkeypatch.setenv("morvelsdk_env", env)
    result = run(["license", "--show"])
    assert result.exit_code == 0, result.output
    assert result.output == output
    assert [args for name, args, _ in calls] == reads  # and nothing stored


@pytest.mark.parametrize("env", ENV_NAMES)
def test_show_environment_names(run, licence_store, monkeypatch, env):
    licence_store[()] = licence_store[APPKEY] = NOTHING
    monkeypatch.setenv("morvelsdk_env", env)
    shown = run(["license", "--show"]).output
    assert shown == ("" if env == "wmout" else "当前环境: %s\n" % env)


@pytest.mark.parametrize("value, message", [
    ((1, 2, 3), "too many values to unpack (expected 2)"),
    (iter("abc"), "too many values to unpack (expected 2)"),
    (("a",), "need more than 1 value to unpack"),
    ([], "need more than 0 values to unpack"),
    (iter(["a"]), "need more than 1 value to unpack"),
])
def test_show_unpack_errors(verbs, licence_store, value, message):
    licence_store[()] = value
    with pytest.raises(ValueError) as err:
        verbs.license.callback(username=None, password=None, show=True, env=None)
    assert str(err.value) == message


def test_show_reads_the_pair_through_any_iterable(verbs, licence_store, capsys):
    licence_store[()] = (x for x in ("u", "p"))
    verbs.license.callback(username=None, password=None, show=True, env=None)
    assert capsys.readouterr().out == "用户名: u\n密码: p\n"


def test_show_uses_names_rebound_after_import(run, verbs, monkeypatch):
    # get_license_info and os are read from the module at each call.
    monkeypatch.setattr(verbs, "get_license_info", lambda *a: ("late", "bound"))
    monkeypatch.setattr(verbs, "os", types.SimpleNamespace(getenv=lambda name: "uat"))
    assert run(["license", "--show"]).output == "用户名: late\n密码: bound\n当前环境: uat\n"


# ------------------------------------------------------------------ real program

def test_store_then_show_in_new_processes(morvel):
    stored = morvel("license", "-u", "alice", "-p", "secret", "--env", "wm")
    assert (stored.returncode, stored.stdout) == (0, "")
    shown = morvel("license", "--show")
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout == "用户名: alice\n密码: secret\n当前环境: wm\n"


def test_terminal_menu_rejects_then_hides_password(spawn, tmp_path):
    child = spawn("license", "-u", "alice")
    child.expect_exact(MENU)
    child.sendline("nope")
    child.expect_exact("Error: 'nope' is not one of 'password', 'app-key'.")
    child.expect_exact(MENU)
    child.sendline("password")
    child.expect_exact("请输入密码: ")
    child.sendline("s3cret")
    child.expect(pexpect.EOF)
    child.close()
    assert "s3cret" not in child.before
    assert child.exitstatus == 0
    settings = json.loads((tmp_path / "config" / "settings.json").read_text())
    assert settings == {"MORVEL_LICENSE": "alice:s3cret"}


def test_terminal_app_key_through_menu(spawn, morvel):
    child = spawn("license", "-u", "alice")
    child.expect_exact(MENU)
    child.sendline("app-key")
    child.expect_exact("请输入app-key: ")
    child.sendline("K-1")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    shown = morvel("license", "--show")
    assert shown.stdout == "用户名: alice\napp_key: K-1\n"


@pytest.mark.parametrize("interrupt", ["sendintr", "sendeof"])
def test_interrupted_prompt_aborts(spawn, tmp_path, interrupt):
    child = spawn("license")
    child.expect_exact("请输入用户名: ")
    getattr(child, interrupt)()
    child.expect_exact("Aborted!")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 1
    assert not (tmp_path / "config" / "settings.json").exists()
