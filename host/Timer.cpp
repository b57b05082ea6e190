#include "host/Timer.h"

#include "host/HostClock.h"

namespace Oru {

TimePoint TimePoint::Now()
{
    return TimePoint{GetClock().SteadyMicros()};
}

}  // namespace Oru
