// Scheduling for the threads that work beside the main thread (deliveries, the spool's
// syncer, the sound player).
#pragma once

namespace platform {

// Batch scheduling for the calling thread: when it wakes it does not cut into the main
// thread, whose replies to clients wait on every delay it adds. Where the policy cannot be
// had, the thread simply runs as it is.
void ScheduleAsBatchWork();

} // namespace platform
