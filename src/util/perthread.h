// One value per thread, made on its first use in that thread and destroyed
// when the thread ends. Not a thread_local: one with a destructor makes the
// C library allocate on first use to register it, and abort the whole
// process when that allocation fails (a run under a memory limit). A thread
// key's destructor needs no allocation, and a value that can not be made
// throws std::bad_alloc like any other allocation. The calling thread's
// values last until the process exits.
#pragma once

#include <memory>
#include <new>
#include <pthread.h>

template <class T>
class PerThread {
public:
    PerThread() {
        if (pthread_key_create(&key_, destroy) != 0) throw std::bad_alloc();
    }
    PerThread(const PerThread&) = delete;
    PerThread& operator=(const PerThread&) = delete;

    T& get() {
        if (void* p = pthread_getspecific(key_)) return *static_cast<T*>(p);
        auto v = std::make_unique<T>();
        if (pthread_setspecific(key_, v.get()) != 0) throw std::bad_alloc();
        return *v.release();
    }

private:
    static void destroy(void* p) { delete static_cast<T*>(p); }
    pthread_key_t key_;
};
