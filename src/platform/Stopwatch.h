#pragma once
// Elapsed time on the high-resolution performance counter. Each count is the
// whole elapsed time in that unit (90 s give minutes 1 and seconds 90).
#include <cstdint>

class CStopwatch
{
public:
    int64_t years = 0;
    int64_t months = 0;
    int64_t days = 0;
    int64_t hours = 0;
    int64_t minutes = 0;
    int64_t seconds = 0;
    int64_t milliseconds = 0;
    double yearsValue = 0;
    double monthsValue = 0;
    double daysValue = 0;
    double hoursValue = 0;
    double minutesValue = 0;
    double secondsValue = 0;
    double millisecondsValue = 0;
    bool valid = false;
    // Counts per second; the owner sets it from QueryPerformanceFrequency.
    double frequency = 0;
    double startCount = 0;
    double stopCount = 0;

    void MarkStart();
    void MarkStop();
    // Recomputes every unit from startCount, stopCount and frequency; valid is
    // false (and all units 0) when any of the three is 0.
    void Recompute();
};
