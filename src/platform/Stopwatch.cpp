#include "platform/Stopwatch.h"

#include <windows.h>

#include <cmath>

namespace {

double ReadCounter()
{
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart);
}

} // namespace

void CStopwatch::MarkStart()
{
    startCount = ReadCounter();
    Recompute();
}

void CStopwatch::MarkStop()
{
    stopCount = ReadCounter();
    Recompute();
}

void CStopwatch::Recompute()
{
    years = months = days = hours = minutes = seconds = milliseconds = 0;
    yearsValue = monthsValue = daysValue = hoursValue = minutesValue = secondsValue = millisecondsValue = 0;
    valid = false;
    if (stopCount == 0 || startCount == 0 || frequency == 0)
        return;

    const double elapsedMs = (stopCount - startCount) / frequency * 1000.0;
    struct Unit { double lengthMs; double* value; int64_t* count; };
    const Unit units[] = {
        {31557600000.0, &yearsValue, &years},   {2629800000.0, &monthsValue, &months},
        {86400000.0, &daysValue, &days},        {3600000.0, &hoursValue, &hours},
        {60000.0, &minutesValue, &minutes},     {1000.0, &secondsValue, &seconds},
        {1.0, &millisecondsValue, &milliseconds},
    };
    for (const Unit& unit : units) {
        *unit.value = elapsedMs / unit.lengthMs;
        *unit.count = static_cast<int64_t>(std::floor(*unit.value));
    }
    valid = true;
}
