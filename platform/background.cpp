#include "platform/background.h"

#include <sched.h>

namespace platform {

void ScheduleAsBatchWork() {
    sched_param none{};
    sched_setscheduler(0, SCHED_BATCH, &none);
}

} // namespace platform
