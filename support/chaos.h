// A desktop as an unlucky user's, for the Windows suite and the chaos benchmark:
// gateway.exe serves a peer while the host simulator's jog window is moved partly
// off each edge of the screen, partly covered by windows of any size, minimised
// and restored, hidden and shown, and its values changed in between, always with
// four digits before the separator so that any cut reads as another number.
// Every value the peer receives is checked against the values its field showed,
// and after every return to a whole view the time until the values on screen
// reach the peer is measured.
#ifndef SUPPORT_CHAOS_H
#define SUPPORT_CHAOS_H

#include <string>
#include <vector>

struct chaos_options {
    double seconds = 60;  // how long disturbances are made
    unsigned seed = 1;
    int paint_delay_ms = 300;   // the host repaints what comes back into view this much later
    double patience_ms = 5000;  // a return whose values take longer counts as lost
    bool verbose = false;       // each disturbance and what the gateway said, as it happens
};

struct chaos_report {
    std::string failure;  // why no run could be made; empty when it ran
    int disturbances = 0;
    int records = 0;                       // updates the peer received
    std::vector<std::string> never_shown;  // values the peer received that their field never showed
    std::vector<double> arrival_ms;        // per return to a whole view: until the peer had the values shown
    int lost = 0;                          // returns after which they did not arrive within the patience
    std::vector<std::string> late;         // returns slower than 0.7 s: what happened, and what the gateway said
    unsigned long exit_code = 0;           // the gateway's, after the host closed
    std::string gateway_output;
};

// Runs from the folder that holds gateway.exe and host_simulator.exe.
chaos_report run_chaos(const chaos_options& options);

#endif  // SUPPORT_CHAOS_H
