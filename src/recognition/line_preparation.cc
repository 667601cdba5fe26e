#include "recognition/line_preparation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace tarnwick {
namespace {

// Smaller text is enlarged to the reading height, up to kMaxEnlargement
// times; larger text is reduced, which costs nothing in accuracy and saves
// time.
constexpr float kMaxEnlargement = 4;
constexpr float kMaxReduction = 0.25F;

// Ground left around the text: the recognizer misreads ink that touches the
// image's edge.
constexpr int kMargin = 8;

// Below this spread between ink and ground a box holds no text worth
// stretching: it is left as it is rather than amplify noise.
constexpr int kMinContrast = 8;

// Small text enlarged this much or more has strokes a pixel or two wide in
// the page: blending reaches into nearly all of their pixels, and only the
// darkest few (the lightest, for light ink) show the ink's true grey.
constexpr float kThinStrokeEnlargement = 2;
constexpr double kInkCoreShare = 0.03;

// That holds for text drawn on a flat ground, as screens draw it. On a
// photo's grainy ground the darkest pixels are noise, and the mean serves
// better: a ground is flat when at least half of it lies within a couple of
// greys of its commonest grey.
constexpr int kFlatGroundGreys = 2;
constexpr double kFlatGroundShare = 0.5;

// Otsu's split of the histogram into ink and ground: the ground is the
// larger part. Gives the mean grey of each; for thin strokes, the ink's is
// instead the grey its cores reach, since mapping the mean of their blended
// edges to black would thicken them until close letters ("rl") merge.
struct Levels {
  float ink = 0;
  float ground = 255;
};

// The grey that the darkest kInkCoreShare of the ink reach, or the lightest
// for light ink.
float inkCore(const std::array<std::int64_t, 256>& histogram, double inkCount, bool lightInk) {
  double reached = 0;
  for (int step = 0; step < 256; ++step) {
    const int grey = lightInk ? 255 - step : step;
    reached += static_cast<double>(histogram[grey]);
    if (reached >= kInkCoreShare * inkCount) return static_cast<float>(grey);
  }
  return lightInk ? 255 : 0;
}

// Whether the ground, the greys from `first` to `last`, is flat.
bool isFlat(const std::array<std::int64_t, 256>& histogram, int first, int last) {
  int commonest = first;
  double count = 0;
  for (int grey = first; grey <= last; ++grey) {
    count += static_cast<double>(histogram[grey]);
    if (histogram[grey] > histogram[commonest]) commonest = grey;
  }
  double near = 0;
  for (int grey = std::max(first, commonest - kFlatGroundGreys); grey <= std::min(last, commonest + kFlatGroundGreys);
       ++grey)
    near += static_cast<double>(histogram[grey]);
  return count > 0 && near >= kFlatGroundShare * count;
}

Levels inkAndGround(const GreyImage& line, bool thinStrokes) {
  std::array<std::int64_t, 256> histogram{};
  for (const std::uint8_t grey : line.pixels) ++histogram[grey];
  const auto total = static_cast<double>(line.pixels.size());
  double sumAll = 0;
  for (int grey = 0; grey < 256; ++grey) sumAll += static_cast<double>(grey) * histogram[grey];
  double countBelow = 0, sumBelow = 0, bestSpread = -1;
  const auto mean = static_cast<float>(sumAll / total);
  Levels best{mean, mean};
  double bestCountBelow = 0;
  int bestSplit = 0;
  for (int split = 0; split < 255; ++split) {
    countBelow += histogram[split];
    sumBelow += static_cast<double>(split) * histogram[split];
    const double countAbove = total - countBelow;
    if (countBelow == 0 || countAbove == 0) continue;
    const double meanBelow = sumBelow / countBelow, meanAbove = (sumAll - sumBelow) / countAbove;
    const double spread = countBelow * countAbove * (meanAbove - meanBelow) * (meanAbove - meanBelow);
    if (spread > bestSpread) {
      bestSpread = spread, bestCountBelow = countBelow, bestSplit = split;
      best = {static_cast<float>(meanBelow), static_cast<float>(meanAbove)};
    }
  }
  // Light text on a dark ground: the light part is the smaller one.
  const bool lightInk = bestCountBelow > total / 2;
  if (lightInk) std::swap(best.ink, best.ground);
  if (thinStrokes && bestCountBelow > 0 &&
      (lightInk ? isFlat(histogram, 0, bestSplit) : isFlat(histogram, bestSplit + 1, 255)))
    best.ink = inkCore(histogram, lightInk ? total - bestCountBelow : bestCountBelow, lightInk);
  return best;
}

// Maps the ink's grey to black and the ground's to white, whichever is the
// lighter, so every line reaches the recognizer dark on light.
void normalise(GreyImage& line, bool thinStrokes) {
  const Levels levels = inkAndGround(line, thinStrokes);
  if (std::abs(levels.ground - levels.ink) < kMinContrast) return;
  const float gain = 255 / (levels.ground - levels.ink);
  for (std::uint8_t& grey : line.pixels)
    grey = static_cast<std::uint8_t>(std::clamp(std::lround((grey - levels.ink) * gain), 0L, 255L));
}

// How a box's line is laid out once prepared; none for a box without
// length or height.
struct Layout {
  float scale;           // prepared pixels per page pixel
  float alongX, alongY;  // a unit step along the text, in page pixels
  int width, height;
};

std::optional<Layout> layoutOf(const TextLineBox& box, float readingHeight) {
  const auto& [topLeft, topRight, bottomRight, bottomLeft] = box.corners;
  const auto [length, height] = sidesOf(box);
  const float topSide = std::hypot(topRight.x - topLeft.x, topRight.y - topLeft.y);
  if (!(length >= 1 && height >= 1 && topSide > 0)) return std::nullopt;
  const float scale = std::clamp(readingHeight / height, kMaxReduction, kMaxEnlargement);
  return Layout{.scale = scale,
                .alongX = (topRight.x - topLeft.x) / topSide,
                .alongY = (topRight.y - topLeft.y) / topSide,
                .width = static_cast<int>(std::lround(length * scale)) + 2 * kMargin,
                .height = static_cast<int>(std::lround(height * scale)) + 2 * kMargin};
}

// Page pixels from the box's edge to a prepared pixel's place along or
// across the text.
float pagePixelsTo(int prepared, float scale) { return static_cast<float>(prepared - kMargin) / scale; }

// Each pixel of the line sampled where it falls on the page, along the box's
// slant.
void drawAlongSlant(const GreyView& page, const Layout& layout, const Point& topLeft, GreyImage& line) {
  // A unit step down across the text, in page pixels.
  const float downX = -layout.alongY, downY = layout.alongX;
  for (int y = 0; y < line.height; ++y) {
    const float across = pagePixelsTo(y, layout.scale);
    for (int x = 0; x < line.width; ++x) {
      const float along = pagePixelsTo(x, layout.scale);
      line.at(x, y) = static_cast<std::uint8_t>(std::lround(
          page.sample(topLeft.x + along * layout.alongX + across * downX, topLeft.y + along * layout.alongY + across * downY)));
    }
  }
}

// The same samples for an upright line, sooner: each of its columns falls on
// one column of taps and each row on one row, so each page row it touches is
// blended across once for all the line's rows rather than once per sample.
void drawUpright(const GreyView& page, const Layout& layout, const Point& topLeft, GreyImage& line) {
  std::vector<GreyView::Taps> across(static_cast<std::size_t>(line.width));
  for (int x = 0; x < line.width; ++x)
    across[static_cast<std::size_t>(x)] = page.tapsAcross(topLeft.x + pagePixelsTo(x, layout.scale));
  const auto downAt = [&](int y) { return page.tapsDown(topLeft.y + pagePixelsTo(y, layout.scale)); };
  const int firstRow = downAt(0).at.front(), rows = downAt(line.height - 1).at.back() - firstRow + 1;
  const auto width = static_cast<std::size_t>(line.width);
  std::vector<float> blended(static_cast<std::size_t>(rows) * width);
  for (int row = 0; row < rows; ++row)
    for (std::size_t x = 0; x < width; ++x)
      blended[static_cast<std::size_t>(row) * width + x] = page.blendedRow(firstRow + row, across[x]);
  for (int y = 0; y < line.height; ++y) {
    const GreyView::Taps down = downAt(y);
    for (std::size_t x = 0; x < width; ++x)
      line.at(static_cast<int>(x), y) = static_cast<std::uint8_t>(std::lround(GreyView::blendedDown(
          down, [&](int row) { return blended[static_cast<std::size_t>(row - firstRow) * width + x]; })));
  }
}

}  // namespace

std::int64_t preparedPixels(const TextLineBox& box, float readingHeight) {
  const std::optional<Layout> layout = layoutOf(box, readingHeight);
  return layout ? std::int64_t{layout->width} * layout->height : 0;
}

GreyImage prepareLine(const GreyView& page, const TextLineBox& box, float readingHeight) {
  const std::optional<Layout> layout = layoutOf(box, readingHeight);
  if (!layout) return {};
  GreyImage line(layout->width, layout->height);
  if (layout->alongY == 0)
    drawUpright(page, *layout, box.corners[0], line);
  else
    drawAlongSlant(page, *layout, box.corners[0], line);
  normalise(line, layout->scale >= kThinStrokeEnlargement);
  return line;
}

}  // namespace tarnwick
