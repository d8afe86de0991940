// morvel.ostra.mod.mod_optimizer2.mod: the optimizer's mod class.  Its only
// job is to load the optimizer's `api` module when the run has a stock
// account.
#include "../runtime/runtime.h"

#include <utility>

const rt::ModuleInfo rt::kModule = {"mod", "morvel.ostra.mod.mod_optimizer2.mod",
                                    "morvel\\ostra\\mod\\mod_optimizer2\\mod"};

namespace {

using rt::Ref;

rt::Name n_DEFAULT_ACCOUNT_TYPE("DEFAULT_ACCOUNT_TYPE"), n_STOCK("STOCK"), n_config("config"),
    n_base("base"), n_accounts("accounts");

// ------------------------------------------------------------------ methods

PyObject* start_up(PyObject* g, PyObject* const* a) {
  PyObject* env = a[1];  // a[0] is self, a[2] mod_config: neither is used
  Ref stock = rt::attr(rt::global(g, n_DEFAULT_ACCOUNT_TYPE).get(), n_STOCK);
  if (!stock) return nullptr;
  Ref accounts = rt::attr(rt::attr(rt::attr(env, n_config).get(), n_base).get(), n_accounts);
  if (!accounts) return nullptr;
  int has_stock = PySequence_Contains(accounts.get(), stock.get());
  if (has_stock < 0) return nullptr;
  if (has_stock) {
    // from . import api: loads the package's api module once per process
    Ref api;
    if (!rt::from_import(g, "", {"api"}, &api, 1)) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* tear_down(PyObject*, PyObject* const*) { Py_RETURN_NONE; }

const rt::FunctionDef kStartUp = {
    "start_up", "Optimizer2Mod.start_up", {"self", "env", "mod_config"}, start_up, nullptr, 9};
const rt::FunctionDef kTearDown = {
    "tear_down", "Optimizer2Mod.tear_down", {"self", "code", "exception"}, tear_down, nullptr, 14};

// ------------------------------------------------------------------ class statement
// The steps of `class Optimizer2Mod(AbstractMod): ...` as the interpreter's
// class builder takes them.

// Each base that is not a class and has __mro_entries__ is replaced by the
// items of the tuple that it returns.  Returns `bases` itself when nothing
// changed, so the caller can tell by identity.
Ref resolve_bases(PyObject* bases) {
  Ref resolved = Ref::steal(PyList_New(0));
  if (!resolved) return Ref();
  bool changed = false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
    PyObject* base = PyTuple_GET_ITEM(bases, i);
    Ref entries;
    if (!PyType_Check(base)) {
      entries = rt::attr(base, "__mro_entries__");
      if (!entries) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
      }
    }
    if (!entries) {
      if (PyList_Append(resolved.get(), base) < 0) return Ref();
      continue;
    }
    Ref replacement = rt::call(entries.get(), {bases});
    if (!replacement) return Ref();
    if (!PyTuple_Check(replacement.get())) {
      PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
      return Ref();
    }
    Py_ssize_t end = PyList_GET_SIZE(resolved.get());
    if (PyList_SetSlice(resolved.get(), end, end, replacement.get()) < 0) return Ref();
    changed = true;
  }
  if (!changed) return Ref::borrow(bases);
  return Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived of the first base's metaclass and the metaclasses of all
// bases; TypeError when two of them are unrelated.
PyObject* most_derived_metaclass(PyObject* bases) {
  Py_ssize_t n = PyTuple_GET_SIZE(bases);
  PyTypeObject* winner = n ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyTypeObject* meta = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    if (PyType_IsSubtype(winner, meta)) continue;
    if (PyType_IsSubtype(meta, winner)) {
      winner = meta;
      continue;
    }
    PyErr_SetString(PyExc_TypeError,
                    "metaclass conflict: the metaclass of a derived class must be a "
                    "(non-strict) subclass of the metaclasses of all its bases");
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(winner);
}

// meta.__prepare__(name, bases) when the metaclass has one, else a new dict.
Ref prepare_namespace(PyObject* meta, PyObject* name, PyObject* bases) {
  Ref prepare = rt::attr(meta, "__prepare__");
  if (!prepare) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    return Ref::steal(PyDict_New());
  }
  Ref ns = rt::call(prepare.get(), {name, bases});
  if (ns && !PyMapping_Check(ns.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                 reinterpret_cast<PyTypeObject*>(meta)->tp_name, Py_TYPE(ns.get())->tp_name);
    return Ref();
  }
  return ns;
}

bool set_item(PyObject* ns, const char* key, Ref value) {
  Ref k = rt::str(key);
  return k && value && PyObject_SetItem(ns, k.get(), value.get()) == 0;
}

// The class body.
bool fill_namespace(rt::Module& m, PyObject* ns) {
  Ref tear_down_defaults = rt::tuple({Py_None});
  if (!tear_down_defaults) return false;
  return set_item(ns, "__module__", m.get("__name__")) &&
         set_item(ns, "__qualname__", rt::str("Optimizer2Mod")) &&
         set_item(ns, "start_up", m.function(kStartUp)) &&
         set_item(ns, "tear_down", m.function(kTearDown, std::move(tear_down_defaults)));
}

Ref build_optimizer2_mod(rt::Module& m) {
  Ref name = rt::str("Optimizer2Mod");
  Ref orig_bases = rt::tuple({m.get("AbstractMod").get()});
  if (!name || !orig_bases) return Ref();
  Ref bases = resolve_bases(orig_bases.get());
  if (!bases) return Ref();
  PyObject* meta = most_derived_metaclass(bases.get());
  if (!meta) return Ref();
  Ref ns = prepare_namespace(meta, name.get(), bases.get());
  if (!ns || !fill_namespace(m, ns.get())) return Ref();
  if (bases.get() != orig_bases.get() &&
      !set_item(ns.get(), "__orig_bases__", Ref::borrow(orig_bases.get())))
    return Ref();
  return rt::call(meta, {name.get(), bases.get(), ns.get()});
}

}  // namespace

bool rt::module_body(rt::Module& m) {
  m.line = 1;
  if (!m.from_import("morvel.ostra.const", {"DEFAULT_ACCOUNT_TYPE"})) return false;
  m.line = 2;
  if (!m.from_import("morvel.ostra.interface", {"AbstractMod"})) return false;
  m.line = 3;
  if (!m.from_import("morvel.ostra.utils.logger", {"system_log"})) return false;
  m.line = 6;
  return m.bind("Optimizer2Mod", build_optimizer2_mod(m));
}

extern "C" PyMODINIT_FUNC PyInit_mod() { return rt::init_module(); }
