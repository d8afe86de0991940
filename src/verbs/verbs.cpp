// morvel.ostra.sdk.verbs: the click group `cli` of the `morvel` program and
// its commands.  Everything the commands call besides click, os and sys is
// imported inside the command, so `morvel --help` loads none of it.
#include "../runtime/runtime.h"

#include <iterator>
#include <vector>

const rt::ModuleInfo rt::kModule = {"verbs", "morvel.ostra.sdk.verbs", "morvel\\ostra\\sdk\\verbs"};

namespace {

using rt::Ref;

rt::Name n_click("click"), n_os("os"), n_sys("sys"), n_path("path"), n_join("join"),
    n_exists("exists"), n_exit("exit"), n_echo("echo"), n_get_help("get_help"),
    n_update_data("update_data"), n_prompt("prompt"), n_get_license_info("get_license_info"),
    n_set_to_environ("set_to_environ");

// ------------------------------------------------------------------ helpers

// `click.echo(text)`
bool echo(PyObject* g, PyObject* text) {
  Ref click = rt::global(g, n_click);
  return static_cast<bool>(rt::call(rt::attr(click.get(), n_echo).get(), {text}));
}

// `os.path.join(directory, "bundle")`: the bundle proper inside a data bundle path.
Ref bundle_dir(PyObject* g, PyObject* data_bundle_path) {
  Ref os = rt::global(g, n_os);
  Ref join = rt::attr(rt::attr(os.get(), n_path).get(), n_join);
  return rt::call(join.get(), {data_bundle_path, rt::str("bundle").get()});
}

// `click.option(*decls, **kwargs)`: one option decorator.
Ref option(rt::Module& m, std::initializer_list<const char*> decls,
           std::initializer_list<rt::Kw> kwargs) {
  Ref factory = rt::attr(m.get("click").get(), "option");
  Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(decls.size())));
  Ref kw = Ref::steal(PyDict_New());
  if (!factory || !args || !kw) return Ref();
  Py_ssize_t i = 0;
  for (const char* d : decls) {
    PyObject* text = PyUnicode_FromString(d);
    if (!text) return Ref();
    PyTuple_SET_ITEM(args.get(), i++, text);  // steals the new reference
  }
  for (const rt::Kw& k : kwargs)
    if (!k.value || PyDict_SetItemString(kw.get(), k.name, k.value) < 0) return Ref();
  return Ref::steal(PyObject_Call(factory.get(), args.get(), kw.get()));
}

// `"<text>".format(value)`, as the help texts are filled at import.
Ref format(const char* text, PyObject* value) {
  Ref tmpl = rt::str(text);
  return rt::call(rt::attr(tmpl.get(), "format").get(), {value});
}

// Registers a command: `cli.command()` first, then the option decorators
// top to bottom, then the callback; the decorators apply bottom-up.
bool add_command(rt::Module& m, const rt::FunctionDef& def,
                 const std::vector<Ref (*)(rt::Module&)>& options, Ref defaults = Ref(),
                 int first_default = -1) {
  Ref command = rt::call(rt::attr(m.get("cli").get(), "command").get());
  if (!command) return false;
  std::vector<Ref> decorators;
  for (auto make : options) {
    decorators.push_back(make(m));
    if (!decorators.back()) return false;
  }
  Ref target = m.function(def, std::move(defaults), first_default);
  for (auto it = decorators.rbegin(); it != decorators.rend() && target; ++it)
    target = rt::call(it->get(), {target.get()});
  target = rt::call(command.get(), {target.get()});
  return m.bind(def.name, std::move(target));
}

// The `-d` / `--data-bundle-path` option shared by the data commands.
Ref data_bundle_path_option(rt::Module& m) {
  Ref path_type =
      rt::call(rt::attr(m.get("click").get(), "Path").get(), {}, {{"file_okay", Py_False}});
  Ref default_path = m.get("DEFAULT_BUNDLE_PATH");
  Ref help = format("bundle 目录，默认为 {}", default_path.get());
  return option(m, {"-d", "--data-bundle-path"},
                {{"type", path_type.get()}, {"default", default_path.get()}, {"help", help.get()}});
}

Ref flag(rt::Module& m, const char* decl, const char* help_text) {
  Ref help = rt::str(help_text);
  return option(m, {decl}, {{"is_flag", Py_True}, {"default", Py_False}, {"help", help.get()}});
}

// ------------------------------------------------------------------ cli

PyObject* cli(PyObject*, PyObject* const*) { Py_RETURN_NONE; }

const rt::FunctionDef kCli = {"cli",
                              nullptr,
                              {},
                              cli,
                              "\n"
                              "    输入 morvel [COMMAND] --help 查看命令详情\n"
                              "    例如：morvel update-data --help\n"
                              "    ",
                              30};

// ------------------------------------------------------------------ license

const char* const kEnvNames[] = {"test", "inner", "dev", "uat", "wm", "wmout"};
constexpr size_t kShownEnvNames = 5;  // a stored "wmout" is not shown

// `prefix + format(value, "")`, one line of the show mode: a value's default
// format, which is not always its str() (str-based enumerations, say).
bool echo_labelled(PyObject* g, const char* prefix, PyObject* value) {
  Ref text = rt::str(prefix);
  Ref shown = text ? Ref::steal(PyObject_Format(value, nullptr)) : Ref();
  if (!text || !shown) return false;
  Ref line = Ref::steal(PyUnicode_Concat(text.get(), shown.get()));
  return line && echo(g, line.get());
}

bool echo_text(PyObject* g, const char* text) {
  Ref t = rt::str(text);
  return t && echo(g, t.get());
}

// `get_license_info(*args)` unpacked into the pair (user, secret).
bool license_info(PyObject* g, std::initializer_list<PyObject*> args, Ref& user, Ref& secret) {
  Ref info = rt::call(rt::global(g, n_get_license_info).get(), args);
  Ref pair[2];
  if (!info || !rt::unpack(info.get(), pair, 2)) return false;
  user = std::move(pair[0]);
  secret = std::move(pair[1]);
  return true;
}

// 1 when both are true, 0 when either is false, -1 on error.
int both_true(PyObject* a, PyObject* b) {
  int t = rt::truth(a);
  if (t <= 0) return t;
  return rt::truth(b);
}

// Index of the first of `names[0..count)` equal to `value`; -1 for none, -2 on error.
int match_env(PyObject* value, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    int same = rt::equals(value, kEnvNames[i]);
    if (same < 0) return -2;
    if (same) return static_cast<int>(i);
  }
  return -1;
}

PyObject* show_license(PyObject* g) {
  Ref user, pw;
  if (!license_info(g, {}, user, pw)) return nullptr;
  int stored = both_true(user.get(), pw.get());
  if (stored < 0) return nullptr;
  if (stored) {
    if (!echo_labelled(g, "用户名: ", user.get()) || !echo_labelled(g, "密码: ", pw.get()))
      return nullptr;
  } else {
    Ref key;  // the app_key parameter, overwritten by what is stored
    Ref variable = rt::str("MORVEL_APPKEY_LICENSE");
    if (!variable || !license_info(g, {variable.get()}, user, key)) return nullptr;
    stored = both_true(user.get(), key.get());
    if (stored < 0) return nullptr;
    if (stored &&
        (!echo_labelled(g, "用户名: ", user.get()) || !echo_labelled(g, "app_key: ", key.get())))
      return nullptr;
  }

  Ref getenv = rt::attr(rt::global(g, n_os).get(), "getenv");
  Ref env = rt::call(getenv.get(), {rt::str("morvelsdk_env").get()});
  if (!env) return nullptr;
  int set = rt::truth(env.get());
  if (set < 0) return nullptr;
  if (set) {
    int known = match_env(env.get(), kShownEnvNames);
    if (known == -2) return nullptr;
    if (known >= 0 && !echo_labelled(g, "当前环境: ", env.get())) return nullptr;
  }
  Py_RETURN_NONE;
}

// `click.prompt(text, type=str)`, or with hide_input=True for a secret.
Ref prompt_text(PyObject* g, const char* text, bool hidden = false) {
  Ref prompt = rt::attr(rt::global(g, n_click).get(), n_prompt);
  Ref t = rt::str(text);
  PyObject* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
  if (hidden)
    return rt::call(prompt.get(), {t.get()}, {{"type", str_type}, {"hide_input", Py_True}});
  return rt::call(prompt.get(), {t.get()}, {{"type", str_type}});
}

// The menu: which secret the user enters, "password" or "app-key".
Ref prompt_secret_kind(PyObject* g) {
  Ref prompt = rt::attr(rt::global(g, n_click).get(), n_prompt);
  Ref text = rt::str("请选择要输入的内容");
  Ref choices = rt::list({rt::str("password").get(), rt::str("app-key").get()});
  Ref choice = rt::call(rt::attr(rt::global(g, n_click).get(), "Choice").get(), {choices.get()});
  Ref fallback = rt::str("password");
  return rt::call(prompt.get(), {text.get()},
                  {{"type", choice.get()}, {"default", fallback.get()}});
}

// `set_to_environ(variable, username + ":" + secret)`
bool store_pair(PyObject* g, const char* variable, PyObject* username, PyObject* secret) {
  Ref colon = rt::str(":");
  if (!colon) return false;
  Ref with_colon = Ref::steal(PyNumber_Add(username, colon.get()));
  if (!with_colon) return false;
  Ref value = Ref::steal(PyNumber_Add(with_colon.get(), secret));
  Ref set_to_environ = rt::global(g, n_set_to_environ);
  return static_cast<bool>(rt::call(set_to_environ.get(), {rt::str(variable).get(), value.get()}));
}

// Stores the secret under `variable` when it is true; false on error.
bool store_if_given(PyObject* g, const char* variable, PyObject* username, PyObject* secret) {
  int given = rt::truth(secret);
  if (given < 0) return false;
  return !given || store_pair(g, variable, username, secret);
}

PyObject* store_license(PyObject* g, PyObject* username_arg, PyObject* password_arg,
                        PyObject* app_key_arg, PyObject* env) {
  Ref username = Ref::borrow(username_arg);
  Ref password = Ref::borrow(password_arg);
  Ref app_key = Ref::borrow(app_key_arg);

  if (username.get() == Py_None) {
    username = prompt_text(g, "请输入用户名");
    if (!username) return nullptr;
    if (username.get() == Py_None) {
      if (!echo_text(g, "用户名不能为空")) return nullptr;
      Py_RETURN_NONE;
    }
  }

  if (password.get() == Py_None && app_key.get() == Py_None) {
    Ref opt = prompt_secret_kind(g);
    if (!opt) return nullptr;
    int is_password = rt::equals(opt.get(), "password");
    if (is_password < 0) return nullptr;
    if (is_password) {
      password = prompt_text(g, "请输入密码", true);
      if (!password) return nullptr;
      if (password.get() == Py_None) {
        if (!echo_text(g, "密码不能为空")) return nullptr;
        Py_RETURN_NONE;
      }
    } else {
      int is_app_key = rt::equals(opt.get(), "app-key");
      if (is_app_key < 0) return nullptr;
      if (is_app_key) {
        app_key = prompt_text(g, "请输入app-key");
        if (!app_key) return nullptr;
        if (app_key.get() == Py_None) {
          if (!echo_text(g, "app_key不能为空")) return nullptr;
          Py_RETURN_NONE;
        }
      }
    }
  }

  if (password.get() == Py_None && app_key.get() == Py_None) {
    if (!echo_text(g, "密码或app-key不能同时为空")) return nullptr;
    Py_RETURN_NONE;
  }

  if (!store_if_given(g, "MORVEL_LICENSE", username.get(), password.get()) ||
      !store_if_given(g, "MORVEL_APPKEY_LICENSE", username.get(), app_key.get()))
    return nullptr;

  int known = match_env(env, std::size(kEnvNames));
  if (known == -2) return nullptr;
  if (known >= 0) {
    Ref set_to_environ = rt::global(g, n_set_to_environ);
    if (!rt::call(set_to_environ.get(), {rt::str("morvelsdk_env").get(), env})) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* license(PyObject* g, PyObject* const* a) {
  PyObject *username = a[0], *password = a[1], *app_key = a[2], *show = a[3], *env = a[4];
  int show_mode = rt::truth(show);
  if (show_mode < 0) return nullptr;
  if (show_mode) return show_license(g);
  return store_license(g, username, password, app_key, env);
}

const rt::FunctionDef kLicense = {
    "license",
    nullptr,
    {"username", "password", "app_key", "show", "env"},
    license,
    "\n"
    "    配置 morvel 用户名和密码到环境变量\n"
    "\n"
    "    morvel license 进入交互模式\n"
    "    morvel license -u [USERNAME] -p [PASSWORD] -k [APP_KEY] "
    "配置当前环境的用户名和密码或app_key\n"
    "    morvel license --show 显示配置的用户名和密码或app_key\n"
    "    morvel license --env 配置morvel使用环境，互联网环境无需配置\n"
    "    例如: morvel license -u [user] -p [password]\n"
    "\n"
    "    ",
    40};

const std::vector<Ref (*)(rt::Module&)> kLicenseOptions = {
    [](rt::Module& m) {
      Ref help = rt::str("用户名");
      return option(m, {"--username", "-u"}, {{"help", help.get()}});
    },
    [](rt::Module& m) {
      Ref help = rt::str("密码");
      return option(m, {"--password", "-p"}, {{"hide_input", Py_True}, {"help", help.get()}});
    },
    [](rt::Module& m) {
      Ref help = rt::str("环境");
      return option(m, {"--env"}, {{"help", help.get()}});
    },
    [](rt::Module& m) {
      return option(m, {"--show"}, {{"is_flag", Py_True}, {"default", Py_False}});
    },
};

// The app key has no option: click never passes it, so it defaults to None.
bool add_license(rt::Module& m) {
  Ref defaults = rt::tuple({Py_None});
  if (!defaults) return false;
  return add_command(m, kLicense, kLicenseOptions, std::move(defaults), 2);
}

// ------------------------------------------------------------------ shell

PyObject* shell(PyObject* g, PyObject* const*) {
  Ref embed;
  if (!rt::from_import(g, "IPython", {"embed"}, &embed)) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
    PyErr_Clear();
    if (!echo_text(g, "请安装ipython:pip install ipython")) return nullptr;
    Py_RETURN_NONE;
  }
  if (!rt::call(embed.get())) return nullptr;
  Py_RETURN_NONE;
}

const rt::FunctionDef kShell = {"shell", nullptr, {}, shell, "打开 ipython 并执行 vdx.init", 100};

// ------------------------------------------------------------------ update-data

// The help page of `update-data` itself, printed when nothing was selected.
PyObject* print_update_data_help(PyObject* g) {
  Ref context_type;
  if (!rt::from_import(g, "click", {"Context"}, &context_type)) return nullptr;
  Ref command = rt::global(g, n_update_data);
  Ref ctx = rt::call(context_type.get(), {command.get()});
  Ref help = rt::call(rt::attr(command.get(), n_get_help).get(), {ctx.get()});
  if (!help || !echo(g, help.get())) return nullptr;
  return PyLong_FromLong(1);
}

// True when no kind of update was asked for.  `base` and `smart` are
// compared by identity, so a direct call with base=None is a selection.
int is_empty_selection(PyObject* base, PyObject* minbar, PyObject* tick, PyObject* smart) {
  if (base != Py_False) return 0;
  int t = rt::truth(minbar);
  if (t != 0) return t < 0 ? -1 : 0;
  t = rt::truth(tick);
  if (t != 0) return t < 0 ? -1 : 0;
  return smart == Py_False;
}

PyObject* update_data(PyObject* g, PyObject* const* a) {
  PyObject *data_bundle_path = a[0], *base = a[1], *minbar = a[2], *tick = a[3],
           *with_derivatives = a[4], *concurrency = a[5], *smart = a[6], *rebuild = a[7];

  Ref init_vdx;
  if (!rt::from_import(g, "morvel.ostra.utils.login", {"init_vdx"}, &init_vdx)) return nullptr;
  if (!rt::call(init_vdx.get())) return nullptr;

  int empty = is_empty_selection(base, minbar, tick, smart);
  if (empty < 0) return nullptr;
  if (empty) return print_update_data_help(g);

  Ref updates[2];  // update_bundle_from_zuvazuv, update_bundle_from_exist_file
  Ref check_tick;
  if (!rt::from_import(g, "morvel.ostra.alpha.bundle",
                       {"update_bundle_from_zuvazuv", "update_bundle_from_exist_file"}, updates) ||
      !rt::from_import(g, "morvel.ostra.alpha.utils.scripts", {"check_tick"}, &check_tick))
    return nullptr;

  Ref bundle = bundle_dir(g, data_bundle_path);
  Ref os = rt::global(g, n_os);
  Ref exists = rt::call(rt::attr(rt::attr(os.get(), n_path).get(), n_exists).get(), {bundle.get()});
  if (!exists) return nullptr;
  int has_bundle = rt::truth(exists.get());
  if (has_bundle < 0) return nullptr;
  if (has_bundle && !rt::call(check_tick.get(), {bundle.get()})) return nullptr;

  Ref success = rt::call(updates[0].get(),
                         {concurrency, data_bundle_path, base, minbar, tick, with_derivatives},
                         {{"rebuild", rebuild}});
  if (!success) return nullptr;

  int smart_on = rt::truth(smart);
  if (smart_on < 0) return nullptr;
  if (smart_on) {
    Ref result = rt::call(updates[1].get(), {concurrency, data_bundle_path});
    if (!result) return nullptr;
    int ok = rt::truth(result.get());
    if (ok < 0) return nullptr;
    if (!ok) success = std::move(result);
  }

  int ok = rt::truth(success.get());
  if (ok < 0) return nullptr;
  if (!ok) {
    Ref sys = rt::global(g, n_sys);
    Ref one = rt::integer(1);
    if (!rt::call(rt::attr(sys.get(), n_exit).get(), {one.get()})) return nullptr;
  }
  Py_RETURN_NONE;
}

const rt::FunctionDef kUpdateData = {
    "update_data",
    nullptr,
    {"data_bundle_path", "base", "minbar", "tick", "with_derivatives", "concurrency", "smart",
     "rebuild"},
    update_data,
    "\n"
    "    更新运行回测所需的历史数据\n"
    "\n"
    "    \b\n"
    "    例如：\n"
    "    * 更新日线数据： morvel update-data --base\n"
    "    * 更新股票、期权分钟数据： morvel update-data --minbar stock --minbar option\n"
    "    * 更新鸡蛋期货合约tick数据： morvel update-data --tick JD\n"
    "    * 更新豆粕1905及其合约的衍生品tick数据： morvel update-data --tick M1905 "
    "--with-derivatives\n"
    "    * 更新已下载的分钟线和tick数据： morvel update-data --smart\n"
    "    ",
    120};

// "--minbar" / "--tick": repeatable texts, the tags of TAG_MAP listed in the help.
Ref market_option(rt::Module& m, const char* decl, const char* help_text) {
  Ref tags = m.get("TAG_MAP");
  Ref joined = rt::call(rt::attr(rt::str(", ").get(), "join").get(), {tags.get()});
  Ref help = format(help_text, joined.get());
  Ref string_type = rt::attr(m.get("click").get(), "STRING");
  return option(m, {decl},
                {{"type", string_type.get()}, {"multiple", Py_True}, {"help", help.get()}});
}

const std::vector<Ref (*)(rt::Module&)> kUpdateDataOptions = {
    data_bundle_path_option,
    [](rt::Module& m) {
      return flag(m, "--base", "更新基础数据及日线，注意：任何回测都需要依赖基础数据");
    },
    [](rt::Module& m) {
      return market_option(
          m, "--minbar", "更新分钟线数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code");
    },
    [](rt::Module& m) {
      return market_option(m, "--tick",
                           "更新tick数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code");
    },
    [](rt::Module& m) {
      return flag(m, "--with-derivatives", "更新分钟线和 tick 时同时更新选择的合约的衍生品数据");
    },
    [](rt::Module& m) {
      Ref int_type = rt::attr(m.get("click").get(), "INT");
      Ref three = rt::integer(3);
      Ref help = rt::str("并行的线程数量，需要低于 zuvazuv 的最大可用连接数");
      return option(m, {"-c", "--concurrency"},
                    {{"type", int_type.get()}, {"default", three.get()}, {"help", help.get()}});
    },
    [](rt::Module& m) {
      return flag(m, "--smart",
                  "检索本地已经存在的分钟线和 tick 数据，增量更新对应品种的数据和日线数据");
    },
    [](rt::Module& m) {
      return flag(m, "--rebuild", "将指定的合约 h5 文件从头进行更新，仅对--minbar、--tick生效");
    },
};

// ------------------------------------------------------------------ check-data

// The built-in `any`, taken once at import.  Kept on the heap and never freed:
// a static destructor would run after the interpreter is gone.
Ref& builtin_any() {
  static Ref* any = new Ref();
  return *any;
}

// Looked up as the module's own code would: its namespace, then its built-ins.
bool capture_builtins(rt::Module& m) {
  builtin_any() = m.get("any");
  return static_cast<bool>(builtin_any());
}

// `not any([minbar, daybar])`; -1 on error.
int nothing_selected(PyObject* minbar, PyObject* daybar) {
  Ref selection = rt::list({minbar, daybar});
  Ref some = rt::call(builtin_any().get(), {selection.get()});
  if (!some) return -1;
  int t = rt::truth(some.get());
  return t < 0 ? -1 : !t;
}

// 1 when the check runs: its flag is true or no flag was given; -1 on error.
int check_runs(PyObject* flag, int check_all) {
  int t = rt::truth(flag);
  return t != 0 ? t : check_all;
}

PyObject* check_data(PyObject* g, PyObject* const* a) {
  PyObject *data_bundle_path = a[0], *minbar = a[1], *daybar = a[2];

  int check_all = nothing_selected(minbar, daybar);
  if (check_all < 0) return nullptr;

  Ref check_min_bar_data, check_bundle_data;
  if (!rt::from_import(g, "morvel.ostra.alpha.bundle", {"check_min_bar_data"},
                       &check_min_bar_data) ||
      !rt::from_import(g, "morvel.ostra.verbs.bundle", {"check_bundle_data"}, &check_bundle_data))
    return nullptr;

  int run = check_runs(minbar, check_all);
  if (run < 0) return nullptr;
  if (run && !rt::call(check_min_bar_data.get(), {data_bundle_path})) return nullptr;

  run = check_runs(daybar, check_all);
  if (run < 0) return nullptr;
  if (run && !rt::call(check_bundle_data.get(), {bundle_dir(g, data_bundle_path).get()}))
    return nullptr;
  Py_RETURN_NONE;
}

const rt::FunctionDef kCheckData = {"check_data",
                                    nullptr,
                                    {"data_bundle_path", "minbar", "daybar"},
                                    check_data,
                                    "\n"
                                    "        检查bundle中的数据是否正确\n"
                                    "    ",
                                    176};

const std::vector<Ref (*)(rt::Module&)> kCheckDataOptions = {
    data_bundle_path_option,
    [](rt::Module& m) { return flag(m, "--minbar", "检查分钟数据是否异常"); },
    [](rt::Module& m) { return flag(m, "--daybar", "检查日线数据是否异常"); },
};

// ------------------------------------------------------------------ download-data

PyObject* download_data(PyObject* g, PyObject* const* a) {
  PyObject *data_bundle_path = a[0], *sample = a[1], *file_path = a[2];
  Ref download_simple_bundle;
  if (!rt::from_import(g, "morvel.ostra.alpha.bundle", {"download_simple_bundle"},
                       &download_simple_bundle))
    return nullptr;
  return rt::call(download_simple_bundle.get(), {data_bundle_path},
                  {{"sample", sample}, {"file_path", file_path}})
      .release();
}

const rt::FunctionDef kDownloadData = {"download_data",
                                       nullptr,
                                       {"data_bundle_path", "sample", "file_path"},
                                       download_data,
                                       "\n"
                                       "    下载样例回测数据。\n"
                                       "    下载样例数据不使用morvel流量。\n"
                                       "    ",
                                       200};

const std::vector<Ref (*)(rt::Module&)> kDownloadDataOptions = {
    data_bundle_path_option,
    [](rt::Module& m) {
      Ref help = rt::str("下载数据样例");
      return option(m, {"--sample"}, {{"is_flag", Py_True}, {"help", help.get()}});
    },
    [](rt::Module& m) {
      Ref help = rt::str("指定的压缩文件包");
      return option(m, {"-f", "--file-path"}, {{"help", help.get()}});
    },
};

// A direct call with only a path asks for the sample; click always passes all three.
bool add_download_data(rt::Module& m) {
  Ref defaults = rt::tuple({Py_True, Py_None});
  if (!defaults) return false;
  return add_command(m, kDownloadData, kDownloadDataOptions, std::move(defaults));
}

// ------------------------------------------------------------------ the group

bool build_group(rt::Module& m) {
  Ref click = m.get("click");
  Ref group = rt::call(rt::attr(click.get(), "group").get());
  Ref help_option = rt::call(rt::attr(click.get(), "help_option").get(),
                             {rt::str("-h").get(), rt::str("--help").get()});
  if (!group || !help_option) return false;
  Ref callback = m.function(kCli);
  Ref with_help = rt::call(help_option.get(), {callback.get()});
  return m.bind("cli", rt::call(group.get(), {with_help.get()}));
}

}  // namespace

bool rt::module_body(rt::Module& m) {
  m.line = 1;
  if (!capture_builtins(m)) return false;
  if (!m.import("importlib") || !m.import("os") || !m.import("warnings") || !m.import("sys") ||
      !m.import("click"))
    return false;
  m.line = 8;
  if (!m.from_import("morvel.ostra.sdk.const",
                     {"DEFAULT_BUNDLE_PATH", "TAG_MAP", "CONCERNED_PACKAGES"}))
    return false;
  m.line = 9;
  if (!m.from_import("morvel.ostra.sdk.license_helper", {"get_license_info", "set_to_environ"}))
    return false;
  m.line = 28;
  if (!build_group(m)) return false;
  m.line = 33;
  if (!add_license(m)) return false;
  m.line = 98;
  if (!add_command(m, kShell, {})) return false;
  m.line = 108;
  if (!add_command(m, kUpdateData, kUpdateDataOptions)) return false;
  m.line = 172;
  if (!add_command(m, kCheckData, kCheckDataOptions)) return false;
  m.line = 196;
  if (!add_download_data(m)) return false;
  return true;
}

extern "C" PyMODINIT_FUNC PyInit_verbs() { return rt::init_module(); }
