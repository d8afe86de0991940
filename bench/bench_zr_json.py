"""Tagged JSON: the native hooks and entries against the same steps in Python."""
import datetime
import statistics
import timeit

import simplejson

from common import median_seconds, table
from morvel.ostra import const
from morvel.ostra.utils import zr_json


def py_encode(obj):
    if isinstance(obj, datetime.datetime):
        return {"__datetime__": True, "as_str": obj.strftime("%Y%m%dT%H:%M:%S.%f")}
    if isinstance(obj, datetime.date):
        return {"__date__": True, "as_str": obj.strftime("%Y%m%d")}
    if isinstance(obj, const.CustomEnum):
        return {"__enum__": True, "as_str": str(obj)}
    raise TypeError("Unserializable object {} of type {}".format(obj, type(obj)))


def py_decode(obj):
    if "__datetime__" in obj:
        return datetime.datetime.strptime(obj["as_str"], "%Y%m%dT%H:%M:%S.%f")
    if "__date__" in obj:
        return datetime.datetime.strptime(obj["as_str"], "%Y%m%d").date()
    if "__enum__" in obj:
        class_name, member_name = obj["as_str"].split(".")
        return getattr(getattr(const, class_name), member_name)
    return obj


def orders(n):
    start = datetime.datetime(2024, 1, 2, 9, 30)
    return [{"id": i, "at": start + datetime.timedelta(seconds=i), "day": start.date(),
             "side": const.SIDE.BUY, "price": 3500.5 + i, "extra": {"note": "x"}}
            for i in range(n)]


def hook_seconds(hook, obj, repeat=15):
    """Median seconds of one `hook(obj)` call, timed in a compiled loop with
    no wrapper in between."""
    timer = timeit.Timer("hook(obj)", globals={"hook": hook, "obj": obj})
    number, _ = timer.autorange()
    return statistics.median(t / number for t in timer.repeat(repeat, number))


def main():
    stamp = datetime.datetime(2024, 1, 2, 9, 30, 5, 123456)
    hooks = [(f"custom_encode({label})", hook_seconds(zr_json.custom_encode, obj),
              hook_seconds(py_encode, obj))
             for label, obj in [("datetime", stamp), ("date", stamp.date()),
                                ("enum member", const.SIDE.BUY)]]
    table("zr_json hooks: native vs. the same hook in Python (median per call)", hooks, "ns")

    rows = []
    for n in (1, 100, 10_000):
        data = orders(n)
        text = zr_json.convert_dict_to_json(data)
        rows.append((f"encode {n:,} orders", median_seconds(lambda: zr_json.convert_dict_to_json(data)),
                     median_seconds(lambda: simplejson.dumps(data, default=py_encode))))
        rows.append((f"decode {n:,} orders", median_seconds(lambda: zr_json.convert_json_to_dict(text)),
                     median_seconds(lambda: simplejson.loads(text, object_hook=py_decode))))
    table("zr_json: native vs. the same hooks in Python (median per call)", rows)


if __name__ == "__main__":
    main()
