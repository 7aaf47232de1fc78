// Read before anything else by every file of the module (the compiler's -include, set in
// CMakeLists.txt), so that a module built on a newer glibc loads on glibc 2.28 too.
//
// glibc 2.32 and 2.34 moved the thread functions from libpthread into libc and gave them new
// symbol versions there, and a call binds to the newest version of the glibc it is linked
// against. Bound here to their first version instead, the calls reach the same functions under
// the name that every glibc exports: libpthread's before 2.34, libc's since. The manylinux wheel
// test (tests/python/test_packaging.py) names any other symbol that needs a newer glibc.
#pragma once

#if defined(__x86_64__) && defined(__linux__) && __has_include(<features.h>)
#include <features.h>
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 32)

// GLIBC_2.2.5 is the first version of every symbol on x86-64.
#define VANTORIX_FIRST_GLIBC_VERSION(name) __asm__(".symver " #name ", " #name "@GLIBC_2.2.5")

VANTORIX_FIRST_GLIBC_VERSION(pthread_create);
VANTORIX_FIRST_GLIBC_VERSION(pthread_join);
VANTORIX_FIRST_GLIBC_VERSION(pthread_detach);
VANTORIX_FIRST_GLIBC_VERSION(pthread_kill);
VANTORIX_FIRST_GLIBC_VERSION(pthread_sigmask);
VANTORIX_FIRST_GLIBC_VERSION(pthread_getattr_np);
VANTORIX_FIRST_GLIBC_VERSION(pthread_attr_getstack);
VANTORIX_FIRST_GLIBC_VERSION(pthread_attr_setstack);
VANTORIX_FIRST_GLIBC_VERSION(pthread_attr_getstacksize);
VANTORIX_FIRST_GLIBC_VERSION(pthread_attr_setstacksize);
VANTORIX_FIRST_GLIBC_VERSION(pthread_attr_getguardsize);
VANTORIX_FIRST_GLIBC_VERSION(pthread_attr_setguardsize);
// What libstdc++'s <mutex> and <thread> headers call.
VANTORIX_FIRST_GLIBC_VERSION(pthread_once);
VANTORIX_FIRST_GLIBC_VERSION(pthread_key_create);
VANTORIX_FIRST_GLIBC_VERSION(pthread_key_delete);
VANTORIX_FIRST_GLIBC_VERSION(pthread_getspecific);
VANTORIX_FIRST_GLIBC_VERSION(pthread_setspecific);
VANTORIX_FIRST_GLIBC_VERSION(pthread_mutex_trylock);
VANTORIX_FIRST_GLIBC_VERSION(__pthread_key_create);

#undef VANTORIX_FIRST_GLIBC_VERSION

#endif
#endif
