// morvel.ostra.mod.mod_quant_data.data_sources.barmill: turns a bar array (a
// numpy structured array, one record per bar) into coarser bars, either by
// counting bars or by blocks of minutes.
//
// The plain steps call numpy's Python API for every array operation (slices,
// index arrays, ufunc.reduceat), so their results are numpy's own, down to
// type promotions and NaN handling; keep them plain.  When a call's inputs
// are ones the fused kernel (kernel.h) reproduces bit for bit, the kernel
// forms the groups and fills the result in one pass instead, and every step
// anyone can observe (look-ups, equality tests, host calls, errors, warnings)
// still happens in the same order.
#include "../runtime/runtime.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "kernel.h"

const rt::ModuleInfo rt::kModule = {"barmill",
                                    "morvel.ostra.mod.mod_quant_data.data_sources.barmill",
                                    "morvel\\ostra\\mod\\mod_quant_data\\data_sources\\barmill"};

namespace {

using rt::item;
using rt::Ref;
using rt::set_item;

rt::Name n_np("np"), n_to_minutes("to_minutes"), n_unique_sorted("unique_sorted"),
    n_table("FIELD_AGG_FUNCTIONS"), n_simple("_simple_resample_bars"),
    n_future("_resample_future_bars"), n_type("type"), n_exchange("exchange"), n_dtype("dtype"),
    n_names("names"), n_empty("empty"), n_arange("arange"), n_array("array"),
    n_searchsorted("searchsorted"), n_reduceat("reduceat"), n_orig_time("orig_time"),
    n_last("last"), n_first("first"), n_Future("Future"), n_CFFEX("CFFEX"), n_CCFX("CCFX");

// ------------------------------------------------------------------ helpers
// Like the runtime's helpers, these return null (exception set) on failure
// and do nothing when handed a null argument.

// slice(start, stop, step); pass Py_None for an omitted part.
Ref slice(PyObject* start, PyObject* stop, PyObject* step) {
  if (!start || !stop || !step) return Ref();
  return Ref::steal(PySlice_New(start, stop, step));
}

// The interpreter's binary number operations (a // b, a + b, ...).
Ref number(PyObject* (*op)(PyObject*, PyObject*), PyObject* a, PyObject* b) {
  if (!a || !b) return Ref();
  return Ref::steal(op(a, b));
}

// `np.<name>`, with `np` read from the module namespace now.
Ref np_attr(PyObject* g, rt::Name& name) {
  Ref np = rt::global(g, n_np);
  return rt::attr(np.get(), name);
}

// `np.empty(shape, dtype)`, shape the one-element tuple (length,).
Ref empty_result(PyObject* g, PyObject* length, PyObject* dtype) {
  Ref empty = np_attr(g, n_empty);
  if (!empty) return Ref();
  Ref shape = rt::tuple({length});
  return rt::call(empty.get(), {shape.get(), dtype});
}

// ------------------------------------------------------------------ shared rules

// The result's record type: the input's own for fields None; otherwise one
// (name, input type of that field) pair per requested name, packed.
Ref output_dtype(PyObject* g, PyObject* bars, PyObject* fields) {
  if (fields == Py_None) return rt::attr(bars, n_dtype);
  Ref make_dtype = np_attr(g, n_dtype);
  Ref in_dtype = make_dtype ? rt::attr(bars, n_dtype) : Ref();
  Ref pairs = Ref::steal(in_dtype ? PyList_New(0) : nullptr);
  if (!pairs) return Ref();
  auto add_pair = [&](PyObject* name) {
    Ref pair = rt::tuple({name, item(in_dtype.get(), name).get()});
    return pair && PyList_Append(pairs.get(), pair.get()) == 0;
  };
  if (PyUnicode_Check(fields)) {
    if (!add_pair(fields)) return Ref();
  } else {
    // A generator is welcome here: it is iterated exactly once.
    Ref it = Ref::steal(PyObject_GetIter(fields));
    if (!it) return Ref();
    while (Ref name = Ref::steal(PyIter_Next(it.get())))
      if (!add_pair(name.get())) return Ref();
    if (PyErr_Occurred()) return Ref();
  }
  return rt::call(make_dtype.get(), {pairs.get()});
}

enum class Agg { last, first, ufunc };

// Looks up each field of the result in FIELD_AGG_FUNCTIONS (read from the
// namespace now, so entries added by other code count) and hands it to
// `fill`, which fills that column of the result.  "last" is tested before
// "first"; anything else is taken for a ufunc.
template <class Fill>
bool fill_fields(PyObject* g, PyObject* dtype, Fill fill) {
  Ref names = rt::attr(dtype, n_names);
  Ref it = Ref::steal(names ? PyObject_GetIter(names.get()) : nullptr);
  if (!it) return false;
  while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
    Ref table = rt::global(g, n_table);
    Ref agg = item(table.get(), name.get());  // KeyError naming the field
    if (!agg) return false;
    int last = rt::equals(agg.get(), n_last);
    int first = last == 0 ? rt::equals(agg.get(), n_first) : 0;
    if (last < 0 || first < 0) return false;
    Agg kind = last ? Agg::last : first ? Agg::first : Agg::ufunc;
    if (!fill(name.get(), kind, agg.get())) return false;
  }
  return !PyErr_Occurred();
}

// The last bar of the input closes the last group on both paths:
// `column[-1] = bars_column[-1]`.
bool copy_last(PyObject* column, PyObject* bars_column) {
  Ref minus_one = rt::integer(-1);
  return set_item(column, minus_one.get(), item(bars_column, minus_one.get()).get());
}

// `result[name]` when fields is a text (a str subclass counts), else result.
PyObject* project(PyObject* result, PyObject* fields) {
  if (PyUnicode_Check(fields)) return item(result, fields).release();
  return Py_NewRef(result);
}

// ------------------------------------------------------------------ fused kernel
// The kernel runs only on inputs it provably reproduces: exact ndarrays,
// numpy bound as `np`, table entries that are the texts "first"/"last" or the
// very ufuncs maximum/minimum/add, fields of the types the kernel knows.
// Anything else takes the plain steps, field by field where that suffices.

struct Numpy {
  PyObject* module = nullptr;  // the numpy module imported at module level
  PyObject* maximum = nullptr;
  PyObject* minimum = nullptr;
  PyObject* add = nullptr;
};
Numpy numpy_state;

// Records the numpy objects the kernel stands in for; without them (numpy's C
// API failing to load, say) every call takes the plain steps.
void setup_kernel(rt::Module& m) {
  Ref np = m.get("np");
  Ref ufuncs[3] = {rt::attr(np.get(), "maximum"), rt::attr(np.get(), "minimum"),
                   rt::attr(np.get(), "add")};
  if (!ufuncs[0] || !ufuncs[1] || !ufuncs[2] || PyArray_ImportNumPyAPI() < 0) {
    PyErr_Clear();
    return;
  }
  numpy_state = {np.release(), ufuncs[0].release(), ufuncs[1].release(), ufuncs[2].release()};
}

// MORVEL_BARMILL_PLAIN=1 forces the plain steps; tests and benchmarks use it
// to compare both in one process, so it is read at every call.
bool kernel_allowed(PyObject* g) {
  if (!numpy_state.module) return false;
  const char* plain = std::getenv("MORVEL_BARMILL_PLAIN");
  if (plain && std::strcmp(plain, "1") == 0) return false;
  PyObject* key = n_np.get();
  PyObject* np = key ? PyDict_GetItemWithError(g, key) : nullptr;
  if (!np) PyErr_Clear();  // the plain steps report a missing `np` themselves
  return np == numpy_state.module;
}

// A one-dimensional exact ndarray of records.
PyArrayObject* record_array(PyObject* o) {
  if (!PyArray_CheckExact(o)) return nullptr;
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(a) != 1 || !PyDataType_HASFIELDS(PyArray_DESCR(a))) return nullptr;
  return a;
}

bool kernel_type(PyArray_Descr* d, kernel::Type* t) {
  if (PyDataType_HASSUBARRAY(d) || PyDataType_HASFIELDS(d) || !PyArray_ISNBO(d->byteorder))
    return false;
  switch (d->type_num) {
    case NPY_BOOL:
      *t = kernel::Type::boolean;
      return true;
    case NPY_FLOAT:
      *t = kernel::Type::f32;
      return true;
    case NPY_DOUBLE:
      *t = kernel::Type::f64;
      return true;
    default:
      break;
  }
  if (!PyTypeNum_ISINTEGER(d->type_num)) return false;
  static const kernel::Type s[] = {kernel::Type::i8, kernel::Type::i16, kernel::Type::i32,
                                   kernel::Type::i64};
  static const kernel::Type u[] = {kernel::Type::u8, kernel::Type::u16, kernel::Type::u32,
                                   kernel::Type::u64};
  int log2 = 0;
  for (npy_intp size = PyDataType_ELSIZE(d); size > 1; size >>= 1) ++log2;
  if (log2 > 3 || (npy_intp(1) << log2) != PyDataType_ELSIZE(d)) return false;
  *t = PyTypeNum_ISSIGNED(d->type_num) ? s[log2] : u[log2];
  return true;
}

// (field type, offset) of `name` in a record type; false if it has no such field.
bool field_of(PyArray_Descr* record, PyObject* name, PyArray_Descr** type, npy_intp* offset) {
  PyObject* fields = PyDataType_FIELDS(record);
  PyObject* entry = fields ? PyDict_GetItemWithError(fields, name) : nullptr;
  if (!entry || !PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) < 2) {
    PyErr_Clear();
    return false;
  }
  *type = reinterpret_cast<PyArray_Descr*>(PyTuple_GET_ITEM(entry, 0));
  *offset = PyLong_AsSsize_t(PyTuple_GET_ITEM(entry, 1));
  if (*offset < 0) PyErr_Clear();
  return *offset >= 0;
}

// How the kernel fills one column; false when it cannot do so exactly.
bool describe(PyArrayObject* bars, PyArrayObject* result, PyObject* name, kernel::Op op,
              kernel::Column* c) {
  PyArray_Descr *in, *out;
  npy_intp in_offset, out_offset;
  if (!field_of(PyArray_DESCR(bars), name, &in, &in_offset)) return false;
  if (PyArray_DESCR(result) == PyArray_DESCR(bars)) {  // fields None: the same record type
    out = in;
    out_offset = in_offset;
  } else if (!field_of(PyArray_DESCR(result), name, &out, &out_offset) ||
             PyDataType_ELSIZE(in) != PyDataType_ELSIZE(out) || !PyArray_EquivTypes(in, out)) {
    return false;
  }
  *c = kernel::Column{op,
                      kernel::Type::u8,
                      static_cast<std::size_t>(PyDataType_ELSIZE(in)),
                      static_cast<std::size_t>(in_offset),
                      static_cast<std::size_t>(out_offset),
                      false};
  if (op == kernel::Op::first || op == kernel::Op::last) {
    // A byte copy is numpy's copy for anything without objects or sub-records.
    if (PyDataType_REFCHK(in) || PyDataType_HASFIELDS(in)) return false;
    return !PyDataType_HASSUBARRAY(in) || !PyDataType_HASFIELDS(PyDataType_SUBARRAY(in)->base);
  }
  return kernel_type(in, &c->type);
}

// Work below this many values is not worth dropping the interpreter lock for.
constexpr npy_intp kThreadsFrom = 1 << 15;

// Fields whose kernel columns wait for one shared pass, in table order.
struct Batch {
  PyArrayObject* bars;
  PyArrayObject* result;
  kernel::Groups groups;
  std::vector<kernel::Column> columns;
  std::vector<Ref> names, aggs;

  // Runs the pass, then lets numpy itself fill the columns the kernel could
  // not reproduce, in field order (so its warnings and errors come in order).
  template <class PlainFill>
  bool flush(PlainFill& plain_fill) {
    if (columns.empty()) return true;
    kernel::Rows in{PyArray_BYTES(bars), PyArray_STRIDES(bars)[0]};
    kernel::Target out{PyArray_BYTES(result), PyArray_STRIDES(result)[0]};
    if (groups.bars * static_cast<npy_intp>(columns.size()) >= kThreadsFrom) {
      Py_BEGIN_ALLOW_THREADS
        kernel::resample(in, groups, out, columns.data(), columns.size());
      Py_END_ALLOW_THREADS
    } else {
      kernel::resample(in, groups, out, columns.data(), columns.size());
    }
    for (std::size_t i = 0; i < columns.size(); ++i)
      if (columns[i].redo && !plain_fill(names[i].get(), Agg::ufunc, aggs[i].get())) return false;
    columns.clear();
    names.clear();
    aggs.clear();
    return true;
  }
};

// fill_fields with the kernel: the same look-ups and equality tests in the
// same order, kernel columns batched into one pass.  A batch is run before
// any step that could observe it (a plain field, a failing look-up), and
// after every field when the table is not a plain dict (its __getitem__
// would see later look-ups early otherwise).
template <class PlainFill>
bool fill_fields_fused(PyObject* g, PyObject* dtype, Batch& batch, PlainFill plain_fill) {
  Ref names = rt::attr(dtype, n_names);
  Ref it = Ref::steal(names ? PyObject_GetIter(names.get()) : nullptr);
  if (!it) return false;
  while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
    Ref table = rt::global(g, n_table);
    if (!table) return false;
    bool quiet = PyDict_CheckExact(table.get()) && PyUnicode_CheckExact(name.get());
    Ref agg;
    if (quiet) {
      agg = Ref::borrow(PyDict_GetItemWithError(table.get(), name.get()));
      if (!agg && PyErr_Occurred()) return false;
    }
    if (!agg) {  // the KeyError, or a table that sees its look-ups
      if (!batch.flush(plain_fill)) return false;
      agg = item(table.get(), name.get());
      if (!agg) return false;
    }
    kernel::Op op;
    bool fused;
    int last = 0, first = 0;
    if (PyUnicode_CheckExact(agg.get())) {  // comparing exact texts runs no code
      last = rt::equals(agg.get(), n_last);
      first = last == 0 ? rt::equals(agg.get(), n_first) : 0;
      if (last < 0 || first < 0) return false;
      fused = last || first;
      op = last ? kernel::Op::last : kernel::Op::first;
    } else {
      PyObject* a = agg.get();
      fused = a == numpy_state.maximum || a == numpy_state.minimum || a == numpy_state.add;
      op = a == numpy_state.maximum   ? kernel::Op::max
           : a == numpy_state.minimum ? kernel::Op::min
                                      : kernel::Op::add;
    }
    kernel::Column column;
    if (fused && describe(batch.bars, batch.result, name.get(), op, &column)) {
      batch.columns.push_back(column);
      batch.names.push_back(std::move(name));
      batch.aggs.push_back(std::move(agg));
      if (!quiet && !batch.flush(plain_fill)) return false;
      continue;
    }
    if (!batch.flush(plain_fill)) return false;
    if (!PyUnicode_CheckExact(agg.get())) {
      last = rt::equals(agg.get(), n_last);
      first = last == 0 ? rt::equals(agg.get(), n_first) : 0;
      if (last < 0 || first < 0) return false;
    }
    Agg kind = last ? Agg::last : first ? Agg::first : Agg::ufunc;
    if (!plain_fill(name.get(), kind, agg.get())) return false;
  }
  return !PyErr_Occurred() && batch.flush(plain_fill);
}

// The kernel's view of the result, when it is the array np.empty should give.
PyArrayObject* kernel_result(PyObject* result, npy_intp length) {
  PyArrayObject* a = record_array(result);
  if (!a || PyArray_DIM(a, 0) != length || !PyArray_ISCARRAY(a)) return nullptr;
  return a;
}

// A positive int that the kernel's 64-bit arithmetic holds with room to spare.
long long kernel_step(PyObject* r) {
  if (!PyLong_CheckExact(r)) return 0;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(r, &overflow);
  if (v == -1 && PyErr_Occurred()) PyErr_Clear();
  return overflow || v < 1 || v > (1LL << 40) ? 0 : v;
}

// ------------------------------------------------------------------ resample_bars

// Futures resample on the minute grid except on the two financial-futures
// exchanges, whose sessions are resampled by bar count.  `exchange` is read
// only for futures, so other instruments need not have it.
PyObject* resample_bars(PyObject* g, PyObject* const* a) {
  PyObject* instrument = a[0];
  Ref type = rt::attr(instrument, n_type);
  int future = type ? rt::equals(type.get(), n_Future) : -1;
  if (future < 0) return nullptr;
  bool minute_grid = false;
  if (future) {
    Ref exchange = rt::attr(instrument, n_exchange);
    int cffex = exchange ? rt::equals(exchange.get(), n_CFFEX) : -1;
    int ccfx = cffex == 0 ? rt::equals(exchange.get(), n_CCFX) : 0;
    if (cffex < 0 || ccfx < 0) return nullptr;
    minute_grid = !cffex && !ccfx;
  }
  Ref path = rt::global(g, minute_grid ? n_future : n_simple);
  return rt::call(path.get(), {a[1], a[2], a[3], a[4]}).release();
}

const rt::FunctionDef kResampleBars = {
    "resample_bars", nullptr, {"instrument", "bars", "fields", "resample", "include_last"},
    resample_bars,   nullptr, 26};

// ------------------------------------------------------------------ count-based path

// `list(range(0, len(bars), r))`: the group starts handed to reduceat.
Ref count_starts(PyObject* bars, PyObject* r) {
  Py_ssize_t n = PyObject_Length(bars);
  if (n < 0) return Ref();
  Ref zero = rt::integer(0);
  Ref stop = Ref::steal(PyLong_FromSsize_t(n));
  Ref range = rt::call(reinterpret_cast<PyObject*>(&PyRange_Type), {zero.get(), stop.get(), r});
  return Ref::steal(range ? PySequence_List(range.get()) : nullptr);
}

// One column of the count-based result; groups start every r bars.
bool fill_by_count(PyObject* result, PyObject* bars, PyObject* r, PyObject* name, Agg kind,
                   PyObject* agg) {
  Ref column = item(result, name);
  Ref bars_column = item(bars, name);
  if (!column || !bars_column) return false;
  if (kind == Agg::last) {
    // result[f][:-1] = bars[f][r-1:-1:r]; result[f][-1] = bars[f][-1]
    Ref one = rt::integer(1), minus_one = rt::integer(-1);
    Ref start = number(PyNumber_Subtract, r, one.get());
    Ref closes = item(bars_column.get(), slice(start.get(), minus_one.get(), r).get());
    Ref head = closes ? slice(Py_None, minus_one.get(), Py_None) : Ref();
    return set_item(column.get(), head.get(), closes.get()) &&
           copy_last(column.get(), bars_column.get());
  }
  if (kind == Agg::first) {
    // result[f] = bars[f][::r]
    Ref opens = item(bars_column.get(), slice(Py_None, Py_None, r).get());
    return set_item(result, name, opens.get());
  }
  // result[f] = agg.reduceat(bars[f], list(range(0, len(bars), r)))
  Ref reduceat = rt::attr(agg, n_reduceat);
  Ref starts = reduceat ? count_starts(bars, r) : Ref();
  return set_item(result, name, rt::call(reduceat.get(), {bars_column.get(), starts.get()}).get());
}

// The kernel's groups of r bars, when the call is one it reproduces.
bool count_batch(PyObject* g, PyObject* bars, PyObject* r, PyObject* result, PyObject* result_len,
                 Batch* batch) {
  long long step = kernel_allowed(g) ? kernel_step(r) : 0;
  PyArrayObject* in = step ? record_array(bars) : nullptr;
  Py_ssize_t count = in ? PyLong_AsSsize_t(result_len) : -1;
  if (count == -1 && PyErr_Occurred()) PyErr_Clear();
  PyArrayObject* out = count > 0 ? kernel_result(result, count) : nullptr;
  if (!out) return false;
  npy_intp n = PyArray_DIM(in, 0);
  if (count != (n + step - 1) / step) return false;
  *batch = Batch{in, out, kernel::Groups{count, n, step, nullptr}, {}, {}, {}};
  return true;
}

PyObject* simple_resample_bars(PyObject* g, PyObject* const* a) {
  Ref bars = Ref::borrow(a[0]);
  PyObject *fields = a[1], *r = a[2], *include_last = a[3];

  // 1. Output length; without the trailing partial group the input is cut to
  //    whole groups.  Python ints throughout, so r == 0 raises
  //    ZeroDivisionError here, before anything is allocated.
  //    The length is taken before include_last is tested.
  Py_ssize_t n = PyObject_Length(bars.get());
  if (n < 0) return nullptr;
  int keep_partial = rt::truth(include_last);
  if (keep_partial < 0) return nullptr;
  Ref length = Ref::steal(PyLong_FromSsize_t(n));
  Ref one = rt::integer(1);
  Ref result_len;
  if (!keep_partial) {
    result_len = number(PyNumber_FloorDivide, length.get(), r);
    Ref kept = number(PyNumber_Multiply, result_len.get(), r);
    bars = item(bars.get(), slice(Py_None, kept.get(), Py_None).get());
  } else {
    Ref sum = number(PyNumber_Add, length.get(), r);
    result_len =
        number(PyNumber_FloorDivide, number(PyNumber_Subtract, sum.get(), one.get()).get(), r);
  }
  if (!bars || !result_len) return nullptr;

  // 2-3. Record type and the uninitialised result.
  Ref dtype = output_dtype(g, bars.get(), fields);
  Ref result = dtype ? empty_result(g, result_len.get(), dtype.get()) : Ref();
  if (!result) return nullptr;

  // 4. No groups: the empty structured array, never projected.
  Ref zero = rt::integer(0);
  int none = zero ? PyObject_RichCompareBool(result_len.get(), zero.get(), Py_EQ) : -1;
  if (none < 0) return nullptr;
  if (none) return result.release();

  // 5. Fill field by field.
  auto plain = [&](PyObject* name, Agg kind, PyObject* agg) {
    return fill_by_count(result.get(), bars.get(), r, name, kind, agg);
  };
  bool filled;
  if (Batch batch; count_batch(g, bars.get(), r, result.get(), result_len.get(), &batch))
    filled = fill_fields_fused(g, dtype.get(), batch, plain);
  else
    filled = fill_fields(g, dtype.get(), plain);
  if (!filled) return nullptr;

  // 6.
  return project(result.get(), fields);
}

const rt::FunctionDef kSimpleResampleBars = {
    "_simple_resample_bars", nullptr, {"bars", "fields", "resample", "include_last"},
    simple_resample_bars,    nullptr, 40};

// ------------------------------------------------------------------ minute-grid path

// One column of the minute-grid result over the group starts `indexes`.
bool fill_by_minutes(PyObject* result, PyObject* bars, PyObject* indexes, PyObject* name, Agg kind,
                     PyObject* agg) {
  Ref column = item(result, name);
  Ref bars_column = item(bars, name);
  if (!column || !bars_column) return false;
  if (kind == Agg::last) {
    // result[f][:-1] = bars[f][indexes[1:] - 1]; result[f][-1] = bars[f][-1]
    Ref one = rt::integer(1), minus_one = rt::integer(-1);
    Ref following = item(indexes, slice(one.get(), Py_None, Py_None).get());
    Ref before = number(PyNumber_Subtract, following.get(), one.get());
    Ref closes = item(bars_column.get(), before.get());
    Ref head = closes ? slice(Py_None, minus_one.get(), Py_None) : Ref();
    return set_item(column.get(), head.get(), closes.get()) &&
           copy_last(column.get(), bars_column.get());
  }
  if (kind == Agg::first) {
    // result[f] = bars[f][indexes]
    return set_item(result, name, item(bars_column.get(), indexes).get());
  }
  // result[f] = agg.reduceat(bars[f], indexes)
  Ref reduceat = rt::attr(agg, n_reduceat);
  return set_item(result, name, rt::call(reduceat.get(), {bars_column.get(), indexes}).get());
}

// A one-dimensional exact ndarray of a kernel type: minute ordinals, starts.
bool kernel_series(PyObject* o, kernel::Series* s) {
  if (!PyArray_CheckExact(o)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(a) != 1 || !kernel_type(PyArray_DESCR(a), &s->type)) return false;
  *s = kernel::Series{PyArray_BYTES(a), PyArray_STRIDES(a)[0], PyArray_DIM(a, 0), s->type};
  return true;
}

bool float_series(const kernel::Series& s) {
  return s.type == kernel::Type::f32 || s.type == kernel::Type::f64;
}

// Grids past this many points go to numpy (it reports what it cannot allocate).
constexpr long long kGridLimit = 1LL << 27;

// The length of np.arange(0, end, step) when the kernel can stand in for the
// grid and the search: sorted ordinals of an exactly comparable type, one per
// bar, and an end the kernel's arithmetic holds.  -1 otherwise.
long long kernel_grid_length(PyObject* bars, const kernel::Series& m, bool is_series, PyObject* end,
                             long long step) {
  PyArrayObject* in = step && is_series ? record_array(bars) : nullptr;
  if (!in || PyArray_DIM(in, 0) != m.length || m.type == kernel::Type::u64 ||
      m.type == kernel::Type::boolean)
    return -1;
  long long length;
  if (float_series(m)) {
    double e = PyFloat_Check(end) || PyArray_IsScalar(end, Float) ? PyFloat_AsDouble(end) : NAN;
    if (!(std::fabs(e) < 0x1p52)) return -1;  // NaN included
    length = e > 0 ? static_cast<long long>(std::ceil(e / static_cast<double>(step))) : 0;
  } else {
    if (!PyArray_IsScalar(end, Integer) && !PyLong_CheckExact(end)) return -1;
    Ref index = Ref::steal(PyNumber_Index(end));
    int overflow = 0;
    long long e = index ? PyLong_AsLongLongAndOverflow(index.get(), &overflow) : -1;
    if (!index || overflow || (e == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return -1;
    }
    if (e > (1LL << 62)) return -1;
    length = e > 0 ? (e + step - 1) / step : 0;
  }
  if (length > kGridLimit) return -1;
  bool sorted;
  if (m.length >= kThreadsFrom) {
    Py_BEGIN_ALLOW_THREADS
      sorted = kernel::non_decreasing(m);
    Py_END_ALLOW_THREADS
  } else {
    sorted = kernel::non_decreasing(m);
  }
  return sorted ? length : -1;
}

// What minutes.searchsorted(np.arange(0, end, step)) gives: an intp array of
// left insertion points.
Ref kernel_positions(const kernel::Series& m, long long step, long long length) {
  npy_intp dims[1] = {static_cast<npy_intp>(length)};
  Ref positions = Ref::steal(PyArray_SimpleNew(1, dims, NPY_INTP));
  if (!positions) return Ref();
  static_assert(sizeof(npy_intp) == sizeof(std::int64_t), "positions are 64-bit");
  auto* out = reinterpret_cast<std::int64_t*>(
      PyArray_DATA(reinterpret_cast<PyArrayObject*>(positions.get())));
  if (length + m.length >= kThreadsFrom) {
    Py_BEGIN_ALLOW_THREADS
      kernel::grid_positions(m, step, length, out);
    Py_END_ALLOW_THREADS
  } else {
    kernel::grid_positions(m, step, length, out);
  }
  return positions;
}

// The kernel's groups over `indexes` (what unique_sorted gave, perhaps cut
// by one), when they are strictly increasing starts inside the input.
bool minute_batch(PyObject* bars, PyObject* indexes, PyObject* result, npy_intp count,
                  std::vector<std::int64_t>* starts, Batch* batch) {
  PyArrayObject* in = record_array(bars);
  PyArrayObject* out = in ? kernel_result(result, count) : nullptr;
  kernel::Series s;
  if (!out || !kernel_series(indexes, &s) || float_series(s) || s.length != count) return false;
  try {
    starts->resize(static_cast<std::size_t>(count));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!kernel::read_starts(s, PyArray_DIM(in, 0), starts->data())) return false;
  *batch = Batch{in, out, kernel::Groups{count, PyArray_DIM(in, 0), 0, starts->data()}, {}, {}, {}};
  return true;
}

PyObject* resample_future_bars(PyObject* g, PyObject* const* a) {
  Ref bars = Ref::borrow(a[0]);
  PyObject *fields = a[1], *r = a[2], *include_last = a[3];
  Ref zero = rt::integer(0), one = rt::integer(1), minus_one = rt::integer(-1);
  if (!zero || !one || !minus_one) return nullptr;

  // 1. Minute ordinal of every bar.
  Ref to_minutes = rt::global(g, n_to_minutes);
  if (!to_minutes) return nullptr;
  Ref minutes = rt::call(to_minutes.get(), {item(bars.get(), n_orig_time.get()).get()});
  if (!minutes) return nullptr;

  // 2. Block starts 0, r, 2r, ... up to the last ordinal M.  The kernel
  //    needs only the grid's length.  (The host may have rebound names, so
  //    whether the kernel may run is asked after each host call.)
  Ref arange = np_attr(g, n_arange);
  if (!arange) return nullptr;
  Ref last_minute = item(minutes.get(), minus_one.get());
  Ref end = number(PyNumber_Add, last_minute.get(), one.get());  // M + 1
  if (!end) return nullptr;
  const bool fused = kernel_allowed(g);
  kernel::Series series{};
  bool is_series = fused && kernel_series(minutes.get(), &series);
  const long long step = fused ? kernel_step(r) : 0;
  const long long grid = kernel_grid_length(bars.get(), series, is_series, end.get(), step);
  Ref time_series;
  if (grid < 0) {
    time_series = rt::call(arange.get(), {zero.get(), end.get(), r});
    if (!time_series) return nullptr;
  }

  // 3. Record type.
  Ref dtype = output_dtype(g, bars.get(), fields);
  if (!dtype) return nullptr;

  // 4. Bars before each block start (left insertion points).
  Ref positions;
  if (grid >= 0) {
    positions = kernel_positions(series, step, grid);
  } else {
    Ref searchsorted = rt::attr(minutes.get(), n_searchsorted);
    positions = rt::call(searchsorted.get(), {time_series.get()});
  }
  if (!positions) return nullptr;
  Py_ssize_t grid_len = PyObject_Length(positions.get());
  if (grid_len < 0) return nullptr;

  Ref indexes;
  if (grid_len == 0) {
    // 5. Empty grid (M + 1 <= 0): all bars form one group, or none.
    int keep_partial = rt::truth(include_last);
    if (keep_partial < 0) return nullptr;
    if (!keep_partial) {
      Ref empty = np_attr(g, n_empty);
      Ref shape = empty ? rt::tuple({zero.get()}) : Ref();
      return rt::call(empty.get(), {shape.get()}, {{"dtype", dtype.get()}}).release();
    }
    Ref array = np_attr(g, n_array);
    Ref first_only = array ? rt::list({zero.get()}) : Ref();
    indexes = rt::call(array.get(), {first_only.get()});
  } else {
    // 6. Empty blocks repeat a position; one group per distinct start.  The
    //    last block is complete only when M + 1 is a multiple of r.
    Ref unique_sorted = rt::global(g, n_unique_sorted);
    indexes = rt::call(unique_sorted.get(), {positions.get()});
    if (!indexes) return nullptr;
    int keep_partial = rt::truth(include_last);
    if (keep_partial < 0) return nullptr;
    if (!keep_partial) {
      Ref rest = number(PyNumber_Remainder, end.get(), r);
      int partial = rest ? PyObject_RichCompareBool(rest.get(), zero.get(), Py_NE) : -1;
      if (partial < 0) return nullptr;
      if (partial) {
        Ref last_start = item(indexes.get(), minus_one.get());
        bars = item(bars.get(), slice(Py_None, last_start.get(), Py_None).get());
        if (!bars) return nullptr;
        indexes = item(indexes.get(), slice(Py_None, minus_one.get(), Py_None).get());
      }
    }
  }
  if (!indexes) return nullptr;

  // 7. The uninitialised result.
  Py_ssize_t result_len = PyObject_Length(indexes.get());
  if (result_len < 0) return nullptr;
  Ref length = Ref::steal(PyLong_FromSsize_t(result_len));
  Ref result = length ? empty_result(g, length.get(), dtype.get()) : Ref();
  if (!result) return nullptr;

  // 8. No groups: the empty structured array, never projected.
  if (result_len == 0) return result.release();

  // 9. Fill field by field.
  auto plain = [&](PyObject* name, Agg kind, PyObject* agg) {
    return fill_by_minutes(result.get(), bars.get(), indexes.get(), name, kind, agg);
  };
  bool filled;
  std::vector<std::int64_t> starts;
  if (Batch batch; kernel_allowed(g) && minute_batch(bars.get(), indexes.get(), result.get(),
                                                     result_len, &starts, &batch))
    filled = fill_fields_fused(g, dtype.get(), batch, plain);
  else
    filled = fill_fields(g, dtype.get(), plain);
  if (!filled) return nullptr;

  // 10.
  return project(result.get(), fields);
}

const rt::FunctionDef kResampleFutureBars = {
    "_resample_future_bars", nullptr, {"bars", "fields", "resample", "include_last"},
    resample_future_bars,    nullptr, 83};

// ------------------------------------------------------------------ module level

// How each field folds over a group: the first bar, the last bar, or a
// numpy ufunc's reduceat.
struct TableEntry {
  const char* field;
  const char* text;   // "first" / "last", or null for a ufunc
  const char* ufunc;  // attribute of np
};

const TableEntry kTable[] = {
    {"orig_time", "last", nullptr},      {"open_price", "first", nullptr},
    {"close_price", "last", nullptr},    {"high_price", nullptr, "maximum"},
    {"low_price", nullptr, "minimum"},   {"high_limited", "first", nullptr},
    {"low_limited", "first", nullptr},   {"total_turnover", nullptr, "add"},
    {"volume", nullptr, "add"},          {"acc_net_value", "last", nullptr},
    {"unit_net_value", "last", nullptr}, {"discount_rate", "last", nullptr},
    {"settlement", "last", nullptr},     {"prev_settlement", "last", nullptr},
    {"open_interest", "last", nullptr},  {"basis_spread", "last", nullptr},
    {"trading_date", "last", nullptr},
};

// The ufuncs are the very objects bound on `np` at this point.
Ref agg_table(rt::Module& m) {
  Ref table = Ref::steal(PyDict_New());
  if (!table) return Ref();
  for (const TableEntry& e : kTable) {
    Ref value = e.text ? rt::str(e.text) : rt::attr(m.get("np").get(), e.ufunc);
    if (!value || PyDict_SetItemString(table.get(), e.field, value.get()) < 0) return Ref();
  }
  return table;
}

// `np.int64(value)`
bool bind_int64(rt::Module& m, const char* name, Ref value) {
  Ref int64 = rt::attr(m.get("np").get(), "int64");
  return int64 && value && m.bind(name, rt::call(int64.get(), {value.get()}));
}

Ref include_last_default() { return rt::tuple({Py_True}); }

}  // namespace

bool rt::module_body(rt::Module& m) {
  m.line = 1;
  if (!m.import_as("numpy", "np")) return false;
  setup_kernel(m);
  m.line = 3;
  if (!m.from_import("tight_loops", {"to_minutes", "unique_sorted"}, 1)) return false;
  m.line = 5;
  if (!m.bind("FIELD_AGG_FUNCTIONS", agg_table(m))) return false;
  m.line = kResampleBars.line;
  if (!m.bind("resample_bars", m.function(kResampleBars, include_last_default()))) return false;
  m.line = kSimpleResampleBars.line;
  if (!m.bind("_simple_resample_bars", m.function(kSimpleResampleBars, include_last_default())))
    return false;
  m.line = 76;
  if (!bind_int64(m, "TIME_MODULER", Ref::steal(PyFloat_FromDouble(1e6))) ||
      !bind_int64(m, "HUNDREND", rt::integer(100)) ||
      !bind_int64(m, "MINUTES_PER_HOUR", rt::integer(60)) ||
      !bind_int64(m, "MINUTES_PER_DAY", rt::integer(1440)))
    return false;
  m.line = kResampleFutureBars.line;
  return m.bind("_resample_future_bars", m.function(kResampleFutureBars, include_last_default()));
}

extern "C" PyMODINIT_FUNC PyInit_barmill() { return rt::init_module(); }
