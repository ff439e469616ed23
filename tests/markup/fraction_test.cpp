#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "markup/markup_text.h"

namespace {

struct Fraction {
  int64_t num;
  int64_t den;
  bool operator==(const Fraction &other) const { return num == other.num && den == other.den; }
};

std::ostream &operator<<(std::ostream &out, const Fraction &f) { return out << f.num << "/" << f.den; }

Fraction toFraction(double value, int bound, int *result = nullptr) {
  int32_t num = -7;
  int32_t den = -7;
  const int r = markup_ToFraction(value, bound, &num, &den);
  if (result != nullptr) *result = r;
  return {num, den};
}

// Independent references, by exhaustive search in extended precision.

// Scans every d up to the bound: the closest n/d (on a tie the smaller d),
// and every d at which |d v - n| reaches a new minimum: the convergents of v
// (best approximations of the second kind).
Fraction scan(long double v, int64_t bound, std::vector<Fraction> *convergents = nullptr) {
  Fraction best{0, 0};
  long double best_error = std::numeric_limits<long double>::infinity(), least = best_error;
  for (int64_t d = 1; d <= bound; ++d) {
    const long double n = std::floor(v * d + 0.5L);
    if (std::fabs(n / d - v) < best_error) best_error = std::fabs(n / d - v), best = {static_cast<int64_t>(n), d};
    if (convergents != nullptr && std::fabs(v * d - n) < least) {
      least = std::fabs(v * d - n);
      convergents->push_back({static_cast<int64_t>(n), d});
    }
  }
  return best;
}

// What the documented rules give, derived from the references: the small
// bounds take the best approximation; the larger ones take the last
// convergent within the bound, or the one before it when the two
// denominators together exceed the bound (the semiconvergent is then the
// earlier, simpler convergent). Values below 1 are worked on as
// reciprocals, numerator and denominator exchanged.
Fraction expectedFraction(double value, int bound) {
  const bool swapped = value < 0.99999;
  const double working = swapped ? 1.0 / value : value;
  Fraction f{};
  if (bound < 100) {
    f = scan(working, bound);
  } else {
    std::vector<Fraction> list;
    scan(working, bound, &list);
    f = list.back();
    if (list.size() >= 2 && list.back().den + list[list.size() - 2].den > bound) f = list[list.size() - 2];
  }
  return swapped ? Fraction{f.den, f.num} : f;
}

}  // namespace

TEST(MarkupFraction, SpecialValuesAndDocumentedExamples) {
  struct Case {
    double value;
    int bound;
    Fraction expected;
    int result;
  };
  const Case cases[] = {
      {0.0, 1000, {0, 1}, 0}, {std::nan(""), 1000, {1, 0}, 0}, {HUGE_VAL, 1000, {1, 0}, 0},
      // Too small to tell from 0 once inverted, and too large for the fields.
      {1e-320, 1000, {0, 1}, 0}, {1e-12, 1000, {0, 1}, 0}, {3e9, 1000, {INT32_MAX, 1}, 0},
      {0.004, 1000, {1, 250}, 1}, {2.5, 1000, {5, 2}, 1},
      {1.0 / 8000, 1000, {1, 8000}, 1},  // the bound applies to the reciprocal
      {M_PI, 7, {22, 7}, 1}, {M_PI, 100, {22, 7}, 1},  // 311/99 is closer but not simpler
      {M_PI, 110, {22, 7}, 1},                         // 333/106 fits, but 106 + 7 > 110
      {M_PI, 1000, {355, 113}, 1}, {M_PI, 1000000, {1146408, 364913}, 1},
      // Small bounds: rounding, and the exhaustive search.
      {2.6, 0, {3, 1}, 1}, {0.3, 10, {3, 10}, 1}, {0.999995, 1000, {1, 1}, 1},
      // Negative values keep their sign on the numerator.
      {-2.5, 1000, {-5, 2}, 1}, {-0.004, 1000, {-1, 250}, 1},
  };
  for (const Case &c : cases) {
    int result = -1;
    EXPECT_EQ(toFraction(c.value, c.bound, &result), c.expected) << c.value << " bound " << c.bound;
    EXPECT_EQ(result, c.result) << c.value << " bound " << c.bound;
  }
  EXPECT_EQ(markup_ToFraction(2.5, 1000, nullptr, nullptr), 1);  // null outputs are tolerated
}

TEST(MarkupFraction, BoundIsRaisedWhileTheResultIsZero) {
  // Below 1 the first convergent is 0/1; the bound grows tenfold until the
  // next one fits. (markup_ToFraction never gets here: it inverts values
  // below 1 first.)
  int32_t num = 0;
  int32_t den = 0;
  // Raising stops once the bound reached 1 000 000.
  for (auto [value, n, d] : {std::tuple{0.0004, 1, 2500}, std::tuple{1.0 / 500000, 1, 500000}, std::tuple{4e-7, 0, 1}}) {
    EXPECT_EQ(markup_FractionSearch(value, 100, &num, &den), 1) << value;
    EXPECT_EQ(Fraction({num, den}), Fraction({n, d})) << value;
  }
  // Without any convergent within the bound: a fixed denominator by magnitude.
  const struct {
    double value;
    int32_t num, den;
  } fixed[] = {{0.5, 5000, 10000}, {5.25, 5250, 1000}, {50.0, 5000, 100}, {123.4, 1234, 10}, {5000.7, 5001, 1}};
  for (const auto &c : fixed) {
    EXPECT_EQ(markup_FractionSearch(c.value, 0, &num, &den), 0) << c.value;
    EXPECT_EQ(num, c.num) << c.value;
    EXPECT_EQ(den, c.den) << c.value;
  }
}

TEST(MarkupFraction, TableAgainstExhaustiveSearch) {
  const struct {
    double value;
    int bound;
  } table[] = {
      {M_PI, 7},         {M_PI, 50},          {M_PI, 100},         {M_PI, 110},        {M_PI, 1000},
      {M_PI, 1000000},   {M_E, 10},           {M_E, 1000},         {M_E, 100000},      {M_SQRT2, 99},
      {M_SQRT2, 1000},   {M_SQRT2, 1000000},  {1.6180339887, 500}, {0.004, 1000},      {1.0 / 3, 1000},
      {1.0 / 8000, 1000}, {1.0 / 60, 100},    {0.3, 10},           {0.7, 1000},        {0.0625, 1000},
      {2.8, 1000},       {5.6, 1000},         {1.4, 1000},         {29.97, 1000},      {23.976, 1000},
      {0.017, 1000},     {0.15, 1000},        {1.23456, 1000},     {72.0, 1000},       {299.7, 100000},
      {0.999995, 1000},  {1.00001, 1000},     {12.34, 37},         {0.123, 64},        {7.389, 3},
      {100.5, 1000},     {0.45, 200},         {2.0 / 7, 1000},     {0.333, 1000},      {1.0 / 1.4, 1000},
  };
  for (const auto &row : table) {
    const Fraction got = toFraction(row.value, row.bound);
    EXPECT_EQ(got, expectedFraction(row.value, row.bound)) << row.value << " bound " << row.bound;
    // Whatever was chosen, no fraction with a denominator up to its own
    // comes closer (in the worked-on orientation).
    const bool swapped = row.value < 0.99999;
    const long double working = swapped ? 1.0 / row.value : row.value;
    const Fraction oriented = swapped ? Fraction{got.den, got.num} : got;
    ASSERT_GT(oriented.den, 0) << row.value;
    EXPECT_LE(oriented.den, std::max(row.bound, 1)) << row.value;
    EXPECT_EQ(scan(working, oriented.den), oriented) << row.value << " bound " << row.bound;
  }
}
