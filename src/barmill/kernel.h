// The resampling kernel: forms the groups and reduces every requested field
// of every group in one pass over the raw records, writing straight into the
// result's memory.  Plain C++, no interpreter API: the module checks that an
// input is one this kernel reproduces exactly before handing it over, and may
// run it without the interpreter lock.
//
// Results are those of numpy's reduceat, bit for bit, with one exception the
// kernel reports instead of guessing: a float sum that is not finite, a float
// maximum/minimum that is NaN or a zero (numpy's answer there depends on
// memory layout and CPU), and a bool holding a byte other than 0 or 1.  Such a
// column comes back with `redo` set and must be computed by numpy itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kernel {

enum class Type : unsigned char { boolean, i8, i16, i32, i64, u8, u16, u32, u64, f32, f64 };
enum class Op : unsigned char { first, last, max, min, add };

// Records in memory: record 0 and the distance between records (any sign).
struct Rows {
  const char* data;
  std::ptrdiff_t stride;
};

// The result's records, written by the kernel.
struct Target {
  char* data;
  std::ptrdiff_t stride;
};

// One output field.  `type` matters for max/min/add, `size` (bytes of one
// value, sub-arrays included) for first/last.
struct Column {
  Op op;
  Type type;
  std::size_t size;
  std::size_t in_offset;   // field offset in an input record
  std::size_t out_offset;  // field offset in an output record
  bool redo;               // out: numpy must compute this column
};

// Group k covers records begin(k) .. end(k) - 1; the last group ends at `bars`.
// With `every` > 0 group k begins at k * every, else at starts[k] (strictly
// increasing, all below `bars`).
struct Groups {
  std::int64_t count;
  std::int64_t bars;
  std::int64_t every;
  const std::int64_t* starts;
};

// Fills output record k's columns from group k, for every k below groups.count.
// Leaves the floating-point environment as it found it.
void resample(const Rows& in, const Groups& groups, const Target& out, Column* columns,
              std::size_t column_count);

// A one-dimensional numeric array: minute ordinals or group starts.
struct Series {
  const char* data;
  std::ptrdiff_t stride;
  std::int64_t length;
  Type type;
};

// Whether every element is at most the next one (false on any NaN).
bool non_decreasing(const Series& s);

// out[j] = number of elements below j * step, for j < grid_length: the left
// insertion points of the grid 0, step, 2 step, ... in a non-decreasing
// series.  Float series compare in double, integer series in int64 (the
// caller keeps uint64 series out).
void grid_positions(const Series& minutes, std::int64_t step, std::int64_t grid_length,
                    std::int64_t* out);

// Copies an integer series into out, checking that it is strictly increasing
// and inside [0, bars).  Returns false (out partly written) otherwise.
bool read_starts(const Series& s, std::int64_t bars, std::int64_t* out);

}  // namespace kernel
