#include "core/planning/breaks.h"

#include <algorithm>

namespace vantle::core {

double LunchWindow::duration() const { return std::max(0.0, secondsBetween(startAt, endAt)); }

double LunchWindow::taken(Instant t) const {
  return std::min(duration(), std::max(0.0, secondsBetween(startAt, t)));
}

double LunchWindow::remaining(Instant t) const { return duration() - taken(t); }

bool LunchWindow::contains(Instant t) const { return startAt <= t && t < endAt; }

bool LunchWindow::overlaps(Instant from, Instant to) const { return from < endAt && to > startAt; }

double BreakAllowance::extraBudget() const {
  if (!extraMinutes || *extraMinutes <= 0) return 0;
  return static_cast<double>(*extraMinutes) * 60;
}

double BreakAllowance::budget() const { return (lunch ? lunch->duration() : 0) + extraBudget(); }

namespace BreakLedger {

double longBreaks(std::span<const BreakSpan> spans, const std::optional<LunchWindow>& lunch,
                  double threshold) {
  const auto inLunch = [&](Instant from, Instant to) { return lunch && lunch->overlaps(from, to); };
  double total = 0;
  for (size_t i = 0; i < spans.size(); ++i) {
    const BreakSpan& span = spans[i];
    if (span.idleTime >= threshold && !inLunch(span.openedAt, span.closedAt)) {
      total += span.idleTime;
    }
    if (i == 0) continue;
    const BreakSpan& earlier = spans[i - 1];
    const double gap = std::max(0.0, secondsBetween(earlier.closedAt, span.openedAt));
    if (gap >= threshold && !inLunch(earlier.closedAt, span.openedAt)) total += gap;
  }
  return total;
}

}  // namespace BreakLedger
}  // namespace vantle::core
