#include "gateway/hold_policy.h"
#include "recognition/probe_rows.h"

namespace {

// What the report says of the values after this cycle's decision: held with the
// cause the last look found, else live once trusted, else waiting for evidence.
axis_state state_now(const hold_policy& p) {
    switch (p.last) {
    case view_problem::hidden: return axis_state_hidden;
    case view_problem::minimized: return axis_state_minimized;
    case view_problem::docked: return axis_state_docked;
    case view_problem::off_screen: return axis_state_off_screen;
    case view_problem::covered: return axis_state_covered;
    case view_problem::none: break;
    }
    return p.trusted ? axis_state_live : axis_state_waiting;
}

hold_verdict decide(hold_policy& policy, const reading_evidence& reading, const view_evidence* view) {
    hold_verdict verdict;
    if (view == nullptr) return verdict;  // trusted and unchanged: nothing would go out
    policy.same = view->problem == policy.last ? policy.same + 1 : 1;
    policy.last = view->problem;
    if (view->problem != view_problem::none) {
        policy.trusted = false;
        policy.calm = policy.whole = 0;
        if (policy.same >= hold_announce_cycles && policy.said != view->problem) {
            policy.said = view->problem;
            verdict.line = hold_line::held;
            verdict.cause = view->problem;
        }
        return verdict;
    }
    // A cycle in which the window has just moved does not count as whole: what
    // came into view may not be painted yet.
    if (view->moved) policy.trusted = false;
    policy.whole = view->moved ? 0 : policy.whole + 1;
    policy.calm = !view->moved && reading.steady ? policy.calm + 1 : 0;
    if (policy.trusted && reading.familiar) {
        verdict.send = true;
        return verdict;
    }
    // Trust lost to this reading: its own cycle does not count towards confirming it.
    if (policy.trusted) policy.calm = 0;
    policy.trusted = false;
    const bool confirmed =
        reading.familiar
            ? policy.whole >= view_settle_cycles
            : reading.plain && policy.calm >= (reading.foreign ? foreign_confirm_cycles : reading_confirm_cycles);
    if (!confirmed) return verdict;
    policy.trusted = true;
    verdict.send = true;
    if (policy.said != view_problem::none) {
        policy.said = view_problem::none;
        verdict.line = hold_line::live;
    }
    return verdict;
}

}  // namespace

bool hold_begin_cycle(hold_policy& policy, std::int64_t steady_us, std::int64_t utc_us) {
    policy.now = steady_us;
    policy.now_utc = utc_us;
    if (policy.cycles == 0) policy.state_since_utc = utc_us;
    return ++policy.cycles % jog_check_interval == 0;
}

// A closed jog window will not come back as the same window: the run ends, so
// that the peer sees the pipe close instead of values frozen in time.
bool hold_jog_gone(hold_policy& policy, bool jog_exists) {
    policy.looks_without_jog = jog_exists ? 0 : policy.looks_without_jog + 1;
    return policy.looks_without_jog >= jog_missed_looks;
}

reading_evidence hold_weigh(hold_policy& policy, const probe_rows_news& rows, std::uint32_t blank, bool plain,
                            bool differs) {
    policy.previous_blank = policy.blank;
    policy.blank = blank;
    reading_evidence r;
    r.differs = differs;
    r.familiar = rows.as_trusted && (blank & ~policy.trusted_blank) == 0;
    r.steady = !rows.changed && blank == policy.previous_blank;
    r.plain = plain;
    r.foreign = rows.foreign;
    r.rows_as_trusted = rows.as_trusted;
    return r;
}

bool hold_needs_look(const hold_policy& policy, const reading_evidence& reading) {
    return !policy.trusted || reading.differs ||
           (policy.reporting && (!reading.familiar || policy.cycles % report_look_interval == 0));
}

hold_verdict hold_decide(hold_policy& policy, const reading_evidence& reading, const view_evidence* view) {
    const hold_verdict verdict = decide(policy, reading, view);
    // What may go out is the trusted reading from now on.
    if (verdict.send) {
        if (!reading.rows_as_trusted) policy.trusted_rows = policy.rows;
        policy.trusted_blank = policy.blank;
        policy.confirmed_utc = policy.now_utc;
    }
    const axis_state state = state_now(policy);
    if (state != policy.state) {
        policy.state = state;
        policy.state_since_utc = policy.now_utc;
    }
    return verdict;
}

bool hold_report_due(const hold_policy& policy) {
    return policy.reporting &&
           (policy.state != policy.reported_state || policy.now - policy.reported_at >= report_heartbeat_us);
}

void hold_reported(hold_policy& policy) {
    policy.reported_state = policy.state;
    policy.reported_at = policy.now;
}
