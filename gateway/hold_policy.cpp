#include "gateway/hold_policy.h"

bool hold_needs_look(const hold_policy& policy, const reading_evidence& reading) {
    return !policy.trusted || reading.differs;
}

hold_verdict hold_decide(hold_policy& policy, const reading_evidence& reading, const view_evidence* view) {
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
        reading.familiar ? policy.whole >= view_settle_cycles
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
