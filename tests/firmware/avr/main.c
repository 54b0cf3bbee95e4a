/* The AVR build: avr-libc's start-up code and avr-gcc's default linker
   script, which runs .data in RAM and stores it in flash. */
#include <avr/io.h>
#include <avr/pgmspace.h>
#include "../foo/foo.h"

const char *message_at(unsigned index);

static const char greeting[] PROGMEM = "hello from flash";
uint16_t counters[4] = {1, 2, 3, 4};
uint8_t line_buffer[40];
__attribute__((section(".noinit"))) uint8_t reset_count;

/* Never called: --gc-sections drops it. */
int unused_helper(int x)
{
    return x * 3 + 1;
}

int main(void)
{
    reset_count++;
    ring_init();
    for (uint8_t i = 0; i < sizeof line_buffer; i++) {
        char c = (char)pgm_read_byte(&greeting[i % (sizeof greeting - 1)]);
        ring_put((uint8_t)(c + foo_scale(counters[i & 3])));
        line_buffer[i] = ring_get();
    }
    PORTB = line_buffer[reset_count % sizeof line_buffer] ^ (uint8_t)message_at(reset_count)[0];
    for (;;) {
    }
}
