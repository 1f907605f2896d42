#include "scheduler/schedule_threads.h"

namespace kv::scheduler {

ScheduleThreadTable g_ScheduleThreads;

}  // namespace kv::scheduler
