#include "firmware.h"
#include "../foo/foo.h"

uint16_t current_sample_rate(void);

static uint32_t checksum_messages(void)
{
    uint32_t crc = 0;
    for (unsigned i = 0; i < message_count; i++) {
        const char *text = message_at(i);
        size_t length = 0;
        while (text[length])
            length++;
        crc = crc32_update(crc, (const uint8_t *)text, length);
    }
    return crc;
}

/* Never called: --gc-sections drops it. */
int unused_helper(int x)
{
    return x * 3 + 1;
}

int main(void)
{
    if (boot_magic != 0xB007B007u) {
        boot_magic = 0xB007B007u;
        crash_log[0] = 0;
    }
    ring_init();
    for (unsigned i = 0; i < sizeof calibration / sizeof calibration[0]; i++)
        ring_put((uint8_t)(calibration[i] + foo_scale(i)));
    while (ring_count() > 0)
        rx_buffer[ring_count() % sizeof rx_buffer] = ring_get();
    uint32_t crc = checksum_messages();
    return (int)(crc ^ (uint32_t)shapes_checksum((int)current_sample_rate()) ^ tick_count);
}
