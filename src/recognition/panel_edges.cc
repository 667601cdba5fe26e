#include "recognition/panel_edges.h"

#include <algorithm>
#include <cmath>

#include "recognition/grey_view.h"

namespace tarnwick {
namespace {

// A step of grey this large across two pixels is an edge: a border, or one
// background giving way to another. Noise and shading step far less.
constexpr float kEdgeStep = 8;
// An edge runs down (or across) the region where this share of it steps.
constexpr float kEdgeShare = 0.9F;
// At most this many rows and columns are looked at across an edge's run.
constexpr int kMaxSamples = 64;

struct Span {
  int first, last, step;
  int count() const { return (last - first) / step + 1; }
};

Span spanOf(float from, float to, int limit) {
  const int first = std::max(1, static_cast<int>(std::ceil(from))), last = std::min(limit - 2, static_cast<int>(to));
  return {first, last, std::max(1, (last - first) / kMaxSamples)};
}

// Whether, at some place along `along`, the grey steps at nearly every
// sample across `across`; `step(a, b)` is the step at a along, b across.
template <typename Step>
bool edgeRuns(const Span& along, const Span& across, Step step) {
  for (int a = along.first; a <= along.last; ++a) {
    int stepping = 0;
    for (int b = across.first; b <= across.last; b += across.step) stepping += step(a, b) > kEdgeStep;
    if (static_cast<float>(stepping) >= kEdgeShare * static_cast<float>(across.count())) return true;
  }
  return false;
}

// Edges down the region at some column and across it at some row, as
// many as asked for.
struct Edges {
  bool down = false, across = false;
};

Edges edgesIn(const PixelBuffer& page, float left, float right, float top, float bottom, bool wantDown) {
  const Span columns = spanOf(left, right, page.width()), rows = spanOf(top, bottom, page.height());
  if (columns.last - columns.first < 2 || rows.last < rows.first) return {};
  const GreyView grey(page);
  const auto at = [&](int x, int y) { return grey.at(x, y); };
  const Span everyColumn{columns.first, columns.last, 1}, everyRow{rows.first, rows.last, 1};
  Edges found;
  if (wantDown && rows.last - rows.first >= 2)
    found.down = edgeRuns(everyColumn, rows, [&](int x, int y) { return std::abs(at(x + 1, y) - at(x - 1, y)); });
  if (found.down || !wantDown)
    found.across = edgeRuns(everyRow, columns, [&](int y, int x) { return std::abs(at(x, y + 1) - at(x, y - 1)); });
  return found;
}

}  // namespace

bool panelEdgeRunsDown(const PixelBuffer& page, float left, float right, float top, float bottom) {
  const Edges edges = edgesIn(page, left, right, top, bottom, true);
  return edges.down && !edges.across;
}

bool ruleRunsAcross(const PixelBuffer& page, float left, float right, float top, float bottom) {
  return edgesIn(page, left, right, top, bottom, false).across;
}

}  // namespace tarnwick
