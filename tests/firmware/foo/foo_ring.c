#include "foo.h"

#define RING_SIZE 32u

static uint8_t ring[RING_SIZE];
static unsigned head, tail;

void ring_init(void)
{
    head = tail = 0;
}

void ring_put(uint8_t byte)
{
    ring[head++ % RING_SIZE] = byte;
}

uint8_t ring_get(void)
{
    return ring[tail++ % RING_SIZE];
}

unsigned ring_count(void)
{
    return head - tail;
}
