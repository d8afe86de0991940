// morvel.ostra.mod.mod_quant_data.data_sources.barmill: turns a bar array (a
// numpy structured array, one record per bar) into coarser bars, either by
// counting bars or by blocks of minutes.
//
// Every array operation is a call into numpy's Python API (slices, index
// arrays, ufunc.reduceat), so the results are numpy's own, down to its type
// promotions and NaN handling.  This path is the reference that faster
// kernels are checked against; keep it plain.
#include "../runtime/runtime.h"

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

PyObject* simple_resample_bars(PyObject* g, PyObject* const* a) {
  Ref bars = Ref::borrow(a[0]);
  PyObject *fields = a[1], *r = a[2], *include_last = a[3];

  // 1. Output length; without the trailing partial group the input is cut to
  //    whole groups.  Python ints throughout, so r == 0 raises
  //    ZeroDivisionError here, before anything is allocated.
  int keep_partial = rt::truth(include_last);
  if (keep_partial < 0) return nullptr;
  Py_ssize_t n = PyObject_Length(bars.get());
  if (n < 0) return nullptr;
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
  bool filled = fill_fields(g, dtype.get(), [&](PyObject* name, Agg kind, PyObject* agg) {
    return fill_by_count(result.get(), bars.get(), r, name, kind, agg);
  });
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

  // 2. Block starts 0, r, 2r, ... up to the last ordinal M.
  Ref arange = np_attr(g, n_arange);
  if (!arange) return nullptr;
  Ref last_minute = item(minutes.get(), minus_one.get());
  Ref end = number(PyNumber_Add, last_minute.get(), one.get());  // M + 1
  Ref time_series = rt::call(arange.get(), {zero.get(), end.get(), r});
  if (!time_series) return nullptr;

  // 3. Record type.
  Ref dtype = output_dtype(g, bars.get(), fields);
  if (!dtype) return nullptr;

  // 4. Bars before each block start (left insertion points).
  Ref searchsorted = rt::attr(minutes.get(), n_searchsorted);
  Ref positions = rt::call(searchsorted.get(), {time_series.get()});
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
  bool filled = fill_fields(g, dtype.get(), [&](PyObject* name, Agg kind, PyObject* agg) {
    return fill_by_minutes(result.get(), bars.get(), indexes.get(), name, kind, agg);
  });
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
