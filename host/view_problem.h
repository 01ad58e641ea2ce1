// Why the jog window's fields are not in full view, as the gateway's hold and the
// probe name it.
#ifndef HOST_VIEW_PROBLEM_H
#define HOST_VIEW_PROBLEM_H

enum class view_problem { none, hidden, minimized, docked, off_screen, covered };

// A stable identifier ("covered") and one sentence that tells the user what to do.
const char* view_problem_id(view_problem problem);
const char* view_problem_advice(view_problem problem);

#endif  // HOST_VIEW_PROBLEM_H
