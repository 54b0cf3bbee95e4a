/* Thread-local data: a template in .tdata (stored in flash) and .tbss. */
#include <stdint.h>

__thread int32_t tls_errno = 7;
__thread int32_t tls_depth;

__attribute__((noinline)) int32_t tls_touch(int32_t value)
{
    tls_depth += value;
    return tls_errno + tls_depth;
}
