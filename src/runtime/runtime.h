// Shared native runtime: compiled into every extension module of this package
// (each module links its own copy; no binary is shared between them).
//
//   Ref            owning reference, one owner per reference
//   Name           lazily interned identifier
//   Module         the module frame and the helpers its module-level steps use
//   FunctionDef    a Python-visible function created by a module's exec step
//   call / attr / global / import helpers used by function bodies
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <utility>
#include <vector>

namespace rt {

// ---------------------------------------------------------------- Ref
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) {
    Ref r;
    r.p_ = p;
    return r;
  }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return steal(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  PyObject* new_ref() const {
    Py_XINCREF(p_);
    return p_;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------- Name
// An identifier interned on first use and kept for the life of the process.
class Name {
 public:
  explicit constexpr Name(const char* text) : text_(text) {}
  PyObject* get();  // borrowed; nullptr with an exception set on failure
  const char* text() const { return text_; }

 private:
  const char* text_;
  PyObject* obj_ = nullptr;
};

// ---------------------------------------------------------------- calls
struct Kw {
  const char* name;
  PyObject* value;
};

// All helpers below return a null Ref with the exception set on failure.  A
// null argument means an earlier step failed: the helper then returns null
// without doing anything, so a chain of steps stops at its first error.  A
// helper called while an exception is set does nothing either, so no step
// ever runs with an exception pending.
Ref call(PyObject* f, std::initializer_list<PyObject*> args = {},
         std::initializer_list<Kw> kwargs = {});
Ref attr(PyObject* o, Name& name);
Ref attr(PyObject* o, const char* name);
Ref str(const char* utf8);
Ref integer(long long v);
Ref tuple(std::initializer_list<PyObject*> items);  // items borrowed
Ref list(std::initializer_list<PyObject*> items);   // items borrowed

// Look a name up in a module namespace at the moment of use, then in the
// built-ins of this library's module (not the caller's); NameError
// "name '%U' is not defined" when found nowhere.
Ref global(PyObject* globals, Name& name);
Ref global(PyObject* globals, PyObject* key);
void set_builtins(PyObject* builtins);  // the exec step's, kept for good

// `import name` (absolute) and `from module import a, b` at any level.
// `from_import` fills `out` (one Ref a name, in order).
Ref import_module(PyObject* globals, const char* name);
bool from_import(PyObject* globals, const char* module, std::initializer_list<const char*> names,
                 Ref* out, int level = 0);
// The attribute `name` of `module`, else the submodule `<module>.<name>` from
// sys.modules, else ImportError "cannot import name %S".
Ref import_from(PyObject* module, PyObject* name);

// `out[0], ..., out[n-1] = value` for any iterable, with the unpack errors
// "too many values to unpack (expected %zd)" and
// "need more than %zd value%.1s to unpack".
bool unpack(PyObject* value, Ref* out, Py_ssize_t n);

// Equality against a text; -1 on error.  The Name form allocates nothing,
// for comparisons made on every call.
int equals(PyObject* o, const char* text);
int equals(PyObject* o, Name& text);

// `o[key]` and `o[key] = value`, null-propagating like the helpers above.
Ref item(PyObject* o, PyObject* key);
bool set_item(PyObject* o, PyObject* key, PyObject* value);
// Truth value; -1 on error.
int truth(PyObject* o);

// Adds a traceback entry `name` in `filename` at `line` to the current
// exception.  `code` may be null; one is then made for the entry.
void add_traceback(PyCodeObject* code, const char* name, const char* filename, int line,
                   PyObject* globals);

// A code object named `name` in `filename` whose instructions all sit on
// `line`, with `params` (a tuple of identifiers, or null) as its positional
// parameters.  Tracebacks, inspect and the traceback module read it as they
// read the code of a Python function defined on that line.
Ref stand_in_code(const char* name, PyObject* params, const char* filename, int line);

// ---------------------------------------------------------------- functions
// A function body receives the module namespace and one borrowed object per
// parameter (defaults already filled in) and returns a new reference.
using Impl = PyObject* (*)(PyObject* globals, PyObject* const* args);

struct FunctionDef {
  const char* name;
  const char* qualname;  // nullptr: same as name
  std::vector<const char*> params;
  Impl impl;
  const char* doc = nullptr;
  int line = 1;  // line shown in tracebacks through this function
};

// ---------------------------------------------------------------- module
struct ModuleInfo {
  const char* short_name;   // "verbs"
  const char* full_name;    // "morvel.ostra.sdk.verbs"
  const char* source_path;  // "morvel\\ostra\\sdk\\verbs", shown in tracebacks
};

// Handed to a module's module-level steps.  Every helper returns false with
// the exception set on failure; `line` is the line that the "init <module>"
// traceback entry names when a step fails.
class Module {
 public:
  Module(PyObject* module, PyObject* dict) : obj(module), dict(dict) {}

  bool bind(const char* name, Ref value);  // consumes value
  Ref get(const char* name);               // namespace, then built-ins
  bool import(const char* name);           // import name
  bool import_as(const char* name, const char* as);
  bool from_import(const char* module, std::initializer_list<const char*> names, int level = 0);
  // Creates a function of this module; `defaults` (a tuple or null) applies
  // to the trailing parameters, or, when `first_default` is given, to the
  // parameters from that index on (those after them stay required).
  Ref function(const FunctionDef& def, Ref defaults = Ref(), int first_default = -1);

  PyObject* const obj;
  PyObject* const dict;
  int line = 0;
};

// Each module defines these two; the runtime's frame calls them.
extern const ModuleInfo kModule;
bool module_body(Module& m);

// Returns the module definition for multi-phase initialisation.
PyObject* init_module();

}  // namespace rt
