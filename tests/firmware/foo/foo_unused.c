/* Nothing refers to this member, so ld leaves it in the archive. */
#include "foo.h"

uint32_t foo_unused(uint32_t value)
{
    return value ^ 0x5a5a5a5au;
}
