#include "core/planning/shot_curve.h"

#include <algorithm>
#include <cmath>

namespace vantle::core {

ShotCurve::ShotCurve(const Values& values) : values_(values) {
  for (double& v : values_) {
    if (!(v >= 0)) v = 0;
  }
}

ShotCurve ShotCurve::defaultCurve() {
  Values values;
  for (size_t k = 0; k < pointCount; ++k) values[k] = 60 * (10 + 30 * std::pow(9.0, -points[k]));
  return ShotCurve(values);
}

double ShotCurve::duration(double p) const {
  if (!(p > 0)) return values_.front();
  if (p >= 1) return values_.back();
  size_t k = 1;
  while (p > points[k]) ++k;
  const double t = (p - points[k - 1]) / (points[k] - points[k - 1]);
  return values_[k - 1] + t * (values_[k] - values_[k - 1]);
}

double ShotCurve::progress(int64_t completed, int64_t planned) {
  if (planned <= 0) return 0;
  return std::clamp(static_cast<double>(completed) / static_cast<double>(planned), 0.0, 1.0);
}

ShotCurve ShotCurve::learned(std::span<const Sample> samples, const ShotCurve& prior,
                             double weight) {
  if (!(weight > 0)) weight = 0;
  Values sums{};
  std::array<int64_t, pointCount> counts{};
  for (const Sample& s : samples) {
    if (!std::isfinite(s.progress) || !std::isfinite(s.duration)) continue;
    size_t nearest = 0;
    for (size_t k = 1; k < pointCount; ++k) {
      if (std::abs(points[k] - s.progress) < std::abs(points[nearest] - s.progress)) nearest = k;
    }
    sums[nearest] += s.duration;
    ++counts[nearest];
  }
  Values values = prior.values_;
  for (size_t k = 0; k < pointCount; ++k) {
    if (counts[k] == 0) continue;
    values[k] = (sums[k] + prior.values_[k] * weight) / (static_cast<double>(counts[k]) + weight);
  }
  return ShotCurve(values);
}

}  // namespace vantle::core
