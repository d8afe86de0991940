// The function type of this package's modules: objects that behave as Python
// functions (bind as methods, carry the usual dunder attributes and a
// __dict__, take every parameter by position or keyword, raise the
// interpreter's argument errors, and show up in tracebacks).
#include "runtime.h"

#include <structmember.h>

namespace rt {

namespace {

constexpr Py_ssize_t kMaxParams = 16;

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;  // __module__
  PyObject* doc;
  PyObject* dict;      // __dict__, made on first use
  PyObject* defaults;  // tuple or null
  PyObject* globals;   // the defining module's namespace
  PyObject* code;      // carries the parameter names and the source path
  PyObject* params;    // tuple of parameter names
  PyObject* annotations;
  PyObject* weakrefs;
  Impl impl;
  Py_ssize_t nparams;
  Py_ssize_t nrequired;      // parameters without a default
  Py_ssize_t first_default;  // index of the parameter of defaults[0]
  int line;
};

Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

// The messages take the name object as it is (no encoding), so a function
// stays callable and its errors stay whole whatever its __name__ holds.
// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
void raise_arg_count(Function* f, Py_ssize_t found) {
  Py_ssize_t min = f->nrequired, max = f->nparams;
  const char* more_or_less = found < min ? "at least" : "at most";
  Py_ssize_t expected = found < min ? min : max;
  if (min == max) more_or_less = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200U() takes %.8s %zd positional argument%.1s (%zd given)",
               f->name, more_or_less, expected, expected == 1 ? "" : "s", found);
}

int same_name(PyObject* a, PyObject* b) {
  if (a == b) return 1;
  int cmp = PyUnicode_Compare(a, b);
  if (cmp == -1 && PyErr_Occurred()) return -1;
  return cmp == 0;
}

// Index of parameter `key` at or after `first`, -1 when absent, -2 on error.
Py_ssize_t find_param(Function* f, PyObject* key, Py_ssize_t first, Py_ssize_t last) {
  for (Py_ssize_t i = first; i < last; ++i) {
    int same = same_name(PyTuple_GET_ITEM(f->params, i), key);
    if (same < 0) return -2;
    if (same) return i;
  }
  return -1;
}

bool has_default(Function* f, Py_ssize_t i) {
  return i >= f->first_default && i < f->first_default + f->nparams - f->nrequired;
}

// Binds positional and keyword arguments to `values` (borrowed references).
// Errors come in this order: too many positionals, a required parameter
// missing, then the first offending keyword.
bool bind_args(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** values) {
  PyObject* fname = f->name;
  if (nargs > f->nparams) {
    raise_arg_count(f, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < f->nparams; ++i) values[i] = i < nargs ? args[i] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  PyObject* const* kwvalues = args + nargs;
  Py_ssize_t unmatched = nkw;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    // Only C callers handing kwnames to vectorcall directly get this far
    // with a key that is not a string; it is reported below, in order.
    if (!PyUnicode_Check(key)) continue;
    Py_ssize_t i = find_param(f, key, nargs, f->nparams);
    if (i == -2) return false;
    if (i >= 0 && !values[i]) {
      values[i] = kwvalues[j];
      --unmatched;
    }
  }
  for (Py_ssize_t i = nargs; i < f->nparams; ++i) {
    if (!values[i] && !has_default(f, i)) {
      raise_arg_count(f, i);
      return false;
    }
  }
  if (unmatched) {
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, j);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200U() keywords must be strings", fname);
        return false;
      }
      Py_ssize_t later = find_param(f, key, nargs, f->nparams);
      if (later == -2) return false;
      if (later >= 0) continue;
      Py_ssize_t earlier = find_param(f, key, 0, nargs);
      if (earlier == -2) return false;
      if (earlier >= 0)
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%U'", fname,
                     key);
      else
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", fname, key);
      return false;
    }
  }
  for (Py_ssize_t i = nargs; i < f->nparams; ++i)
    if (!values[i]) values[i] = PyTuple_GET_ITEM(f->defaults, i - f->first_default);
  return true;
}

// Nesting of this library's function calls on the current thread.
thread_local int t_depth = 0;

bool enter_call() {
  if (t_depth >= Py_GetRecursionLimit()) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return false;
  }
  if (Py_EnterRecursiveCall("")) return false;
  ++t_depth;
  return true;
}

void leave_call() {
  --t_depth;
  Py_LeaveRecursiveCall();
}

void add_function_traceback(Function* f) {
  add_traceback(reinterpret_cast<PyCodeObject*>(f->code), nullptr, nullptr, f->line, f->globals);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  Function* f = as_function(self);
  PyObject* values[kMaxParams];
  if (!bind_args(f, args, PyVectorcall_NARGS(nargsf), kwnames, values)) {
    add_function_traceback(f);
    return nullptr;
  }
  // A cycle of calls through native functions ends in RecursionError, not a
  // crash.  Each call counts against the recursion limit, as a Python
  // function's frame does; the interpreter's own guard counts C stack depth,
  // whose limit is far higher from 3.12 on than our frames' stack allows.
  if (!enter_call()) return nullptr;
  PyObject* result = f->impl(f->globals, values);
  leave_call();
  if (result && PyErr_Occurred()) Py_CLEAR(result);  // the pending error wins
  if (!result) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "function failed without setting an error");
    add_function_traceback(f);
  }
  return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = as_function(self);
  Py_VISIT(Py_TYPE(self));  // instances of heap types own their type
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->dict);
  Py_VISIT(f->defaults);
  Py_VISIT(f->globals);
  Py_VISIT(f->annotations);
  return 0;
}

int function_clear(PyObject* self) {
  Function* f = as_function(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->annotations);
  return 0;
}

void function_dealloc(PyObject* self) {
  Function* f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->code);
  Py_CLEAR(f->params);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// A new reference to `o`, or to None for a field that the collector cleared.
PyObject* or_none(PyObject* o) { return Py_NewRef(o ? o : Py_None); }

// __name__ and __qualname__ take strings only, as on Python functions.
int set_text(PyObject** slot, PyObject* value, const char* what) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(*slot, value);
  return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
  return set_text(&as_function(self)->name, v, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
  return set_text(&as_function(self)->qualname, v, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) { return or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) {
  Py_XSETREF(as_function(self)->doc, Py_NewRef(v ? v : Py_None));
  return 0;
}
PyObject* get_defaults(PyObject* self, void*) {
  PyObject* d = as_function(self)->defaults;
  return Py_NewRef(d ? d : Py_None);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }
PyObject* get_globals(PyObject* self, void*) { return or_none(as_function(self)->globals); }
PyObject* get_annotations(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!f->annotations) f->annotations = PyDict_New();
  return Py_XNewRef(f->annotations);
}

// __module__ is the function's own attribute, while the type's __module__
// (a string in the type's dict, as every class has) names this library.  A
// member descriptor would shadow the latter, so the attribute is served here.
bool is_module_attr(PyObject* name) {
  static PyObject* interned = PyUnicode_InternFromString("__module__");
  if (name == interned) return true;
  return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == 10 &&
         PyUnicode_CompareWithASCIIString(name, "__module__") == 0;
}

PyObject* function_getattro(PyObject* self, PyObject* name) {
  if (is_module_attr(name)) return or_none(as_function(self)->module);
  return PyObject_GenericGetAttr(self, name);
}

int function_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (!is_module_attr(name)) return PyObject_GenericSetAttr(self, name, value);
  Py_XSETREF(as_function(self)->module, Py_NewRef(value ? value : Py_None));
  return 0;
}

// Pickled by reference, as Python functions are: the module and the
// qualified name, which must find this very object again.  copy.copy and
// copy.deepcopy take the same answer to mean the function itself.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

// One type per module, made on first use and kept for the life of the process.
// Its dotted name gives the type the __module__ of the library that made it.
// Like the function type, it cannot be instantiated from Python: a function
// without a body is no function.
PyTypeObject* function_type() {
  static PyObject* type = nullptr;
  static char name[256];
  static PyType_Spec spec = {
      name,
      sizeof(Function),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
          Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      function_slots,
  };
  if (!type) {
    PyOS_snprintf(name, sizeof name, "%s.native_function", kModule.full_name);
    type = PyType_FromSpec(&spec);
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

Ref Module::function(const FunctionDef& def, Ref defaults, int first_default) {
  PyTypeObject* type = function_type();
  if (!type) return Ref();
  Py_ssize_t nparams = static_cast<Py_ssize_t>(def.params.size());
  Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
  if (first_default < 0) first_default = static_cast<int>(nparams - ndefaults);
  if (nparams > kMaxParams || first_default + ndefaults > nparams) {
    PyErr_SetString(PyExc_SystemError, "bad function definition");
    return Ref();
  }
  Ref params = Ref::steal(PyTuple_New(nparams));
  if (!params) return Ref();
  for (Py_ssize_t i = 0; i < nparams; ++i) {
    PyObject* p = PyUnicode_InternFromString(def.params[static_cast<size_t>(i)]);
    if (!p) return Ref();
    PyTuple_SET_ITEM(params.get(), i, p);
  }
  Ref code = stand_in_code(def.name, params.get(), kModule.source_path, def.line);
  Ref name = str(def.name);
  Ref qualname = str(def.qualname ? def.qualname : def.name);
  Ref doc = def.doc ? str(def.doc) : Ref::borrow(Py_None);
  Ref module = get("__name__");
  if (!code || !name || !qualname || !doc || !module) return Ref();

  Function* f = PyObject_GC_New(Function, type);
  if (!f) return Ref();
  f->vectorcall = function_vectorcall;
  f->name = name.release();
  f->qualname = qualname.release();
  f->module = module.release();
  f->doc = doc.release();
  f->dict = nullptr;
  f->defaults = defaults.release();
  f->globals = Py_NewRef(dict);
  f->code = code.release();
  f->params = params.release();
  f->annotations = nullptr;
  f->weakrefs = nullptr;
  f->impl = def.impl;
  f->nparams = nparams;
  f->nrequired = nparams - ndefaults;
  f->first_default = first_default;
  f->line = def.line;
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace rt
