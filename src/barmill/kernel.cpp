// Built with -ffp-contract=off and without fast-math: the sums below must
// round exactly where numpy's do.
#include "kernel.h"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

namespace kernel {
namespace {

using std::int64_t;
using std::ptrdiff_t;
using std::uint64_t;

// Fields of packed records are unaligned; memcpy is the portable load.
template <class T>
inline T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
inline void store(char* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// ------------------------------------------------------------------ groups

struct ByCount {
  int64_t count, bars, every;
  int64_t begin(int64_t k) const { return k * every; }
  int64_t end(int64_t k) const { return k + 1 < count ? (k + 1) * every : bars; }
};

struct ByStarts {
  int64_t count, bars;
  const int64_t* starts;
  int64_t begin(int64_t k) const { return starts[k]; }
  int64_t end(int64_t k) const { return k + 1 < count ? starts[k + 1] : bars; }
};

// ------------------------------------------------------------------ reductions

// numpy's pairwise summation of n values: a plain loop from -0.0 below 8
// values, eight interleaved accumulators up to 128, halves (split at a
// multiple of 8) above.
template <class T>
T pairwise(const char* p, int64_t n, ptrdiff_t s) {
  if (n < 8) {
    T r = T(-0.0);
    for (int64_t i = 0; i < n; ++i) r += load<T>(p + i * s);
    return r;
  }
  if (n <= 128) {
    T r[8];
    for (int j = 0; j < 8; ++j) r[j] = load<T>(p + j * s);
    int64_t i = 8;
    for (; i < n - n % 8; i += 8)
      for (int j = 0; j < 8; ++j) r[j] += load<T>(p + (i + j) * s);
    T res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += load<T>(p + i * s);
    return res;
  }
  int64_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise<T>(p, n2, s) + pairwise<T>(p + n2 * s, n - n2, s);
}

// reduceat's sum of one group: the first value, then the pairwise sum of the rest.
template <class T>
bool float_sum(const char* p, int64_t n, ptrdiff_t s, T* out) {
  T acc = load<T>(p);
  if (n > 1) acc += pairwise<T>(p + s, n - 1, s);
  *out = acc;
  return std::isfinite(acc);
}

template <class T, bool Max>
bool float_extreme(const char* p, int64_t n, ptrdiff_t s, T* out) {
  T acc = load<T>(p);
  bool nan = acc != acc;
  for (int64_t i = 1; i < n; ++i) {
    T v = load<T>(p + i * s);
    nan |= v != v;
    if (Max ? v > acc : v < acc) acc = v;
  }
  *out = acc;
  return !nan && acc != 0;
}

// Integers narrower than 64 bits are summed in 64 bits, then cast back: the
// sum wraps in the field's width either way.
template <class T>
bool int_sum(const char* p, int64_t n, ptrdiff_t s, T* out) {
  using Wide = typename std::conditional<std::is_signed<T>::value, int64_t, uint64_t>::type;
  uint64_t acc = 0;
  for (int64_t i = 0; i < n; ++i)
    acc += static_cast<uint64_t>(static_cast<Wide>(load<T>(p + i * s)));
  *out = static_cast<T>(acc);
  return true;
}

template <class T, bool Max>
bool int_extreme(const char* p, int64_t n, ptrdiff_t s, T* out) {
  T acc = load<T>(p);
  for (int64_t i = 1; i < n; ++i) {
    T v = load<T>(p + i * s);
    if (Max ? v > acc : v < acc) acc = v;
  }
  *out = acc;
  return true;
}

// max and add of bools are "any", min is "all"; only 0 and 1 bytes are
// reproduced here.
template <bool Any>
bool bool_fold(const char* p, int64_t n, ptrdiff_t s, unsigned char* out) {
  unsigned char acc = Any ? 0 : 1, seen = 0;
  for (int64_t i = 0; i < n; ++i) {
    unsigned char v = load<unsigned char>(p + i * s);
    seen |= v;
    acc = Any ? (acc | v) : (acc & v);
  }
  *out = acc;
  return seen <= 1;
}

// ------------------------------------------------------------------ column workers

template <class G>
using Worker = void (*)(const Rows&, const G&, int64_t, int64_t, const Target&, Column&);

// The workers copy what they use into locals first: their stores go through
// char pointers, which would otherwise make the compiler reload every member
// after each store.
template <class G, class T, bool (*Reduce)(const char*, int64_t, ptrdiff_t, T*)>
void reduce_groups(const Rows& in, const G& groups, int64_t k0, int64_t k1, const Target& out,
                   Column& c) {
  const G g = groups;
  const ptrdiff_t s = in.stride, os = out.stride;
  const char* src = in.data + c.in_offset;
  char* dst = out.data + c.out_offset + k0 * os;
  for (int64_t k = k0; k < k1; ++k, dst += os) {
    int64_t b = g.begin(k);
    T v;
    if (!Reduce(src + b * s, g.end(k) - b, s, &v)) {
      c.redo = true;
      return;
    }
    store(dst, v);
  }
}

template <class G, std::size_t Size, bool Last>
void copy_groups(const Rows& in, const G& groups, int64_t k0, int64_t k1, const Target& out,
                 Column& c) {
  const G g = groups;
  const ptrdiff_t s = in.stride, os = out.stride;
  const char* src = in.data + c.in_offset;
  char* dst = out.data + c.out_offset + k0 * os;
  const std::size_t size = Size ? Size : c.size;
  for (int64_t k = k0; k < k1; ++k, dst += os) {
    int64_t row = Last ? g.end(k) - 1 : g.begin(k);
    std::memcpy(dst, src + row * s, size);
  }
}

template <class G, bool Last>
Worker<G> copier(std::size_t size) {
  switch (size) {
    case 1:
      return copy_groups<G, 1, Last>;
    case 2:
      return copy_groups<G, 2, Last>;
    case 4:
      return copy_groups<G, 4, Last>;
    case 8:
      return copy_groups<G, 8, Last>;
    default:
      return copy_groups<G, 0, Last>;
  }
}

template <class G, class T>
Worker<G> int_worker(Op op) {
  switch (op) {
    case Op::max:
      return reduce_groups<G, T, int_extreme<T, true>>;
    case Op::min:
      return reduce_groups<G, T, int_extreme<T, false>>;
    default:
      return reduce_groups<G, T, int_sum<T>>;
  }
}

template <class G, class T>
Worker<G> float_worker(Op op) {
  switch (op) {
    case Op::max:
      return reduce_groups<G, T, float_extreme<T, true>>;
    case Op::min:
      return reduce_groups<G, T, float_extreme<T, false>>;
    default:
      return reduce_groups<G, T, float_sum<T>>;
  }
}

template <class G>
Worker<G> worker(const Column& c) {
  if (c.op == Op::first) return copier<G, false>(c.size);
  if (c.op == Op::last) return copier<G, true>(c.size);
  switch (c.type) {
    case Type::boolean:
      return c.op == Op::min ? reduce_groups<G, unsigned char, bool_fold<false>>
                             : reduce_groups<G, unsigned char, bool_fold<true>>;
    case Type::i8:
      return int_worker<G, std::int8_t>(c.op);
    case Type::i16:
      return int_worker<G, std::int16_t>(c.op);
    case Type::i32:
      return int_worker<G, std::int32_t>(c.op);
    case Type::i64:
      return int_worker<G, std::int64_t>(c.op);
    case Type::u8:
      return int_worker<G, std::uint8_t>(c.op);
    case Type::u16:
      return int_worker<G, std::uint16_t>(c.op);
    case Type::u32:
      return int_worker<G, std::uint32_t>(c.op);
    case Type::u64:
      return int_worker<G, std::uint64_t>(c.op);
    case Type::f32:
      return float_worker<G, float>(c.op);
    case Type::f64:
      return float_worker<G, double>(c.op);
  }
  return nullptr;
}

// ------------------------------------------------------------------ the pass

// Groups are taken a block of records at a time.  A block is first read
// line by line (independent loads the CPU overlaps, in address order, which
// the hardware prefetcher follows) and the next one prefetched; the columns
// then read the block from cache.  Going column by column straight from
// memory measured three times slower: each column's strided loads miss
// one after another.  The block and the one prefetched must sit in L1
// together: 12 KiB measured best (8 and 16 a little slower, 32 far slower).
constexpr int64_t kBlockBytes = 12 * 1024;
constexpr int64_t kLine = 64;

inline int64_t block_end(const ByCount& g, int64_t k0, int64_t rows) {
  return std::min(g.count, k0 + std::max<int64_t>(1, rows / g.every));
}

inline int64_t block_end(const ByStarts& g, int64_t k0, int64_t rows) {
  int64_t limit = g.starts[k0] + rows, k1 = k0 + 1;
  while (k1 < g.count && g.starts[k1] < limit) ++k1;
  return k1;
}

// The bytes of records first .. last - 1, lowest address first.
inline void span(const Rows& in, int64_t first, int64_t last, const char** lo, const char** hi) {
  const char* a = in.data + first * in.stride;
  const char* b = in.data + (last - 1) * in.stride;
  if (a > b) std::swap(a, b);
  *lo = a;
  *hi = b + std::abs(in.stride);
}

void touch_rows(const Rows& in, int64_t first, int64_t last) {
  if (last <= first) return;
  const char *lo, *hi;
  span(in, first, last, &lo, &hi);
  for (const char* p = lo; p < hi; p += kLine) (void)*reinterpret_cast<const volatile char*>(p);
}

void prefetch_rows(const Rows& in, int64_t first, int64_t last) {
  if (last <= first) return;
  const char *lo, *hi;
  span(in, first, last, &lo, &hi);
  for (const char* p = lo; p < hi; p += kLine) __builtin_prefetch(p, 0, 1);
}

template <class G>
void run(const Rows& in, const G& g, const Target& out, Column* cols, std::size_t n) {
  std::vector<Worker<G>> workers(n);
  for (std::size_t c = 0; c < n; ++c) workers[c] = worker<G>(cols[c]);
  const int64_t stride = std::max<int64_t>(1, std::abs(in.stride));
  const int64_t rows = std::max<int64_t>(1, kBlockBytes / stride);
  // Wider records leave most of their lines unread: no point fetching them.
  const bool stream = stride <= 4 * kLine;
  for (int64_t k0 = 0; k0 < g.count;) {
    int64_t k1 = block_end(g, k0, rows);
    if (stream) {
      touch_rows(in, g.begin(k0), g.end(k1 - 1));
      if (k1 < g.count) {
        int64_t next = g.begin(k1);
        prefetch_rows(in, next, std::min(g.bars, next + rows));
      }
    }
    for (std::size_t c = 0; c < n; ++c)
      if (!cols[c].redo) workers[c](in, g, k0, k1, out, cols[c]);
    k0 = k1;
  }
}

// ------------------------------------------------------------------ series

template <class T>
bool sorted_as(const Series& s) {
  if (s.length == 0) return true;
  T prev = load<T>(s.data);
  if (prev != prev) return false;
  for (int64_t i = 1; i < s.length; ++i) {
    T v = load<T>(s.data + i * s.stride);
    if (!(prev <= v)) return false;
    prev = v;
  }
  return true;
}

template <class T, class Key>
void positions_as(const Series& m, int64_t step, int64_t grid_length, int64_t* out) {
  int64_t i = 0;
  for (int64_t j = 0; j < grid_length; ++j) {
    const Key t = static_cast<Key>(j * step);
    while (i < m.length && static_cast<Key>(load<T>(m.data + i * m.stride)) < t) ++i;
    out[j] = i;
  }
}

template <class T>
bool starts_as(const Series& s, int64_t bars, int64_t* out) {
  int64_t prev = -1;
  for (int64_t i = 0; i < s.length; ++i) {
    T v = load<T>(s.data + i * s.stride);
    if constexpr (std::is_signed<T>::value)
      if (v < 0) return false;
    if (static_cast<uint64_t>(v) >= static_cast<uint64_t>(bars)) return false;
    int64_t x = static_cast<int64_t>(v);
    if (x <= prev) return false;
    out[i] = prev = x;
  }
  return true;
}

// Calls f.template operator()<T>() with T the series' element type.
template <class F>
auto by_type(Type t, F&& f) {
  switch (t) {
    case Type::boolean:
      return f(static_cast<unsigned char*>(nullptr));
    case Type::i8:
      return f(static_cast<std::int8_t*>(nullptr));
    case Type::i16:
      return f(static_cast<std::int16_t*>(nullptr));
    case Type::i32:
      return f(static_cast<std::int32_t*>(nullptr));
    case Type::i64:
      return f(static_cast<std::int64_t*>(nullptr));
    case Type::u8:
      return f(static_cast<std::uint8_t*>(nullptr));
    case Type::u16:
      return f(static_cast<std::uint16_t*>(nullptr));
    case Type::u32:
      return f(static_cast<std::uint32_t*>(nullptr));
    case Type::u64:
      return f(static_cast<std::uint64_t*>(nullptr));
    case Type::f32:
      return f(static_cast<float*>(nullptr));
    case Type::f64:
      break;
  }
  return f(static_cast<double*>(nullptr));
}

}  // namespace

void resample(const Rows& in, const Groups& groups, const Target& out, Column* columns,
              std::size_t column_count) {
  // Comparisons with NaN may raise the invalid flag; the caller's flags are
  // numpy's business, so they are put back as they were.
  std::fenv_t env;
  std::feholdexcept(&env);
  try {
    if (groups.every > 0)
      run(in, ByCount{groups.count, groups.bars, groups.every}, out, columns, column_count);
    else
      run(in, ByStarts{groups.count, groups.bars, groups.starts}, out, columns, column_count);
  } catch (const std::bad_alloc&) {  // no room for the worker table: numpy does it all
    for (std::size_t c = 0; c < column_count; ++c) columns[c].redo = true;
  }
  std::fesetenv(&env);
}

bool non_decreasing(const Series& s) {
  std::fenv_t env;
  std::feholdexcept(&env);
  bool ok = by_type(s.type,
                    [&](auto* tag) { return sorted_as<std::remove_pointer_t<decltype(tag)>>(s); });
  std::fesetenv(&env);
  return ok;
}

void grid_positions(const Series& m, int64_t step, int64_t grid_length, int64_t* out) {
  if (m.type == Type::f32)
    positions_as<float, double>(m, step, grid_length, out);
  else if (m.type == Type::f64)
    positions_as<double, double>(m, step, grid_length, out);
  else
    by_type(m.type, [&](auto* tag) {
      positions_as<std::remove_pointer_t<decltype(tag)>, int64_t>(m, step, grid_length, out);
    });
}

bool read_starts(const Series& s, int64_t bars, int64_t* out) {
  if (s.type == Type::f32 || s.type == Type::f64 || s.type == Type::boolean) return false;
  return by_type(s.type, [&](auto* tag) {
    using T = std::remove_pointer_t<decltype(tag)>;
    if constexpr (std::is_integral<T>::value) return starts_as<T>(s, bars, out);
    return false;
  });
}

}  // namespace kernel
