#include "service/ServiceRuntime.h"

ServiceRuntime serviceRuntime;

std::mutex& NotificationLock() {
    static std::mutex* lock = new std::mutex;  // never destroyed: a stop may come while the process ends
    return *lock;
}
