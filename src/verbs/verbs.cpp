// morvel.ostra.sdk.verbs: the click group `cli` of the `morvel` program and
// its commands.  Everything the commands call besides click, os and sys is
// imported inside the command, so `morvel --help` loads none of it.
#include "../runtime/runtime.h"

#include <vector>

const rt::ModuleInfo rt::kModule = {"verbs", "morvel.ostra.sdk.verbs",
                                    "morvel\\ostra\\sdk\\verbs"};

namespace {

using rt::Ref;

rt::Name n_click("click"), n_os("os"), n_sys("sys"), n_path("path"), n_join("join"),
    n_exists("exists"), n_exit("exit"), n_echo("echo"), n_get_help("get_help"),
    n_update_data("update_data");

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
  Ref click = m.get("click");
  Ref factory = rt::attr(click.get(), "option");
  if (!factory) return Ref();
  std::vector<Ref> owned;
  std::vector<PyObject*> args;
  for (const char* d : decls) {
    owned.push_back(rt::str(d));
    if (!owned.back()) return Ref();
    args.push_back(owned.back().get());
  }
  Ref args_tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
  Ref kw = Ref::steal(PyDict_New());
  if (!args_tuple || !kw) return Ref();
  for (size_t i = 0; i < args.size(); ++i)
    PyTuple_SET_ITEM(args_tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(args[i]));
  for (const rt::Kw& k : kwargs)
    if (!k.value || PyDict_SetItemString(kw.get(), k.name, k.value) < 0) return Ref();
  return Ref::steal(PyObject_Call(factory.get(), args_tuple.get(), kw.get()));
}

// `"<text>".format(value)`, as the help texts are filled at import.
Ref format(const char* text, PyObject* value) {
  Ref tmpl = rt::str(text);
  return rt::call(rt::attr(tmpl.get(), "format").get(), {value});
}

// Registers a command: `cli.command()` first, then the option decorators
// top to bottom, then the callback; the decorators apply bottom-up.
bool add_command(rt::Module& m, const rt::FunctionDef& def,
                 std::vector<Ref (*)(rt::Module&)> options, Ref defaults = Ref()) {
  Ref command = rt::call(rt::attr(m.get("cli").get(), "command").get());
  if (!command) return false;
  std::vector<Ref> decorators;
  for (auto make : options) {
    decorators.push_back(make(m));
    if (!decorators.back()) return false;
  }
  Ref target = m.function(def, std::move(defaults));
  for (auto it = decorators.rbegin(); it != decorators.rend() && target; ++it)
    target = rt::call(it->get(), {target.get()});
  target = rt::call(command.get(), {target.get()});
  return m.bind(def.name, std::move(target));
}

// The `-d` / `--data-bundle-path` option shared by the data commands.
Ref data_bundle_path_option(rt::Module& m) {
  Ref path_type = rt::call(rt::attr(m.get("click").get(), "Path").get(), {},
                           {{"file_okay", Py_False}});
  Ref default_path = m.get("DEFAULT_BUNDLE_PATH");
  Ref help = format("bundle 目录，默认为 {}", default_path.get());
  return option(m, {"-d", "--data-bundle-path"},
                {{"type", path_type.get()}, {"default", default_path.get()},
                 {"help", help.get()}});
}

Ref flag(rt::Module& m, const char* decl, const char* help_text) {
  Ref help = rt::str(help_text);
  return option(m, {decl}, {{"is_flag", Py_True}, {"default", Py_False}, {"help", help.get()}});
}

// ------------------------------------------------------------------ cli

PyObject* cli(PyObject*, PyObject* const*) { Py_RETURN_NONE; }

const rt::FunctionDef kCli = {
    "cli", nullptr, {}, cli,
    "\n"
    "    输入 morvel [COMMAND] --help 查看命令详情\n"
    "    例如：morvel update-data --help\n"
    "    ",
    30};

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
                       {"update_bundle_from_zuvazuv", "update_bundle_from_exist_file"},
                       updates) ||
      !rt::from_import(g, "morvel.ostra.alpha.utils.scripts", {"check_tick"}, &check_tick))
    return nullptr;

  Ref bundle = bundle_dir(g, data_bundle_path);
  Ref os = rt::global(g, n_os);
  Ref exists = rt::call(rt::attr(rt::attr(os.get(), n_path).get(), n_exists).get(),
                        {bundle.get()});
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
    [](rt::Module& m) { return flag(m, "--base", "更新基础数据及日线，注意：任何回测都需要依赖基础数据"); },
    [](rt::Module& m) {
      return market_option(m, "--minbar",
                           "更新分钟线数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code");
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
      return flag(m, "--smart", "检索本地已经存在的分钟线和 tick 数据，增量更新对应品种的数据和日线数据");
    },
    [](rt::Module& m) {
      return flag(m, "--rebuild", "将指定的合约 h5 文件从头进行更新，仅对--minbar、--tick生效");
    },
};

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
  if (!m.import("importlib") || !m.import("os") || !m.import("warnings") ||
      !m.import("sys") || !m.import("click"))
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
  m.line = 108;
  if (!add_command(m, kUpdateData, kUpdateDataOptions)) return false;
  return true;
}

extern "C" PyMODINIT_FUNC PyInit_verbs() { return rt::init_module(); }
