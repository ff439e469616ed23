// Rational approximation for EXIF fractions: an exhaustive search for small
// bounds, the continued-fraction expansion with a semiconvergent otherwise.
#include <cmath>
#include <cstdint>
#include <limits>

#include "markup/markup_text.h"

namespace {

// Every numerator and denominator must fit the 32-bit fields they end in.
constexpr int64_t kFieldMax = INT32_MAX;
constexpr int kMaxSteps = 1000;
// A remainder whose reciprocal exceeds this is taken as exact.
constexpr double kRemainderLimit = 536870911.0;
constexpr int64_t kRaiseLimit = 1000000;

bool multiplyAdd(int64_t a, int64_t b, int64_t c, int64_t *result) {
  int64_t product = 0;
  return !__builtin_mul_overflow(a, b, &product) && !__builtin_add_overflow(product, c, result);
}

}  // namespace

int markup_FractionSearch(double value, int32_t bound, int32_t *num, int32_t *den) {
  int32_t ignored = 0;
  if (num == nullptr) num = &ignored;
  if (den == nullptr) den = &ignored;
  if (!(value >= 0.0) || !std::isfinite(value)) {
    *num = 0;
    *den = 1;
    return 0;
  }
  int64_t limit = bound;
  for (;;) {
    // h: numerators, k: denominators; [0] is the latest, [1] the one before.
    int64_t h[2] = {1, 0};
    int64_t k[2] = {0, 1};
    bool any = false;
    double x = value;
    for (int step = 0; step < kMaxSteps; ++step) {
      const double whole = std::floor(x);
      if (!(whole <= static_cast<double>(kFieldMax))) break;
      const auto a = static_cast<int64_t>(whole);
      int64_t next_k = 0;
      int64_t next_h = 0;
      if (!multiplyAdd(a, k[0], k[1], &next_k) || next_k > limit) break;
      if (!multiplyAdd(a, h[0], h[1], &next_h) || next_h > kFieldMax) break;
      h[1] = h[0];
      h[0] = next_h;
      k[1] = k[0];
      k[0] = next_k;
      any = true;
      const double remainder = x - whole;
      if (remainder == 0.0) break;
      const double reciprocal = 1.0 / remainder;
      if (reciprocal > kRemainderLimit) break;
      x = reciprocal;
    }

    if (!any) {
      // No convergent within the bound: a fixed denominator by magnitude.
      const int64_t fixed = value < 1 ? 10000 : value < 10 ? 1000 : value < 100 ? 100 : value < 1000 ? 10 : 1;
      const double scaled = std::floor(value * static_cast<double>(fixed) + 0.5);
      *num = static_cast<int32_t>(scaled < static_cast<double>(kFieldMax) ? static_cast<int64_t>(scaled) : kFieldMax);
      *den = static_cast<int32_t>(fixed);
      return 0;
    }

    // The largest semiconvergent that stays within the bound; it is taken
    // only when it is the simpler fraction.
    int64_t chosen_h = h[0];
    int64_t chosen_k = k[0];
    const int64_t t = (limit - k[1]) / k[0];
    int64_t semi_h = 0;
    int64_t semi_k = 0;
    if (multiplyAdd(t, h[0], h[1], &semi_h) && multiplyAdd(t, k[0], k[1], &semi_k) && semi_h <= kFieldMax &&
        semi_h + semi_k < h[0] + k[0]) {
      chosen_h = semi_h;
      chosen_k = semi_k;
    }
    if (chosen_h == 0 && chosen_k != 0 && limit < kRaiseLimit) {
      limit *= 10;
      continue;
    }
    *num = static_cast<int32_t>(chosen_h);
    *den = static_cast<int32_t>(chosen_k);
    return 1;
  }
}

int markup_ToFraction(double value, int max_den, int32_t *num, int32_t *den) {
  int32_t ignored = 0;
  if (num == nullptr) num = &ignored;
  if (den == nullptr) den = &ignored;
  // The working value is worked on as num/den or, after a reciprocal, as
  // den/num; `emit` puts the two back in their places.
  bool swapped = false;
  bool negative = false;
  auto emit = [&](int64_t n, int64_t d) {
    *num = static_cast<int32_t>(swapped ? d : n);
    *den = static_cast<int32_t>(swapped ? n : d);
    if (negative) *num = -*num;
  };
  if (value == 0.0) {
    emit(0, 1);
    return 0;
  }
  if (!std::isfinite(value)) {
    emit(1, 0);
    return 0;
  }
  // Callers pass values of 0 and above; a negative one keeps its sign on
  // the numerator instead of looping between reciprocals.
  negative = value < 0;
  double working = std::fabs(value);
  while (working < 0.99999) {
    working = 1.0 / working;
    swapped = !swapped;
    if (working == 0.0) {
      emit(0, 1);
      return 0;
    }
    if (!std::isfinite(working)) {
      emit(1, 0);  // in the working orientation: a value too small to tell from 0
      return 0;
    }
  }
  if (working >= static_cast<double>(kFieldMax) + 0.5) {
    // Not representable: the largest numerator, or 0 for a tiny value.
    if (swapped) {
      emit(1, 0);
    } else {
      emit(kFieldMax, 1);
    }
    return 0;
  }

  if (max_den < 100) {
    if (max_den < 1) {
      emit(static_cast<int64_t>(working + 0.5), 1);
      return 1;
    }
    int64_t best_n = 0;
    int64_t best_d = 0;
    double best_error = std::numeric_limits<double>::infinity();
    for (int d = 1; d <= max_den; ++d) {
      const double n = std::floor(static_cast<double>(d) * working + 0.5);
      if (n > static_cast<double>(kFieldMax)) break;
      const double error = std::fabs(n / d - working) * 1000000.0 / working;
      if (error < best_error) {
        best_error = error;
        best_n = static_cast<int64_t>(n);
        best_d = d;
      }
    }
    emit(best_n, best_d);
    return 1;
  }

  int32_t n = 0;
  int32_t d = 1;
  const int result = markup_FractionSearch(working, max_den, &n, &d);
  emit(n, d);
  return result;
}
