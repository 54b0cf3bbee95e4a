/* Vector table and reset: copy the load images to RAM, clear .bss, run main. */
#include "firmware.h"

typedef void (*handler_t)(void);

__attribute__((section(".vectors"), used))
const void *const vector_table[] = {
    __stack_top,
    (const void *)reset_handler,
    (const void *)default_handler, /* NMI */
    (const void *)default_handler, /* hard fault */
    (const void *)default_handler,
    (const void *)default_handler,
    (const void *)default_handler,
    0, 0, 0, 0,
    (const void *)default_handler, /* service call */
    0, 0,
    (const void *)default_handler, /* pending service */
    (const void *)tick_handler,
};

/* Byte loops: the startup code runs before anything could provide these. */
void *memcpy(void *dst, const void *src, size_t n)
{
    uint8_t *d = dst;
    const uint8_t *s = src;
    while (n--)
        *d++ = *s++;
    return dst;
}

void *memset(void *dst, int value, size_t n)
{
    uint8_t *d = dst;
    while (n--)
        *d++ = (uint8_t)value;
    return dst;
}

void reset_handler(void)
{
    memcpy(__data_start, __data_load, (size_t)((uint8_t *)__data_end - (uint8_t *)__data_start));
    memcpy(__ramfunc_start, __ramfunc_load,
           (size_t)((uint8_t *)__ramfunc_end - (uint8_t *)__ramfunc_start));
    memset(__bss_start, 0, (size_t)((uint8_t *)__bss_end - (uint8_t *)__bss_start));
    main();
    for (;;) {
    }
}

void default_handler(void)
{
    for (;;) {
    }
}

void tick_handler(void)
{
    tick_count++;
}
