#include "platform/thread_id.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vd {

int64_t CurrentThreadId() { return static_cast<int64_t>(syscall(SYS_gettid)); }

void SetCurrentThreadName(const char* name) { pthread_setname_np(pthread_self(), name); }

}  // namespace vd
