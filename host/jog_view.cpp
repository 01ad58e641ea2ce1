#include "host/jog_view.h"

#include <algorithm>
#include <climits>

#include "recognition/field_reader.h"

namespace {

bool empty(const window_rect& r) { return r.left >= r.right || r.top >= r.bottom; }

bool contains(const window_rect& r, std::int32_t x, std::int32_t y) {
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

}  // namespace

const char* view_problem_id(view_problem problem) {
    switch (problem) {
    case view_problem::none: return "none";
    case view_problem::hidden: return "hidden";
    case view_problem::minimized: return "minimized";
    case view_problem::docked: return "docked";
    case view_problem::off_screen: return "off_screen";
    case view_problem::covered: return "covered";
    }
    return "unknown";
}

const char* view_problem_advice(view_problem problem) {
    switch (problem) {
    case view_problem::none: return "the jog window's fields are in full view";
    case view_problem::hidden: return "the jog window is hidden: show it again";
    case view_problem::minimized: return "the jog window is minimised: restore it";
    case view_problem::docked: return "the jog window is docked into the main window: undock it so that it floats";
    case view_problem::off_screen:
        return "part of the jog window's fields lies outside every monitor: move the window fully onto a screen";
    case view_problem::covered:
        return "another window lies over the jog window's fields: move it away or bring the jog window to the front";
    }
    return "unknown";
}

window_rect on_screen(const window_rect& client, const frame_area& area) {
    // In 64 bits and cut back, so that no rectangle can overflow.
    auto cut = [](std::int64_t v) { return std::int32_t(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX)); };
    return {cut(std::int64_t(client.left) + area.left), cut(std::int64_t(client.top) + area.top), client.right,
            std::min(client.bottom, cut(std::int64_t(client.top) + area.bottom))};
}

window_rect fields_area(const window_rect& client) { return on_screen(client, fields_rows(0, axis_field_count)); }

void look_at_jog_window(window_handle jog, jog_view& view) {
    view.visible = is_window_visible(jog);
    view.minimized = is_window_minimized(jog);
    view.top_level = is_top_level_window(jog);
    if (!get_client_screen_rect(jog, &view.client)) view.client = {};
    view.fields = fields_area(view.client);
    get_monitor_rects(view.monitors);
    view.above.clear();
    int walked = 0;
    for (window_handle w = get_previous_window(jog); w != nullptr && walked < window_walk_limit;
         w = get_previous_window(w), ++walked) {
        window_rect r;
        if (is_window_visible(w) && !is_window_minimized(w) && !is_window_see_through(w) && get_window_rect(w, &r))
            view.above.push_back(r);
    }
}

view_problem judge_view(const jog_view& view) { return judge_area(view, view.fields); }

view_problem judge_area(const jog_view& view, const window_rect& area) {
    if (view.minimized) return view_problem::minimized;
    if (!view.visible) return view_problem::hidden;
    if (!view.top_level) return view_problem::docked;
    if (!rect_within(area, view.monitors)) return view_problem::off_screen;
    for (const window_rect& r : view.above)
        if (rects_overlap(r, area)) return view_problem::covered;
    return view_problem::none;
}

bool rects_overlap(const window_rect& a, const window_rect& b) {
    return !empty(a) && !empty(b) && a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

bool rect_within(const window_rect& r, const std::vector<window_rect>& rects) {
    if (empty(r)) return true;
    // Cut r along every edge of the rectangles; each cell then lies wholly inside
    // or wholly outside each rectangle, so its top-left pixel speaks for it.
    std::vector<std::int32_t> xs{r.left, r.right}, ys{r.top, r.bottom};
    for (const window_rect& c : rects) {
        for (std::int32_t x : {c.left, c.right})
            if (x > r.left && x < r.right) xs.push_back(x);
        for (std::int32_t y : {c.top, c.bottom})
            if (y > r.top && y < r.bottom) ys.push_back(y);
    }
    std::sort(xs.begin(), xs.end());
    std::sort(ys.begin(), ys.end());
    for (std::size_t i = 0; i + 1 < xs.size(); ++i)
        for (std::size_t j = 0; j + 1 < ys.size(); ++j) {
            if (xs[i] == xs[i + 1] || ys[j] == ys[j + 1]) continue;
            const bool inside = std::any_of(rects.begin(), rects.end(),
                                            [&](const window_rect& c) { return contains(c, xs[i], ys[j]); });
            if (!inside) return false;
        }
    return true;
}
