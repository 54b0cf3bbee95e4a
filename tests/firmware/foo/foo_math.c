#include "foo.h"

static const uint16_t scale_table[8] = {1, 2, 4, 8, 16, 32, 64, 128};

uint32_t foo_scale(uint32_t value)
{
    return value * scale_table[value & 7u];
}
