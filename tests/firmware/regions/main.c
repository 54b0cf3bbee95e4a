/* Data for every kind of memory a Cortex-M4 part offers: initialised data in
   RAM and in the core-coupled RAM (both loaded from flash), zeroed data in
   each (the CCM one in a NOLOAD section of its own), backup SRAM, data kept
   across a reset, a constant in a section the script does not name (an
   orphan), and two routines that share one RAM overlay. */
#include <stdint.h>
#include "../foo/foo.h"

uint32_t boot_count = 5;
uint8_t frame_buffer[1000];
__attribute__((section(".ccmram"))) uint32_t ccm_coefficients[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
__attribute__((section(".ccmbss"))) uint32_t ccm_scratch[64];
__attribute__((section(".bkpsram"))) uint32_t backup_words[8];
__attribute__((section(".noinit"))) uint32_t reset_reason;
__attribute__((section(".board_id"))) const uint32_t board_id[5] = {9, 8, 7, 6, 5};
const char banner[] = "multi-region firmware 1.0";

__attribute__((section(".overlay_dsp"), noinline)) int overlay_dsp(int x)
{
    return x * 3 + 1;
}

__attribute__((section(".overlay_usb"), noinline)) int overlay_usb(int x)
{
    return x * 7 - 2 + x / 3;
}

int a_handler_with_a_name_long_enough_to_wrap_onto_the_next_line_of_the_map(int value)
{
    return value + (int)boot_count;
}

int main(void)
{
    ring_init();
    ring_put((uint8_t)banner[3]);
    boot_count += foo_scale(3) + (uint32_t)overlay_dsp(1) + (uint32_t)overlay_usb(2) + ccm_coefficients[2];
    ccm_scratch[1] = frame_buffer[2] + backup_words[0] + reset_reason + board_id[boot_count & 3];
    return a_handler_with_a_name_long_enough_to_wrap_onto_the_next_line_of_the_map((int)ring_get());
}
