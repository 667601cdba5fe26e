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

// Cells of one row stand on one baseline: their middles differ by a small
// part of their height. Lines of neighbouring columns overlap only by
// chance, and seldom that closely. Pieces of one line are of about one size;
// a row's cells may differ more: a bare number has no descender.
bool standInOneRow(const Extent& first, const Extent& second, float largerBy) {
  const float smaller = std::min(first.height(), second.height()), larger = std::max(first.height(), second.height());
  return std::abs(first.middle() - second.middle()) <= 0.2F * smaller && larger <= largerBy * smaller;
}

constexpr float kPieceSizes = 1.5F;
constexpr float kCellSizes = 2;

// Pieces of one line closer than this many times their height are read as
// one: the detector parts a line at runs of spaces (a log's padded fields,
// a listing's columns), and crops that overlap read each other's edges.
constexpr float kJoinGap = 1.0F;
// Boxes this level or more are joined; slanted ones keep their own slant.
constexpr float kLevelSlope = 0.05F;

// A piece hardly longer than it is tall may be an icon, a checkbox or a
// bullet rather than text: it is read alone, where such marks are told apart.
constexpr float kShortestJoined = 1.5F;

bool isLevel(const TextLineBox& box) {
  const auto slope = [](Point from, Point to) { return std::abs(to.y - from.y) <= kLevelSlope * std::abs(to.x - from.x); };
  return slope(box.corners[0], box.corners[1]) && slope(box.corners[3], box.corners[2]);
}

TextLineBox boxAround(const Extent& extent, float score) {
  return {{{{extent.left, extent.top}, {extent.right, extent.top}, {extent.right, extent.bottom}, {extent.left, extent.bottom}}},
          score};
}

using Group = std::vector<std::size_t>;

// The share of one side's boxes that must stand in rows with the other's
// for the two to be read row by row.
constexpr float kRowShare = 0.7F;
// The share of a side's boxes above which they are taken to be the fields of
// rows rather than lines of running text.
constexpr float kSharedRowShare = 0.3F;
// Columns have text of the other side beside more than this share of the
// smaller side's boxes.
constexpr float kBesideShare = 0.5F;
// Gutters a bar across the page reaches over are at least this many line
// heights wide, as wide as those between a page's panels.
constexpr float kBarGutter = 2;
// A side this many times as tall as its tallest box holds lines stacked.
constexpr float kStackedHeight = 1.5F;

class Ordering {
 public:
  Ordering(const std::vector<TextLineBox>& boxes, const PageDrawing& drawing) : drawing_(drawing) {
    extents_.reserve(boxes.size());
    for (const TextLineBox& box : boxes) extents_.push_back(extentOf(box));
  }

  // A page's columns may lie under a bar that runs across them all (a
  // toolbar, a status bar, a running head): a first or last band of one row
  // whose pieces stand on both sides of the page's gutter and reach across a
  // gutter of the page between them, or is ruled off from the rest, is read
  // on its own, before or after the columns. The first lines of columns stay
  // within their columns.
  void orderPage(const Group& page, std::vector<VisualLine>& lines) const {
    const std::vector<Group> bands = bandsOf(page);
    const std::optional<float> gutter = columnGutter(page);
    if (bands.size() < 3 || !gutter) return order(page, lines);
    Group between;
    for (std::size_t band = 1; band + 1 < bands.size(); ++band)
      between.insert(between.end(), bands[band].begin(), bands[band].end());
    const float minGap = medianHeight(between);
    std::vector<Gap> gutters = clearGaps(between, minGap);
    std::erase_if(gutters, [&](const Gap& gap) { return gap.width < kBarGutter * minGap; });
    const Extent around = extentOfGroup(page), inside = extentOfGroup(between);
    const auto isBar = [&](std::size_t band) {
      const auto [left, right] = split(bands[band], *gutter);
      if (left.empty() || right.empty() || columnGutter(bands[band])) return false;
      const Extent bar = extentOfGroup(bands[band]);
      const bool ruledOff = drawing_.ruleAcross && (band == 0 ? drawing_.ruleAcross(around.left, around.right, bar.bottom, inside.top)
                                                              : drawing_.ruleAcross(around.left, around.right, inside.bottom, bar.top));
      return ruledOff || std::any_of(bands[band].begin(), bands[band].end(), [&](std::size_t box) {
        return std::any_of(gutters.begin(), gutters.end(), [&](const Gap& gap) {
          return extents_[box].left < gap.middle && gap.middle < extents_[box].right;
        });
      });
    };
    const bool header = isBar(0), footer = isBar(bands.size() - 1);
    if (header) order(bands.front(), lines);
    Group body;
    for (std::size_t band = header ? 1 : 0; band < bands.size() - (footer ? 1 : 0); ++band)
      body.insert(body.end(), bands[band].begin(), bands[band].end());
    order(std::move(body), lines);
    if (footer) order(bands.back(), lines);
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
  // height and are of about one size. A piece of small letters only ("v",
  // "was") is about half as tall as one with capitals and descenders: within
  // the other's height, it may be smaller still.
  bool onOneLine(std::size_t a, std::size_t b) const {
    const Extent &first = extents_[a], &second = extents_[b];
    const float overlap = std::min(first.bottom, second.bottom) - std::max(first.top, second.top);
    const float smaller = std::min(first.height(), second.height()), larger = std::max(first.height(), second.height());
    return overlap >= 0.5F * smaller && (larger <= 2 * smaller || (overlap >= smaller && larger <= 3 * smaller));
  }

  bool inOneRow(std::size_t a, std::size_t b) const { return standInOneRow(extents_[a], extents_[b], kCellSizes); }

  Extent extentOfGroup(const Group& group) const {
    Extent around = extents_[group[0]];
    for (const std::size_t box : group)
      around = {std::min(around.left, extents_[box].left), std::min(around.top, extents_[box].top),
                std::max(around.right, extents_[box].right), std::max(around.bottom, extents_[box].bottom)};
    return around;
  }

  float tallestHeight(const Group& group) const {
    float tallest = 0;
    for (const std::size_t box : group) tallest = std::max(tallest, extents_[box].height());
    return tallest;
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
    const float minGap = medianHeight(group);
    std::vector<Gap> gaps = clearGaps(group, minGap);
    std::sort(gaps.begin(), gaps.end(), [](const Gap& a, const Gap& b) { return a.width > b.width; });
    for (const Gap& gap : gaps) {
      const auto [left, right] = split(group, gap.middle);
      if (areColumns(left, right, gap, minGap)) return gap.middle;
    }
    return std::nullopt;
  }

  struct Gap {
    float width, middle;
  };

  // The vertical gaps at least `minGap` wide that no box of the group
  // crosses, left to right.
  std::vector<Gap> clearGaps(const Group& group, float minGap) const {
    Group byLeft = group;
    std::sort(byLeft.begin(), byLeft.end(), [&](auto a, auto b) { return extents_[a].left < extents_[b].left; });
    std::vector<Gap> gaps;
    float reach = extents_[byLeft[0]].right;
    for (const std::size_t box : byLeft) {
      const float gap = extents_[box].left - reach;
      if (gap >= minGap) gaps.push_back({gap, reach + gap / 2});
      reach = std::max(reach, extents_[box].right);
    }
    return gaps;
  }

  // The boxes of a side that face the other across the gap: those beyond
  // the side's own last clear gap towards it. Sparse fields beside a list
  // (a count beside some folders) face the list, not what lies past them.
  Group facing(const Group& side, bool towardsRight, float minGap) const {
    const std::vector<Gap> gaps = clearGaps(side, minGap);
    if (gaps.empty()) return side;
    const float cut = towardsRight ? gaps.back().middle : gaps.front().middle;
    Group near;
    for (const std::size_t box : side)
      if (towardsRight ? extents_[box].left >= cut : extents_[box].right <= cut) near.push_back(box);
    return near;
  }

  // Sides are columns unless the boxes of one side nearly all stand on a
  // row with a box of the other (an amount beside every label, a cell in
  // every row, a shortcut beside every item: the labels without an amount
  // do not count against it), or when both hold running text: several
  // lines, each long beside its height and beside the gap.
  bool areColumns(const Group& left, const Group& right, const Gap& gap, float minGap) const {
    const auto pairedShare = [&](const Group& side, const Group& other) {
      std::size_t paired = 0;
      for (const std::size_t a : side)
        paired += std::any_of(other.begin(), other.end(), [&](std::size_t b) { return b != a && inOneRow(a, b); });
      return static_cast<float>(paired) / static_cast<float>(side.size());
    };
    if (partedByPanels(left, right, gap)) return true;
    if (!standSideBySide(left, right) || controlsAfterHeading(right, left)) return false;
    const float rowShare = std::max(pairedShare(facing(left, true, minGap), right),
                                    pairedShare(facing(right, false, minGap), left));
    if (rowShare < kRowShare) return true;
    // A line of running text is one box: a side whose boxes share rows among
    // themselves holds the fields of rows, as a log's do.
    const auto runningText = [&](const Group& side) {
      if (side.size() < 3 || pairedShare(side, side) > kSharedRowShare) return false;
      float width = 0, height = 0;
      for (const std::size_t box : side) width += extents_[box].width(), height += extents_[box].height();
      return width >= 8 * height && width >= 4 * gap.width * static_cast<float>(side.size());
    };
    return runningText(left) && runningText(right);
  }

  // One row of controls after a heading and its caption, within their
  // height and no larger than the heading, goes on the heading's line; a
  // larger one is a heading itself, beside a sidebar's first lines.
  bool controlsAfterHeading(const Group& row, const Group& heading) const {
    if (bandsOf(row).size() != 1 || bandsOf(heading).size() > 2) return false;
    const Extent controls = extentOfGroup(row), block = extentOfGroup(heading);
    return controls.top >= block.top && controls.bottom <= block.bottom && tallestHeight(row) <= tallestHeight(heading);
  }

  // Panels side by side (cards, each a label over its figure; a chart's
  // panel beside a list's) are read one after the other, whether or not
  // their lines share baselines or stand beside each other: an edge runs
  // down the gap between them. Fields and buttons of one row are read
  // across, framed or not.
  bool partedByPanels(const Group& left, const Group& right, const Gap& gap) const {
    if (!drawing_.edgeDown) return false;
    const auto stacked = [&](const Group& side) { return extentOfGroup(side).height() > kStackedHeight * tallestHeight(side); };
    const Extent leftSpan = extentOfGroup(left), rightSpan = extentOfGroup(right);
    return (stacked(left) || stacked(right)) &&
           drawing_.edgeDown(gap.middle - gap.width / 2, gap.middle + gap.width / 2, std::min(leftSpan.top, rightSpan.top),
                             std::max(leftSpan.bottom, rightSpan.bottom));
  }

  // Columns have text beside each other somewhere. Pieces that only take
  // turns down the page, as a chat's bubbles from either side do, are read
  // top to bottom however far apart they stand. Only what lies level with
  // the other side counts: a menu bar above a document does not stand
  // beside the menu open over it.
  bool standSideBySide(const Group& left, const Group& right) const {
    const Group& fewer = left.size() <= right.size() ? left : right;
    const Group& more = left.size() <= right.size() ? right : left;
    const Extent span = extentOfGroup(more);
    std::size_t level = 0, beside = 0;
    for (const std::size_t a : fewer) {
      if (extents_[a].bottom <= span.top || extents_[a].top >= span.bottom) continue;
      ++level;
      beside += std::any_of(more.begin(), more.end(), [&](std::size_t b) {
        return std::min(extents_[a].bottom, extents_[b].bottom) > std::max(extents_[a].top, extents_[b].top);
      });
    }
    return static_cast<float>(beside) > kBesideShare * static_cast<float>(level);
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
  const PageDrawing& drawing_;
};

}  // namespace

std::vector<TextLineBox> joinedPiecesOfLines(const std::vector<TextLineBox>& boxes) {
  std::vector<std::size_t> byLeft(boxes.size());
  for (std::size_t box = 0; box < boxes.size(); ++box) byLeft[box] = box;
  std::vector<Extent> extents;
  for (const TextLineBox& box : boxes) extents.push_back(extentOf(box));
  std::sort(byLeft.begin(), byLeft.end(), [&](auto a, auto b) { return extents[a].left < extents[b].left; });
  std::vector<TextLineBox> joined;
  std::vector<std::optional<Extent>> joinable;  // the extent of each level box joined so far
  for (const std::size_t box : byLeft) {
    const Extent& extent = extents[box];
    const auto line = std::find_if(joinable.begin(), joinable.end(), [&](const std::optional<Extent>& before) {
      return before && standInOneRow(*before, extent, kPieceSizes) &&
             extent.left - before->right <= kJoinGap * std::min(before->height(), extent.height());
    });
    const bool mayJoin = isLevel(boxes[box]) && extent.width() >= kShortestJoined * extent.height();
    if (!mayJoin || line == joinable.end()) {
      joined.push_back(boxes[box]);
      joinable.push_back(mayJoin ? std::optional(extent) : std::nullopt);
      continue;
    }
    Extent& around = **line;
    around = {std::min(around.left, extent.left), std::min(around.top, extent.top),
              std::max(around.right, extent.right), std::max(around.bottom, extent.bottom)};
    TextLineBox& target = joined[static_cast<std::size_t>(line - joinable.begin())];
    target = boxAround(around, std::min(target.score, boxes[box].score));
  }
  return joined;
}

std::vector<VisualLine> readingOrder(const std::vector<TextLineBox>& boxes, const PageDrawing& drawing) {
  Group all(boxes.size());
  for (std::size_t box = 0; box < boxes.size(); ++box) all[box] = box;
  std::vector<VisualLine> lines;
  Ordering(boxes, drawing).orderPage(all, lines);
  return lines;
}

}  // namespace tarnwick
