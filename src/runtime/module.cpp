// The module frame: multi-phase initialisation with a create and an exec step.
// A module is made once per process and lives in one interpreter only.
#include "runtime.h"

#include <cstdio>
#include <cstdlib>

namespace rt {

namespace {

PyObject* g_module = nullptr;  // set by the exec step, dropped if it fails
int64_t g_interpreter = -1;    // the interpreter of the first create

bool check_single_interpreter() {
  int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_interpreter == -1) {
    g_interpreter = current;
  } else if (current != g_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded "
                    "into one interpreter per process.");
    return false;
  }
  return true;
}

bool copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to,
                    bool allow_none) {
  Ref value = attr(spec, from);
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (!allow_none && value.get() == Py_None) return true;
  return PyObject_SetAttrString(module, to, value.get()) == 0;
}

PyObject* create(PyObject* spec, PyModuleDef*) {
  if (!check_single_interpreter()) return nullptr;
  if (g_module) return Py_NewRef(g_module);
  Ref name = attr(spec, "name");
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* m = module.get();
  if (!copy_spec_attr(spec, m, "loader", "__loader__", true) ||
      !copy_spec_attr(spec, m, "origin", "__file__", true) ||
      !copy_spec_attr(spec, m, "parent", "__package__", true) ||
      !copy_spec_attr(spec, m, "submodule_search_locations", "__path__", false))
    return nullptr;
  return module.release();
}

// The interpreter's version is read from its version text ("3.12.1 ...") and
// compared with the version this library was built for.
bool check_version() {
  const char* text = Py_GetVersion();
  char* end = nullptr;
  long major = std::strtol(text, &end, 10);
  long minor = (*end == '.') ? std::strtol(end + 1, nullptr, 10) : 0;
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
  char message[200];
  std::snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s runtime "
                "version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, kModule.full_name, "does not match",
                static_cast<int>(major), static_cast<int>(minor));
  return PyErr_WarnEx(nullptr, message, 1) == 0;
}

// Enters the module under its full name unless that name is taken; `added`
// tells whether this step made the entry.
bool enter_sys_modules(PyObject* module, bool& added) {
  PyObject* modules = PyImport_GetModuleDict();
  Ref key = str(kModule.full_name);
  if (!key) return false;
  int present = PyDict_Contains(modules, key.get());
  if (present != 0) return present > 0;
  if (PyDict_SetItem(modules, key.get(), module) < 0) return false;
  added = true;
  return true;
}

// A failed exec takes back the entry it made, so that a later import under
// the full name starts afresh instead of finding a half-built module.  Runs
// with the import's exception set aside.
void leave_sys_modules(PyObject* module) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyObject* modules = PyImport_GetModuleDict();
  Ref key = Ref::steal(PyUnicode_FromString(kModule.full_name));
  PyObject* entry = key ? PyDict_GetItemWithError(modules, key.get()) : nullptr;
  if (entry == module && PyDict_DelItem(modules, key.get()) < 0) PyErr_WriteUnraisable(module);
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
}

// `__builtins__` of the module, and the built-ins its functions fall back to.
bool set_module_builtins(PyObject* module) {
  PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
  if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return false;
  PyObject* dict = PyModule_GetDict(builtins);  // borrowed
  if (!dict) return false;
  set_builtins(dict);
  return true;
}

int exec(PyObject* module) {
  if (g_module) {
    if (g_module == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not "
                 "supported.",
                 kModule.short_name);
    return -1;
  }
  g_module = Py_NewRef(module);
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  Module m(module, dict);
  bool added = false;
  bool ok = dict && set_module_builtins(module) && check_version() &&
            enter_sys_modules(module, added) && module_body(m);
  if (ok && !PyErr_Occurred()) return 0;

  char where[200];
  std::snprintf(where, sizeof where, "init %s", kModule.full_name);
  if (PyErr_Occurred())
    add_traceback(nullptr, where, kModule.source_path, m.line, dict);
  else
    PyErr_SetString(PyExc_ImportError, where);
  if (added) leave_sys_modules(module);
  Py_CLEAR(g_module);  // a later import starts afresh
  return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // m_name, filled from kModule
    nullptr,
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* init_module() {
  g_def.m_name = kModule.short_name;
  return PyModuleDef_Init(&g_def);
}

// ------------------------------------------------------------ Module helpers

bool Module::bind(const char* name, Ref value) {
  if (!value || PyErr_Occurred()) return false;
  return PyDict_SetItemString(dict, name, value.get()) == 0;
}

Ref Module::get(const char* name) {
  Ref key = str(name);
  return global(dict, key.get());
}

bool Module::import(const char* name) { return import_as(name, name); }

bool Module::import_as(const char* name, const char* as) {
  return bind(as, import_module(dict, name));
}

bool Module::from_import(const char* module, std::initializer_list<const char*> names, int level) {
  std::vector<Ref> values(names.size());
  if (!rt::from_import(dict, module, names, values.data(), level)) return false;
  size_t i = 0;
  for (const char* n : names)
    if (!bind(n, std::move(values[i++]))) return false;
  return true;
}

}  // namespace rt
