/* Vector table and reset for the multi-region firmware: copy every load
   image to the RAM it runs in, clear .bss, run main. */
#include <stddef.h>
#include <stdint.h>

extern uint8_t _estack[];
extern uint8_t _sidata[], _sdata[], _edata[];
extern uint8_t _siccm[], _sccm[], _eccm[];
extern uint8_t _sbss[], _ebss[];
void reset_handler(void);
void default_handler(void);
int main(void);

__attribute__((section(".isr_vector"), used))
const void *const vector_table[] = {
    _estack,
    (const void *)reset_handler,
    (const void *)default_handler, /* NMI */
    (const void *)default_handler, /* hard fault */
};

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
    memcpy(_sdata, _sidata, (size_t)(_edata - _sdata));
    memcpy(_sccm, _siccm, (size_t)(_eccm - _sccm));
    memset(_sbss, 0, (size_t)(_ebss - _sbss));
    main();
    for (;;) {
    }
}

void default_handler(void)
{
    for (;;) {
    }
}
