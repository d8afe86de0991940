// morvel.ostra.utils.zr_json: JSON text from Python data and back, with
// datetimes, dates and the framework's enumeration members written as tagged
// objects ({"<tag>": true, "as_str": "<text>"}) that decode to what they were.
// simplejson does the JSON work; this module supplies its two hooks.
#include "../runtime/runtime.h"

#include <datetime.h>

#include <cstdio>

const rt::ModuleInfo rt::kModule = {"zr_json", "morvel.ostra.utils.zr_json",
                                    "morvel\\ostra\\utils\\zr_json"};

namespace {

using rt::Ref;

rt::Name n_json("json"), n_datetime("datetime"), n_date("date"), n_const("const"),
    n_custom_encode("custom_encode"), n_custom_decode("custom_decode"), n_dumps("dumps"),
    n_loads("loads"), n_CustomEnum("CustomEnum"), n_strftime("strftime"), n_strptime("strptime"),
    n_year("year"), n_split("split"), n_format("format"), n_tag_datetime("__datetime__"),
    n_tag_date("__date__"), n_tag_enum("__enum__"), n_as_str("as_str");

const char kDatetimeFormat[] = "%Y%m%dT%H:%M:%S.%f";
const char kDateFormat[] = "%Y%m%d";

// ------------------------------------------------------------------ entries

PyObject* convert_dict_to_json(PyObject* g, PyObject* const* a) {
  PyObject* dict_obj = a[0];
  Ref dumps = rt::attr(rt::global(g, n_json).get(), n_dumps);
  if (!dumps) return nullptr;
  Ref custom_encode = rt::global(g, n_custom_encode);
  return rt::call(dumps.get(), {dict_obj}, {{"default", custom_encode.get()}}).release();
}

PyObject* convert_json_to_dict(PyObject* g, PyObject* const* a) {
  PyObject* json_str = a[0];
  Ref loads = rt::attr(rt::global(g, n_json).get(), n_loads);
  if (!loads) return nullptr;
  Ref custom_decode = rt::global(g, n_custom_decode);
  return rt::call(loads.get(), {json_str}, {{"object_hook", custom_decode.get()}}).release();
}

// ------------------------------------------------------------------ encode

// {tag: True, "as_str": text}, the tag first.
PyObject* tagged(rt::Name& tag, Ref text) {
  if (!text || !tag.get() || !n_as_str.get()) return nullptr;
  Ref dict = Ref::steal(PyDict_New());
  if (!dict || PyDict_SetItem(dict.get(), tag.get(), Py_True) < 0 ||
      PyDict_SetItem(dict.get(), n_as_str.get(), text.get()) < 0)
    return nullptr;
  return dict.release();
}

// The format for obj.strftime.  strftime writes a year below 1000 without
// leading zeros ("9990102" for 999-01-02), which strptime's four-digit %Y
// would read back as another date, so such a year goes in as four literal
// digits and strftime fills in the rest.
Ref year_safe_format(PyObject* obj, const char* format) {
  Ref year_obj = rt::attr(obj, n_year);
  if (!year_obj) return Ref();
  long year = PyLong_AsLong(year_obj.get());
  if (year == -1 && PyErr_Occurred()) return Ref();
  if (year >= 1000) return rt::str(format);
  char text[64];
  std::snprintf(text, sizeof text, "%04ld%s", year, format + 2);  // drops "%Y"
  return rt::str(text);
}

// Writes `value` as `width` decimal digits at `p`; returns the end.
char* put_digits(char* p, int value, int width) {
  for (int i = width - 1; i >= 0; --i, value /= 10) p[i] = static_cast<char>('0' + value % 10);
  return p + width;
}

// The tag texts of exact datetimes and dates, written directly: the same
// characters strftime gives for the two formats (years below 1000 padded).
Ref canonical_text(PyObject* obj, bool with_time) {
  char text[24];
  char* p = put_digits(text, PyDateTime_GET_YEAR(obj), 4);
  p = put_digits(p, PyDateTime_GET_MONTH(obj), 2);
  p = put_digits(p, PyDateTime_GET_DAY(obj), 2);
  if (with_time) {
    *p++ = 'T';
    p = put_digits(p, PyDateTime_DATE_GET_HOUR(obj), 2);
    *p++ = ':';
    p = put_digits(p, PyDateTime_DATE_GET_MINUTE(obj), 2);
    *p++ = ':';
    p = put_digits(p, PyDateTime_DATE_GET_SECOND(obj), 2);
    *p++ = '.';
    p = put_digits(p, PyDateTime_DATE_GET_MICROSECOND(obj), 6);
  }
  return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, text, p - text));
}

// True when `obj` is a real date (or datetime) whose strftime is the one of
// `base`: strftime then writes the fields as the date type does, and the
// four-digit-year mend applies.  A class that brings its own strftime, or an
// object that only claims to be a date, gets the format text unchanged.
bool date_strftime(PyObject* obj, PyTypeObject* base) {
  if (!PyDate_Check(obj) || !n_strftime.get()) return false;
  return _PyType_Lookup(Py_TYPE(obj), n_strftime.get()) == _PyType_Lookup(base, n_strftime.get());
}

// obj.strftime(format), written directly for an object of the exact type
// `base` (datetime for the datetime format, date for the date format).
Ref strftime(PyObject* obj, const char* format, PyTypeObject* base) {
  if (Py_TYPE(obj) == base) return canonical_text(obj, base == PyDateTimeAPI->DateTimeType);
  Ref fmt = date_strftime(obj, base) ? year_safe_format(obj, format) : rt::str(format);
  if (!fmt) return Ref();
  return rt::call(rt::attr(obj, n_strftime).get(), {fmt.get()});
}

// isinstance(obj, <name>.<attribute>) with both looked up now; -1 on error.
int is_instance(PyObject* obj, PyObject* g, rt::Name& name, rt::Name& attribute) {
  Ref module = rt::global(g, name);
  Ref cls = rt::attr(module.get(), attribute);
  if (!cls) return -1;
  return PyObject_IsInstance(obj, cls.get());
}

PyObject* raise_unserializable(PyObject* obj) {
  Ref text = rt::str("Unserializable object {} of type {}");
  Ref message = rt::call(rt::attr(text.get(), n_format).get(),
                         {obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))});
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
  return nullptr;
}

PyObject* custom_encode(PyObject* g, PyObject* const* a) {
  PyObject* obj = a[0];
  int is = is_instance(obj, g, n_datetime, n_datetime);
  if (is < 0) return nullptr;
  if (is)
    return tagged(n_tag_datetime, strftime(obj, kDatetimeFormat, PyDateTimeAPI->DateTimeType));

  is = is_instance(obj, g, n_datetime, n_date);
  if (is < 0) return nullptr;
  if (is) return tagged(n_tag_date, strftime(obj, kDateFormat, PyDateTimeAPI->DateType));

  is = is_instance(obj, g, n_const, n_CustomEnum);
  if (is < 0) return nullptr;
  if (is) return tagged(n_tag_enum, Ref::steal(PyObject_Str(obj)));

  return raise_unserializable(obj);
}

// ------------------------------------------------------------------ decode

// `tag in obj`; -1 on error.
int has_tag(PyObject* obj, rt::Name& tag) {
  if (!tag.get()) return -1;
  return PySequence_Contains(obj, tag.get());
}

Ref as_str(PyObject* obj) { return rt::item(obj, n_as_str.get()); }

// The number written by `n` ASCII digits at `s`; -1 when one is not a digit.
int digits(const char* s, int n) {
  int value = 0;
  for (int i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    value = value * 10 + (s[i] - '0');
  }
  return value;
}

int days_in_month(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

// The datetime that strptime makes of a text in the written form itself,
// "YYYYMMDD" or "YYYYMMDDTHH:MM:SS.ffffff", with every field in range.  Any
// other text gives a null Ref with no error set: strptime then decides, with
// its own errors and its more lenient reading.
Ref parse_written_form(PyObject* text, bool with_time) {
  if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return Ref();
  Py_ssize_t size;
  const char* s = PyUnicode_AsUTF8AndSize(text, &size);
  if (!s || size != (with_time ? 24 : 8)) return Ref();
  int year = digits(s, 4), month = digits(s + 4, 2), day = digits(s + 6, 2);
  int hour = 0, minute = 0, second = 0, micro = 0;
  if (with_time) {
    if (s[8] != 'T' || s[11] != ':' || s[14] != ':' || s[17] != '.') return Ref();
    hour = digits(s + 9, 2), minute = digits(s + 12, 2), second = digits(s + 15, 2);
    micro = digits(s + 18, 6);
  }
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || micro < 0)
    return Ref();
  return Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTime(
      year, month, day, hour, minute, second, micro, Py_None, PyDateTimeAPI->DateTimeType));
}

// datetime.datetime.strptime(obj["as_str"], format)
Ref strptime(PyObject* g, PyObject* obj, const char* format) {
  Ref datetime_cls = rt::attr(rt::global(g, n_datetime).get(), n_datetime);
  Ref parse = rt::attr(datetime_cls.get(), n_strptime);
  if (!parse) return Ref();
  Ref text = as_str(obj);
  if (!text) return Ref();
  if (datetime_cls.get() == reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType)) {
    Ref parsed = parse_written_form(text.get(), format == kDatetimeFormat);
    if (parsed || PyErr_Occurred()) return parsed;
  }
  Ref fmt = rt::str(format);
  return rt::call(parse.get(), {text.get(), fmt.get()});
}

// class_name, member_name = text.split(".")
// getattr(getattr(const, class_name), member_name)
PyObject* enum_member(PyObject* g, PyObject* text) {
  Ref split = rt::attr(text, n_split);
  if (!split) return nullptr;
  Ref dot = rt::str(".");
  Ref parts = rt::call(split.get(), {dot.get()});
  if (!parts) return nullptr;
  Ref names[2];  // class name, member name
  if (!rt::unpack(parts.get(), names, 2)) return nullptr;
  Ref& class_name = names[0];
  Ref& member_name = names[1];
  Ref const_module = rt::global(g, n_const);
  if (!const_module) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttr(const_module.get(), class_name.get()));
  if (!cls) return nullptr;
  return PyObject_GetAttr(cls.get(), member_name.get());
}

PyObject* custom_decode(PyObject* g, PyObject* const* a) {
  PyObject* obj = a[0];
  int has = has_tag(obj, n_tag_datetime);
  if (has < 0) return nullptr;
  if (has) return strptime(g, obj, kDatetimeFormat).release();

  has = has_tag(obj, n_tag_date);
  if (has < 0) return nullptr;
  if (has) {
    Ref parsed = strptime(g, obj, kDateFormat);
    return rt::call(rt::attr(parsed.get(), n_date).get()).release();
  }

  has = has_tag(obj, n_tag_enum);
  if (has < 0) return nullptr;
  if (has) {
    Ref text = as_str(obj);
    return text ? enum_member(g, text.get()) : nullptr;
  }
  return Py_NewRef(obj);
}

const rt::FunctionDef kConvertDictToJson = {"convert_dict_to_json", nullptr, {"dict_obj"},
                                            convert_dict_to_json,   nullptr, 12};
const rt::FunctionDef kConvertJsonToDict = {"convert_json_to_dict", nullptr, {"json_str"},
                                            convert_json_to_dict,   nullptr, 16};
const rt::FunctionDef kCustomEncode = {"custom_encode", nullptr, {"obj"},
                                       custom_encode,   nullptr, 20};
const rt::FunctionDef kCustomDecode = {"custom_decode", nullptr, {"obj"},
                                       custom_decode,   nullptr, 37};

}  // namespace

bool rt::module_body(rt::Module& m) {
  m.line = 3;
  if (!m.import_as("simplejson", "json")) return false;
  m.line = 4;
  if (!m.import("datetime")) return false;
  // The C API of the datetime module just imported; its capsule is how the
  // C types are reached.
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) return false;
  m.line = 6;
  if (!m.from_import("morvel.ostra", {"const"})) return false;
  m.line = 12;
  return m.bind("convert_dict_to_json", m.function(kConvertDictToJson)) &&
         m.bind("convert_json_to_dict", m.function(kConvertJsonToDict)) &&
         m.bind("custom_encode", m.function(kCustomEncode)) &&
         m.bind("custom_decode", m.function(kCustomDecode));
}

extern "C" PyMODINIT_FUNC PyInit_zr_json() { return rt::init_module(); }
