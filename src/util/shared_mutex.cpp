#include "util/shared_mutex.hpp"

namespace tollmar::util {

int init_shared_mutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attributes;
    int rc = pthread_mutexattr_init(&attributes);
    if (rc != 0) return rc;
    rc = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    if (rc == 0) rc = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (rc == 0) rc = pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return rc;
}

}  // namespace tollmar::util
