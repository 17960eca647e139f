// Scheduling for the threads that work beside the main thread (the delivery workers and the
// spool's syncer).
#pragma once

namespace platform {

// Batch scheduling for the calling thread: when it wakes it does not cut into the main
// thread, whose replies to clients wait on every delay it adds. Where the policy cannot be
// had, the thread simply runs as it is.
void ScheduleAsBatchWork();

} // namespace platform
