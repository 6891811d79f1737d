// The meter as the engine passes it between its stages: per metrical level
// (bar, beat, tatum) a period and one tick time, seconds on the engine clock.
// Ticks of a level fall at reference + k * period.
#ifndef KADENZO_METERGRID_H
#define KADENZO_METERGRID_H

#include <cmath>

enum MeterLevelID {
    METERLEVEL_BAR = 0,
    METERLEVEL_BEAT = 1,
    METERLEVEL_TATUM = 2,
    METERLEVEL_COUNT = 3,
};

struct meter_grid {
    double periods[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};     // seconds
    double references[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};  // seconds on the engine clock
};

// The point reference + k * period nearest to t.
inline double grid_point_nearest(double t, double period, double reference) {
    return reference + std::round((t - reference) / period) * period;
}

// The first point reference + k * period strictly after t.
inline double grid_point_after(double t, double period, double reference) {
    double next = reference + (std::floor((t - reference) / period) + 1.0) * period;
    if (!(next > t)) next += period;
    if (!(next > t)) next = t + period;  // the grid's resolution is exhausted at this time
    return next;
}

// Whether every period is finite and positive and every reference finite.
inline bool meter_grid_valid(const meter_grid& grid) {
    for (int i = 0; i < METERLEVEL_COUNT; ++i) {
        if (!(grid.periods[i] > 0.0) || !std::isfinite(grid.periods[i]) ||
            !std::isfinite(grid.references[i])) {
            return false;
        }
    }
    return true;
}

#endif
