/* libfoo: a small static library the firmware links against. */
#ifndef FOO_H
#define FOO_H

#include <stdint.h>

uint32_t foo_scale(uint32_t value);
uint32_t foo_unused(uint32_t value);
void ring_init(void);
void ring_put(uint8_t byte);
uint8_t ring_get(void);
unsigned ring_count(void);

#endif
