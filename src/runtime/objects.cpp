// Calls, look-ups, imports and traceback entries shared by all modules.
#include "runtime.h"

#include <frameobject.h>

#include <string>

namespace rt {

PyObject* Name::get() {
  if (!obj_) obj_ = PyUnicode_InternFromString(text_);
  return obj_;
}

// A step taken while an exception is set could clear or replace it, so every
// helper refuses to run then: the pending exception is the result.
static bool failed() { return PyErr_Occurred() != nullptr; }

static bool any_null(std::initializer_list<PyObject*> items) {
  for (PyObject* o : items)
    if (!o) return true;
  return false;
}

// Keyword names are string literals: each is interned once and kept, keyed
// by its address.  A borrowed reference; null with the exception set.
static PyObject* keyword_name(const char* text) {
  struct Entry {
    const char* text;
    PyObject* name;
  };
  static Entry cache[64];
  static int size = 0;
  for (int i = 0; i < size; ++i)
    if (cache[i].text == text) return cache[i].name;
  PyObject* name = PyUnicode_InternFromString(text);
  if (!name) return nullptr;
  if (size < 64)
    cache[size++] = {text, name};
  else
    Py_DECREF(name);  // interned strings stay alive while the interpreter does
  return name;
}

Ref call(PyObject* f, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kwargs) {
  if (!f || any_null(args) || failed()) return Ref();
  // Positional then keyword values, contiguous for vectorcall; one slot in
  // front lets the callee prepend a bound self without copying.
  constexpr size_t kSmall = 16;
  PyObject* small[kSmall + 1];
  std::vector<PyObject*> large;
  size_t total = args.size() + kwargs.size();
  PyObject** stack = small;
  if (total > kSmall) {
    large.resize(total + 1);
    stack = large.data();
  }
  PyObject** out = stack + 1;
  for (PyObject* a : args) *out++ = a;
  Ref kwnames;
  if (kwargs.size()) {
    kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    if (!kwnames) return Ref();
    Py_ssize_t i = 0;
    for (const Kw& kw : kwargs) {
      PyObject* key = kw.value ? keyword_name(kw.name) : nullptr;
      if (!key) return Ref();
      PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(key));
      *out++ = kw.value;
    }
  }
  return Ref::steal(PyObject_Vectorcall(f, stack + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        kwnames.get()));
}

Ref attr(PyObject* o, Name& name) {
  if (!o || failed() || !name.get()) return Ref();
  return Ref::steal(PyObject_GetAttr(o, name.get()));
}

Ref attr(PyObject* o, const char* name) {
  if (!o || failed()) return Ref();
  return Ref::steal(PyObject_GetAttrString(o, name));
}

Ref str(const char* utf8) {
  if (failed()) return Ref();
  return Ref::steal(PyUnicode_FromString(utf8));
}

Ref integer(long long v) {
  if (failed()) return Ref();
  return Ref::steal(PyLong_FromLongLong(v));
}

template <PyObject* (*New)(Py_ssize_t), int (*Set)(PyObject*, Py_ssize_t, PyObject*)>
static Ref sequence(std::initializer_list<PyObject*> items) {
  if (any_null(items) || failed()) return Ref();
  Ref seq = Ref::steal(New(static_cast<Py_ssize_t>(items.size())));
  if (!seq) return Ref();
  Py_ssize_t i = 0;
  for (PyObject* o : items) {
    Py_INCREF(o);
    Set(seq.get(), i++, o);  // steals the new reference
  }
  return seq;
}

Ref tuple(std::initializer_list<PyObject*> items) {
  return sequence<PyTuple_New, PyTuple_SetItem>(items);
}

Ref list(std::initializer_list<PyObject*> items) {
  return sequence<PyList_New, PyList_SetItem>(items);
}

// The built-ins of this library's functions, as a Python function keeps those
// of the module that defined it: set once by the exec step.
static PyObject* g_builtins = nullptr;

void set_builtins(PyObject* builtins) { Py_XSETREF(g_builtins, Py_NewRef(builtins)); }

Ref global(PyObject* globals, Name& name) {
  if (failed()) return Ref();
  PyObject* key = name.get();
  if (!key) return Ref();
  return global(globals, key);
}

Ref global(PyObject* globals, PyObject* key) {
  if (!key || failed()) return Ref();
  PyObject* value = PyDict_GetItemWithError(globals, key);
  if (value) return Ref::borrow(value);
  if (PyErr_Occurred()) return Ref();
  PyObject* builtins = g_builtins ? g_builtins : PyEval_GetBuiltins();
  value = builtins ? PyDict_GetItemWithError(builtins, key) : nullptr;
  if (value) return Ref::borrow(value);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
  return Ref();
}

static Ref import_level(PyObject* globals, const char* name, PyObject* fromlist, int level) {
  if (failed()) return Ref();
  Ref module_name = str(name);
  if (!module_name) return Ref();
  return Ref::steal(
      PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, fromlist, level));
}

Ref import_module(PyObject* globals, const char* name) {
  return import_level(globals, name, nullptr, 0);
}

Ref import_from(PyObject* module, PyObject* name) {
  if (!module || !name || failed()) return Ref();
  PyObject* value = PyObject_GetAttr(module, name);
  if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref::steal(value);
  PyErr_Clear();
  // A submodule that is still importing may not be bound on its package yet.
  Ref package = Ref::steal(PyModule_GetNameObject(module));
  if (package) {
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
    if (full) {
      value = PyImport_GetModule(full.get());
      if (value) return Ref::steal(value);
    }
  }
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  return Ref();
}

bool from_import(PyObject* globals, const char* module, std::initializer_list<const char*> names,
                 Ref* out, int level) {
  if (failed()) return false;
  Ref fromlist = Ref::steal(PyList_New(0));
  if (!fromlist) return false;
  for (const char* n : names) {
    Ref item = str(n);
    if (!item || PyList_Append(fromlist.get(), item.get()) < 0) return false;
  }
  Ref mod = import_level(globals, module, fromlist.get(), level);
  if (!mod) return false;
  Py_ssize_t i = 0;
  for (Ref* slot = out; slot != out + names.size(); ++slot, ++i) {
    *slot = import_from(mod.get(), PyList_GET_ITEM(fromlist.get(), i));
    if (!*slot) return false;
  }
  return true;
}

static bool raise_unpack_count(Py_ssize_t found, Py_ssize_t expected) {
  if (found > expected)
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
  else
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
  return false;
}

bool unpack(PyObject* value, Ref* out, Py_ssize_t n) {
  if (!value || failed()) return false;
  if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
    Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
    if (size != n) return raise_unpack_count(size, n);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(value, i));
    return true;
  }
  Ref it = Ref::steal(PyObject_GetIter(value));
  if (!it) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[i] = Ref::steal(PyIter_Next(it.get()));
    if (out[i]) continue;
    return PyErr_Occurred() ? false : raise_unpack_count(i, n);
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) return raise_unpack_count(n + 1, n);
  return !PyErr_Occurred();
}

int equals(PyObject* o, const char* text) {
  if (!o || failed()) return -1;
  Ref s = str(text);
  if (!s) return -1;
  return PyObject_RichCompareBool(o, s.get(), Py_EQ);
}

int equals(PyObject* o, Name& text) {
  if (!o || failed()) return -1;
  PyObject* s = text.get();
  return s ? PyObject_RichCompareBool(o, s, Py_EQ) : -1;
}

Ref item(PyObject* o, PyObject* key) {
  if (!o || !key || failed()) return Ref();
  return Ref::steal(PyObject_GetItem(o, key));
}

bool set_item(PyObject* o, PyObject* key, PyObject* value) {
  if (!o || !key || !value || failed()) return false;
  return PyObject_SetItem(o, key, value) == 0;
}

int truth(PyObject* o) {
  if (!o || failed()) return -1;
  return PyObject_IsTrue(o);
}

// ---------------------------------------------------------------- compat
// What differs between the interpreter versions this package builds for.

namespace {

// The pending exception, set aside while a traceback entry is made.
struct SavedError {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
  void restore() { PyErr_SetRaisedException(exc); }
#else
  PyObject *type, *value, *tb;
  SavedError() { PyErr_Fetch(&type, &value, &tb); }
  void restore() { PyErr_Restore(type, value, tb); }
#endif
};

// The code of `def f(<params>): pass` compiled on line `line` of `filename`.
// From 3.11 on, tracebacks take lines and positions from the instructions, so
// the code must hold real ones; a compiled definition has them on all versions.
Ref compiled_definition(PyObject* params, const char* filename, int line) {
  std::string source(static_cast<size_t>(line > 1 ? line - 1 : 0), '\n');
  source += "def f(";
  Py_ssize_t n = params ? PyTuple_GET_SIZE(params) : 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const char* param = PyUnicode_AsUTF8(PyTuple_GET_ITEM(params, i));
    if (!param) return Ref();
    if (i) source += ", ";
    source += param;
  }
  source += "): pass\n";
  Ref module_code = Ref::steal(Py_CompileString(source.c_str(), filename, Py_file_input));
  Ref consts = attr(module_code.get(), "co_consts");
  if (!consts) return Ref();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
    if (PyCode_Check(item)) return Ref::borrow(item);
  }
  PyErr_SetString(PyExc_SystemError, "compiled definition holds no code");
  return Ref();
}

}  // namespace

Ref stand_in_code(const char* name, PyObject* params, const char* filename, int line) {
  Ref code = compiled_definition(params, filename, line);
  Ref text = str(name);
  if (!code || !text) return Ref();
#if PY_VERSION_HEX >= 0x030B0000
  code = call(attr(code.get(), "replace").get(), {},
              {{"co_name", text.get()}, {"co_qualname", text.get()}});
#else
  code = call(attr(code.get(), "replace").get(), {}, {{"co_name", text.get()}});
#endif
  if (!code || line >= 1) return code;
  // Padding reaches line 1 at the least; the line table is relative to the
  // first line, so moving that moves every instruction with it.
  Ref first_line = integer(line);
  return call(attr(code.get(), "replace").get(), {}, {{"co_firstlineno", first_line.get()}});
}

void add_traceback(PyCodeObject* code, const char* name, const char* filename, int line,
                   PyObject* globals) {
  // The entry is added while the exception is set aside, as the interpreter
  // does when it unwinds a frame.
  SavedError saved;
  Ref own_code;
  if (!code) {
    own_code = stand_in_code(name, nullptr, filename, line);
    code = reinterpret_cast<PyCodeObject*>(own_code.get());
  }
  Ref empty_globals;
  if (!globals) {
    empty_globals = Ref::steal(PyDict_New());
    globals = empty_globals.get();
  }
  Ref frame;
  if (code && globals)
    frame = Ref::steal(
        reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, globals, nullptr)));
  PyErr_Clear();  // a missing entry must not replace the real error
  saved.restore();
  if (!frame) return;
#if PY_VERSION_HEX < 0x030B0000
  // 3.10 reads the line from the frame; later versions from the code.
  reinterpret_cast<PyFrameObject*>(frame.get())->f_lineno = line;
#endif
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace rt
