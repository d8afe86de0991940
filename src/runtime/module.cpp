// The module frame: multi-phase initialisation with a create and an exec step.
// A module is made once per process and lives in one interpreter only.
#include "runtime.h"

#include <cstdio>
#include <cstdlib>

namespace rt {

namespace {

PyObject* g_module = nullptr;     // set by the exec step, dropped if it fails
int64_t g_interpreter = -1;       // the interpreter of the first create

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

bool enter_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* present = PyDict_GetItemString(modules, kModule.full_name);
  if (present) return true;
  return PyDict_SetItemString(modules, kModule.full_name, module) == 0;
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
  bool ok = dict && PyObject_SetAttrString(module, "__builtins__",
                                           PyImport_AddModule("builtins")) == 0;
  ok = ok && check_version() && enter_sys_modules(module) && module_body(m);
  if (ok) return 0;

  char where[200];
  std::snprintf(where, sizeof where, "init %s", kModule.full_name);
  if (PyErr_Occurred())
    add_traceback(nullptr, where, kModule.source_path, m.line, dict);
  else
    PyErr_SetString(PyExc_ImportError, where);
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
    nullptr, 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* init_module() {
  g_def.m_name = kModule.short_name;
  return PyModuleDef_Init(&g_def);
}

// ------------------------------------------------------------ Module helpers

bool Module::bind(const char* name, Ref value) {
  if (!value) return false;
  return PyDict_SetItemString(dict, name, value.get()) == 0;
}

Ref Module::get(const char* name) {
  PyObject* value = PyDict_GetItemString(dict, name);
  if (value) return Ref::borrow(value);
  Ref key = str(name);
  if (!key) return Ref();
  return global(dict, key.get());
}

bool Module::import(const char* name) { return import_as(name, name); }

bool Module::import_as(const char* name, const char* as) {
  return bind(as, import_module(dict, name));
}

bool Module::from_import(const char* module, std::initializer_list<const char*> names,
                         int level) {
  std::vector<Ref> values(names.size());
  if (!rt::from_import(dict, module, names, values.data(), level)) return false;
  size_t i = 0;
  for (const char* n : names)
    if (!bind(n, std::move(values[i++]))) return false;
  return true;
}

}  // namespace rt
