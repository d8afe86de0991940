// Unit tests of the resampling kernel on its own (no interpreter), so that the
// sanitizers see it alone.  Prints "<n> passed, <m> failed"; exit status 1 on
// any failure.
#include "../../src/barmill/kernel.h"

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using namespace kernel;

static int passed = 0, failed = 0;

#define CHECK(cond)                                                     \
  do {                                                                  \
    if (cond) {                                                         \
      ++passed;                                                         \
    } else {                                                            \
      ++failed;                                                         \
      std::printf("%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                   \
  } while (0)

template <class T>
static bool same_bits(T a, T b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// numpy's pairwise sum, written on a plain vector from the algorithm's steps.
template <class T>
static T ref_pairwise(const std::vector<T>& v, size_t lo, size_t n) {
  if (n < 8) {
    T r = T(-0.0);
    for (size_t i = 0; i < n; ++i) r = r + v[lo + i];
    return r;
  }
  if (n <= 128) {
    T r[8];
    for (size_t j = 0; j < 8; ++j) r[j] = v[lo + j];
    size_t i = 8, whole = n - n % 8;
    for (; i < whole; i += 8)
      for (size_t j = 0; j < 8; ++j) r[j] = r[j] + v[lo + i + j];
    T res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res = res + v[lo + i];
    return res;
  }
  size_t half = n / 2 - (n / 2) % 8;
  return ref_pairwise(v, lo, half) + ref_pairwise(v, lo + half, n - half);
}

template <class T>
static T ref_group_sum(const std::vector<T>& v, size_t b, size_t e) {
  return e - b == 1 ? v[b] : T(v[b] + ref_pairwise(v, b + 1, e - b - 1));
}

// Records of `stride` bytes, the value at byte `offset` (odd offsets make
// every load unaligned).  `reverse` lays them out back to front and hands the
// kernel a negative stride.
struct Layout {
  size_t stride, offset;
  bool reverse;
};

template <class T>
struct Packed {
  std::vector<char> bytes;
  Rows rows;
  Packed(const std::vector<T>& v, Layout l) : bytes(v.size() * l.stride + 1, '\x5a') {
    for (size_t i = 0; i < v.size(); ++i) {
      size_t slot = l.reverse ? v.size() - 1 - i : i;
      std::memcpy(bytes.data() + slot * l.stride + l.offset, &v[i], sizeof(T));
    }
    ptrdiff_t s = static_cast<ptrdiff_t>(l.stride);
    const char* first = bytes.data() + (l.reverse ? (v.size() - 1) * l.stride : 0);
    rows = Rows{first, l.reverse ? -s : s};
  }
};

// Runs one column over the groups and returns the output values.
template <class T>
static std::vector<T> run_column(const std::vector<T>& v, Layout l, Op op, Type type,
                                 const Groups& g, bool* redo = nullptr) {
  Packed<T> in(v, l);
  std::vector<T> out(static_cast<size_t>(g.count));
  Column c{op, type, sizeof(T), l.offset, 0, false};
  resample(in.rows, g, Target{reinterpret_cast<char*>(out.data()), sizeof(T)}, &c, 1);
  if (redo) *redo = c.redo;
  return out;
}

static const Layout kLayouts[] = {{8, 0, false}, {13, 1, false}, {132, 67, false}, {13, 3, true}};

template <class T, Type type>
static void test_float_sums_match_numpy_pairwise() {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> d(-1e3, 1e3);
  for (int64_t size : {1, 2, 7, 8, 9, 16, 17, 128, 129, 130, 300, 1000}) {
    std::vector<T> v(static_cast<size_t>(size * 3 + 2));
    for (auto& x : v) x = static_cast<T>(d(rng)) * T(1.1);
    Groups g{3, static_cast<int64_t>(v.size()), size, nullptr};
    for (const Layout& l : kLayouts) {
      bool redo = true;
      auto got = run_column(v, l, Op::add, type, g, &redo);
      bool all = !redo;
      for (int64_t k = 0; k < 3; ++k) {
        size_t b = static_cast<size_t>(k * size), e = k == 2 ? v.size() : b + size;
        all = all && same_bits(got[k], ref_group_sum(v, b, e));
      }
      CHECK(all);
    }
  }
}

static void test_signed_zero_sums() {
  // A group of -0.0 sums to -0.0 only because the short loop starts at -0.0.
  std::vector<double> v = {-0.0, -0.0, -0.0, 0.0, -0.0};
  auto got = run_column(v, kLayouts[1], Op::add, Type::f64, Groups{2, 5, 3, nullptr});
  CHECK(std::signbit(got[0]) && got[0] == 0);
  CHECK(!std::signbit(got[1]) && got[1] == 0);
}

static void test_unreproducible_groups_are_reported() {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::vector<double> v;
    Op op;
    bool redo;
  } cases[] = {
      {{1, 2, 3, 4}, Op::add, false},       {{1, inf, 3, 4}, Op::add, true},
      {{1e308, 1e308, 1, 1}, Op::add, true}, {{1, 2, nan, 4}, Op::max, true},
      {{1, 2, 3, nan}, Op::min, true},      {{-1, 0, -3, -4}, Op::max, true},
      {{1, 2, 0, 4}, Op::min, true},        {{-1, -2, 3, 4}, Op::max, false},
      {{1, 2, nan, 4}, Op::add, true},
  };
  for (auto& c : cases) {
    bool redo = false;
    run_column(c.v, kLayouts[0], c.op, Type::f64, Groups{2, 4, 2, nullptr}, &redo);
    CHECK(redo == c.redo);
  }
  // A float32 sum overflows where the double one would not.
  bool redo = false;
  run_column<float>({3e38f, 3e38f}, kLayouts[0], Op::add, Type::f32, Groups{1, 2, 2, nullptr},
                    &redo);
  CHECK(redo);
}

static void test_extremes_on_every_layout() {
  std::vector<double> v = {3, -7, 5, 2, -1, 9, 4, -8};
  for (const Layout& l : kLayouts) {
    auto hi = run_column(v, l, Op::max, Type::f64, Groups{3, 8, 3, nullptr});
    auto lo = run_column(v, l, Op::min, Type::f64, Groups{3, 8, 3, nullptr});
    CHECK((hi == std::vector<double>{5, 9, 4}));
    CHECK((lo == std::vector<double>{-7, -1, -8}));
  }
  std::vector<std::int16_t> s = {-32768, 5, 32767, -2};
  auto hi = run_column(s, kLayouts[1], Op::max, Type::i16, Groups{2, 4, 2, nullptr});
  CHECK((hi == std::vector<std::int16_t>{5, 32767}));
  std::vector<std::uint64_t> u = {~0ull, 1, 2, 3};
  auto lo = run_column(u, kLayouts[2], Op::min, Type::u64, Groups{2, 4, 2, nullptr});
  CHECK((lo == std::vector<std::uint64_t>{1, 2}));
}

static void test_integer_sums_wrap_in_their_width() {
  std::vector<std::int32_t> i = {2147483647, 2, -5, -2147483647 - 1};
  auto got = run_column(i, kLayouts[1], Op::add, Type::i32, Groups{2, 4, 2, nullptr});
  CHECK((got == std::vector<std::int32_t>{-2147483647, 2147483643}));
  std::vector<std::uint8_t> u = {200, 100, 255, 1};
  auto gu = run_column(u, kLayouts[3], Op::add, Type::u8, Groups{2, 4, 2, nullptr});
  CHECK((gu == std::vector<std::uint8_t>{44, 0}));
  std::vector<std::int64_t> w = {INT64_MAX, 1};
  auto gw = run_column(w, kLayouts[0], Op::add, Type::i64, Groups{1, 2, 2, nullptr});
  CHECK(gw[0] == INT64_MIN);
}

static void test_bools() {
  std::vector<std::uint8_t> b = {0, 1, 0, 0, 1, 1};
  Groups g{3, 6, 2, nullptr};
  CHECK((run_column(b, kLayouts[1], Op::add, Type::boolean, g) == std::vector<std::uint8_t>{1, 0, 1}));
  CHECK((run_column(b, kLayouts[1], Op::max, Type::boolean, g) == std::vector<std::uint8_t>{1, 0, 1}));
  CHECK((run_column(b, kLayouts[1], Op::min, Type::boolean, g) == std::vector<std::uint8_t>{0, 0, 1}));
  bool redo = false;
  run_column<std::uint8_t>({0, 2}, kLayouts[0], Op::max, Type::boolean, Groups{1, 2, 2, nullptr},
                           &redo);
  CHECK(redo);
}

static void test_first_last_and_explicit_starts() {
  // Starts 2, 3, 7 over 10 bars: bars 0-1 belong to no group.
  std::vector<std::int64_t> v = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
  const std::int64_t starts[] = {2, 3, 7};
  Groups g{3, 10, 0, starts};
  for (const Layout& l : kLayouts) {
    CHECK((run_column(v, l, Op::first, Type::i64, g) == std::vector<std::int64_t>{12, 13, 17}));
    CHECK((run_column(v, l, Op::last, Type::i64, g) == std::vector<std::int64_t>{12, 16, 19}));
    CHECK((run_column(v, l, Op::add, Type::i64, g) == std::vector<std::int64_t>{12, 58, 54}));
  }
  // A 12-byte value (a sub-array field) is copied whole, next to other columns.
  struct Rec {
    char pad;
    char xyz[12];
    std::int32_t n;
  };
  std::vector<Rec> recs(5);
  for (int i = 0; i < 5; ++i) {
    std::memset(recs[i].xyz, 'a' + i, 12);
    recs[i].n = i;
  }
  struct Out {
    char xyz[12];
    std::int32_t n;
  } out[2];
  Column cols[] = {{Op::last, Type::u8, 12, offsetof(Rec, xyz), 0, false},
                   {Op::add, Type::i32, 4, offsetof(Rec, n), offsetof(Out, n), false}};
  resample(Rows{reinterpret_cast<const char*>(recs.data()), sizeof(Rec)}, Groups{2, 5, 3, nullptr},
           Target{reinterpret_cast<char*>(out), sizeof(Out)}, cols, 2);
  CHECK(std::memcmp(out[0].xyz, "cccccccccccc", 12) == 0 && out[0].n == 3);
  CHECK(std::memcmp(out[1].xyz, "eeeeeeeeeeee", 12) == 0 && out[1].n == 7);
}

static void test_many_groups_across_blocks() {
  // Enough groups to span many blocks of the pass, on wide and narrow records.
  std::vector<std::int64_t> v(100000);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::int64_t>(i);
  for (const Layout& l : {Layout{8, 0, false}, Layout{132, 4, false}, Layout{600, 9, true}}) {
    auto sums = run_column(v, l, Op::add, Type::i64, Groups{33334, 100000, 3, nullptr});
    bool ok = sums.back() == 99999;
    for (size_t k = 0; k + 1 < sums.size(); ++k) ok = ok && sums[k] == 9 * static_cast<std::int64_t>(k) + 3;
    CHECK(ok);
  }
}

static void test_series() {
  std::vector<double> m = {-3, 0, 0, 4, 5, 5, 12};
  Packed<double> p(m, kLayouts[1]);
  Series s{p.rows.data + 1, p.rows.stride, 7, Type::f64};
  CHECK(non_decreasing(s));
  std::int64_t pos[4];
  grid_positions(s, 5, 3, pos);  // grid 0, 5, 10
  CHECK(pos[0] == 1 && pos[1] == 4 && pos[2] == 6);

  std::vector<double> nan = {1, std::nan(""), 2};
  Packed<double> pn(nan, kLayouts[0]);
  CHECK(!non_decreasing(Series{pn.rows.data, pn.rows.stride, 3, Type::f64}));
  std::vector<std::int32_t> down = {1, 3, 2};
  CHECK(!non_decreasing(Series{reinterpret_cast<const char*>(down.data()), 4, 3, Type::i32}));

  std::vector<std::uint16_t> idx = {0, 3, 5};
  std::int64_t out[3];
  Series si{reinterpret_cast<const char*>(idx.data()), 2, 3, Type::u16};
  CHECK(read_starts(si, 6, out) && out[0] == 0 && out[1] == 3 && out[2] == 5);
  CHECK(!read_starts(si, 5, out));  // 5 is not a bar
  std::vector<std::int64_t> bad[] = {{0, 3, 3}, {-1, 2}, {2, 1}};
  for (auto& b : bad)
    CHECK(!read_starts(Series{reinterpret_cast<const char*>(b.data()), 8,
                              static_cast<std::int64_t>(b.size()), Type::i64},
                       10, out));
}

static void test_floating_point_flags_are_left_alone() {
  std::feclearexcept(FE_ALL_EXCEPT);
  std::feraiseexcept(FE_DIVBYZERO);
  std::vector<double> v = {1, std::nan(""), 3, 4};
  run_column(v, kLayouts[0], Op::max, Type::f64, Groups{2, 4, 2, nullptr});
  CHECK(std::fetestexcept(FE_ALL_EXCEPT) == FE_DIVBYZERO);
  std::feclearexcept(FE_ALL_EXCEPT);
}

int main() {
  test_float_sums_match_numpy_pairwise<double, Type::f64>();
  test_float_sums_match_numpy_pairwise<float, Type::f32>();
  test_signed_zero_sums();
  test_unreproducible_groups_are_reported();
  test_extremes_on_every_layout();
  test_integer_sums_wrap_in_their_width();
  test_bools();
  test_first_last_and_explicit_starts();
  test_many_groups_across_blocks();
  test_series();
  test_floating_point_flags_are_left_alone();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}
