// While it lives, the system can start no new thread in this process: every thread asks for
// a stack larger than the address space, so creating one fails as it does when memory runs
// out. Threads that already run are not affected. Only where the C library lets a program
// set the default thread attributes (glibc); elsewhere it does nothing and says so.
#pragma once

#include <pthread.h>

#include <cstddef>

namespace tarvik::testing {

class NoNewThreads {
public:
#if defined(__GLIBC__)
    NoNewThreads() {
        pthread_getattr_default_np(&m_previous);
        pthread_attr_t starved;
        pthread_attr_init(&starved);
        m_applied = pthread_attr_setstacksize(&starved, kBeyondAddressSpace) == 0 &&
                    pthread_setattr_default_np(&starved) == 0;
        pthread_attr_destroy(&starved);
    }
    ~NoNewThreads() {
        pthread_setattr_default_np(&m_previous);
        pthread_attr_destroy(&m_previous);
    }
#else
    NoNewThreads() = default;
#endif
    NoNewThreads(const NoNewThreads&) = delete;
    NoNewThreads& operator=(const NoNewThreads&) = delete;

    // False if the system refused the setting (or has none): the test cannot show anything.
    bool Applied() const { return m_applied; }

private:
    // 256 TiB: more than a process's whole address space on x86-64 and arm64.
    static constexpr size_t kBeyondAddressSpace = size_t{1} << 48;
#if defined(__GLIBC__)
    pthread_attr_t m_previous;
#endif
    bool m_applied = false;
};

}  // namespace tarvik::testing
