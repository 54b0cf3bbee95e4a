/* Initialised, zeroed and uninitialised-across-reset data. */
#include "firmware.h"

uint32_t calibration[8] = {0x3f800000u, 2, 3, 5, 7, 11, 13, 17};
uint32_t tick_count;
uint8_t rx_buffer[128];
static uint16_t sample_rate = 48000u;

__attribute__((section(".noinit"))) uint32_t boot_magic;
__attribute__((section(".noinit"))) uint32_t crash_log[16];

/* Referenced by nothing: --gc-sections drops it. */
uint32_t unused_table[4] = {1, 2, 3, 4};

uint16_t current_sample_rate(void)
{
    return sample_rate;
}
