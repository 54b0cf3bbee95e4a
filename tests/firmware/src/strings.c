/* The message table: pointers in .rodata to strings the compiler merges. */
#include "firmware.h"

const char *const message_table[] = {
    "boot",
    "calibration loaded",
    "checksum mismatch",
    "ring buffer overflow",
    "watchdog reset",
    "ready",
};

const uint8_t message_count = sizeof message_table / sizeof message_table[0];

const char *message_at(unsigned index)
{
    return index < message_count ? message_table[index] : "?";
}
