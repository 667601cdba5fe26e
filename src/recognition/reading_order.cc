#include "recognition/reading_order.h"

#include <algorithm>
#include <functional>
#include <cmath>
#include <optional>

namespace tarnwick {
namespace {

struct Extent {
  float left, top, right, bottom;
  float height() const { return bottom - top; }
  float width() const { return right - left; }
  float middle() const { return (top + bottom) / 2; }
};

Extent extentOf(const TextLineBox& box) {
  Extent extent{box.corners[0].x, box.corners[0].y, box.corners[0].x, box.corners[0].y};
  for (const Point& corner : box.corners) {
    extent.left = std::min(extent.left, corner.x), extent.right = std::max(extent.right, corner.x);
    extent.top = std::min(extent.top, corner.y), extent.bottom = std::max(extent.bottom, corner.y);
  }
  return extent;
}

using Group = std::vector<std::size_t>;

// The share of one side's boxes that must stand in rows with the other's
// for the two to be read row by row.
constexpr float kRowShare = 0.7F;

class Ordering {
 public:
  explicit Ordering(const std::vector<TextLineBox>& boxes) {
    extents_.reserve(boxes.size());
    for (const TextLineBox& box : boxes) extents_.push_back(extentOf(box));
  }

  void order(Group group, std::vector<VisualLine>& lines) const {
    if (group.empty()) return;
    if (const std::optional<float> gutter = columnGutter(group)) {
      const auto [left, right] = split(group, *gutter);
      order(left, lines);
      order(right, lines);
      return;
    }
    std::vector<Group> bands = bandsOf(group);
    if (bands.size() == 1) return rows(group, lines);
    for (Group& band : mergedAlongColumns(std::move(bands))) order(std::move(band), lines);
  }

 private:
  // Two boxes share a line when they overlap over most of the smaller one's
  // height and are of about one size.
  bool onOneLine(std::size_t a, std::size_t b) const {
    const Extent &first = extents_[a], &second = extents_[b];
    const float overlap = std::min(first.bottom, second.bottom) - std::max(first.top, second.top);
    const float smaller = std::min(first.height(), second.height()), larger = std::max(first.height(), second.height());
    return overlap >= 0.5F * smaller && larger <= 2 * smaller;
  }

  // Cells of one row stand on one baseline: their middles differ by a small
  // part of their height. Lines of neighbouring columns overlap only by
  // chance, and seldom that closely.
  bool inOneRow(std::size_t a, std::size_t b) const {
    const Extent &first = extents_[a], &second = extents_[b];
    const float smaller = std::min(first.height(), second.height()), larger = std::max(first.height(), second.height());
    return std::abs(first.middle() - second.middle()) <= 0.2F * smaller && larger <= 1.5F * smaller;
  }

  float medianHeight(const Group& group) const {
    std::vector<float> heights;
    for (const std::size_t box : group) heights.push_back(extents_[box].height());
    std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
    return heights[heights.size() / 2];
  }

  // Splits at the vertical gap no box crosses, taken as the gap's middle.
  std::pair<Group, Group> split(const Group& group, float at) const {
    Group left, right;
    for (const std::size_t box : group) (extents_[box].right <= at ? left : right).push_back(box);
    return {left, right};
  }

  // The widest clear vertical gap across the whole group that parts two
  // columns rather than the cells of rows: columns are read one after the
  // other, cells row by row. A narrower gap may part columns where a wider
  // one parts cells: a sidebar beside a list whose rows have columns.
  std::optional<float> columnGutter(const Group& group) const {
    if (group.size() < 2) return std::nullopt;
    Group byLeft = group;
    std::sort(byLeft.begin(), byLeft.end(), [&](auto a, auto b) { return extents_[a].left < extents_[b].left; });
    const float minGap = medianHeight(group);
    std::vector<std::pair<float, float>> gaps;  // width, middle
    float reach = extents_[byLeft[0]].right;
    for (const std::size_t box : byLeft) {
      const float gap = extents_[box].left - reach;
      if (gap >= minGap) gaps.emplace_back(gap, reach + gap / 2);
      reach = std::max(reach, extents_[box].right);
    }
    std::sort(gaps.begin(), gaps.end(), std::greater<>());
    for (const auto& [width, middle] : gaps) {
      const auto [left, right] = split(group, middle);
      if (areColumns(left, right, width)) return middle;
    }
    return std::nullopt;
  }

  // Sides are columns unless the boxes of one side nearly all stand on a
  // row with a box of the other (an amount beside every label, a cell in
  // every row, a shortcut beside every item: the labels without an amount
  // do not count against it), or when both hold running text: several
  // lines, each long beside its height and beside the gap.
  bool areColumns(const Group& left, const Group& right, float gap) const {
    const auto pairedShare = [&](const Group& side, const Group& other) {
      std::size_t paired = 0;
      for (const std::size_t a : side)
        paired += std::any_of(other.begin(), other.end(), [&](std::size_t b) { return inOneRow(a, b); });
      return static_cast<float>(paired) / static_cast<float>(side.size());
    };
    if (std::max(pairedShare(left, right), pairedShare(right, left)) < kRowShare) return true;
    const auto runningText = [&](const Group& side) {
      if (side.size() < 3) return false;
      float width = 0, height = 0;
      for (const std::size_t box : side) width += extents_[box].width(), height += extents_[box].height();
      return width >= 8 * height && width >= 4 * gap * static_cast<float>(side.size());
    };
    return runningText(left) && runningText(right);
  }

  // The group cut at every clear horizontal gap, top to bottom.
  std::vector<Group> bandsOf(Group group) const {
    std::sort(group.begin(), group.end(), [&](auto a, auto b) { return extents_[a].top < extents_[b].top; });
    std::vector<Group> bands;
    float reach = 0;
    for (const std::size_t box : group) {
      if (bands.empty() || extents_[box].top >= reach) bands.emplace_back();
      bands.back().push_back(box);
      reach = std::max(reach, extents_[box].bottom);
    }
    return bands;
  }

  // Neighbouring bands that together stand in columns belong together: a
  // sidebar and a main column may both have gaps at one height.
  std::vector<Group> mergedAlongColumns(std::vector<Group> bands) const {
    std::vector<Group> merged{std::move(bands[0])};
    for (std::size_t band = 1; band < bands.size(); ++band) {
      Group joined = merged.back();
      joined.insert(joined.end(), bands[band].begin(), bands[band].end());
      if (columnGutter(joined)) merged.back() = std::move(joined);
      else merged.push_back(std::move(bands[band]));
    }
    return merged;
  }

  // A band without columns: boxes on one line joined left to right, lines
  // top to bottom.
  void rows(Group group, std::vector<VisualLine>& lines) const {
    std::sort(group.begin(), group.end(), [&](auto a, auto b) { return extents_[a].middle() < extents_[b].middle(); });
    std::vector<VisualLine> found;
    for (const std::size_t box : group) {
      const auto line = std::find_if(found.begin(), found.end(), [&](const VisualLine& candidate) {
        return std::all_of(candidate.begin(), candidate.end(), [&](std::size_t other) { return onOneLine(box, other); });
      });
      if (line != found.end()) line->push_back(box);
      else found.push_back({box});
    }
    const auto top = [&](const VisualLine& line) {
      float highest = extents_[line[0]].top;
      for (const std::size_t box : line) highest = std::min(highest, extents_[box].top);
      return highest;
    };
    std::stable_sort(found.begin(), found.end(), [&](const auto& a, const auto& b) { return top(a) < top(b); });
    for (VisualLine& line : found) {
      std::sort(line.begin(), line.end(), [&](auto a, auto b) { return extents_[a].left < extents_[b].left; });
      lines.push_back(std::move(line));
    }
  }

  std::vector<Extent> extents_;
};

}  // namespace

std::vector<VisualLine> readingOrder(const std::vector<TextLineBox>& boxes) {
  Group all(boxes.size());
  for (std::size_t box = 0; box < boxes.size(); ++box) all[box] = box;
  std::vector<VisualLine> lines;
  Ordering(boxes).order(std::move(all), lines);
  return lines;
}

}  // namespace tarnwick
