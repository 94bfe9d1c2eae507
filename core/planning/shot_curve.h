// How long one shot takes at each point of a shoot day.
//
// Early shots run slower than late ones. A ShotCurve holds the expected
// duration of a shot at five points of the day's progress (0, 0.25, 0.5,
// 0.75, 1) and interpolates linearly between them. It can be learned from the
// shots observed so far, blended with a prior curve.
//
// A curve is built from exactly five values, and a call with any other number
// does not compile: either a std::array of five, or a brace list whose length
// is checked (a plain std::array parameter would quietly pad a short list with
// zeros). Negative or not-a-number values become 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vantle::core {

class ShotCurve {
 public:
  static constexpr size_t pointCount = 5;
  using Values = std::array<double, pointCount>;

  // The positions in the day's progress that the values belong to.
  static constexpr Values points{0, 0.25, 0.5, 0.75, 1};
  // A prior curve counts as this many observed shots at each point.
  static constexpr double priorWeight = 6;

  // One observed shot: where in the day it fell (0 to 1) and how long it took.
  struct Sample {
    double progress = 0;
    double duration = 0;
    bool operator==(const Sample&) const = default;
  };

  explicit ShotCurve(const Values& values);

  template <size_t N>
    requires(N == pointCount)
  explicit ShotCurve(const double (&values)[N])
      : ShotCurve(Values{values[0], values[1], values[2], values[3], values[4]}) {}
  // Any other length is refused here rather than padded by the std::array overload.
  template <size_t N>
    requires(N != pointCount)
  ShotCurve(const double (&values)[N]) = delete;

  // 60 x (10 + 30 x 9^-p) seconds at each point p: 40 minutes a shot at the
  // start of the day, falling to 13 1/3 minutes at the end.
  static ShotCurve defaultCurve();

  const Values& values() const { return values_; }

  // Expected duration of a shot at progress `p`: the first value at or below
  // 0 (and for a `p` that is not a number), the last at or above 1, linear in
  // between.
  double duration(double p) const;

  // completed / planned within 0...1; 0 when planned <= 0.
  static double progress(int64_t completed, int64_t planned);

  // Each sample goes to the nearest point (the lower one on a tie); a point
  // with samples becomes (sum + prior value x weight) / (count + weight), a
  // point without keeps the prior value. No samples: the prior. Samples whose
  // progress or duration is not finite are ignored, and a negative weight
  // counts as 0.
  static ShotCurve learned(std::span<const Sample> samples, const ShotCurve& prior,
                           double weight = priorWeight);

  bool operator==(const ShotCurve&) const = default;

 private:
  Values values_;
};

}  // namespace vantle::core
