// A mutex that processes forked from one parent share through memory mapped
// MAP_SHARED before the fork. It is robust: when a holder dies (a session is
// killed), the next locker gets EOWNERDEAD instead of waiting for ever.
#pragma once
#include <pthread.h>

namespace tollmar::util {

// Initialises *mutex (in shared memory) as process-shared and robust; 0, or
// the error number.
int init_shared_mutex(pthread_mutex_t* mutex);

}  // namespace tollmar::util
