// The values the host simulator's animation shows and the stand-in's --motion
// serves: field k swings as a sine of its own period, to one decimal.
#ifndef SUPPORT_MOTION_H
#define SUPPORT_MOTION_H

#include <cmath>

inline double motion_value(int field, double seconds) {
    return std::round((field + 1) * 37.0 * std::sin(seconds * 0.15 * (field + 1)) * 10.0) / 10.0;
}

#endif  // SUPPORT_MOTION_H
