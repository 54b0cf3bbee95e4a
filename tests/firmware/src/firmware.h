/* Declarations shared by the firmware's translation units. */
#ifndef FIRMWARE_H
#define FIRMWARE_H

#include <stdint.h>
#include <stddef.h>

/* Linker-script symbols: addresses only, never read as objects. */
extern uint32_t __data_start[], __data_end[], __data_load[];
extern uint32_t __ramfunc_start[], __ramfunc_end[], __ramfunc_load[];
extern uint32_t __bss_start[], __bss_end[];
extern uint32_t __stack_top[];

void *memcpy(void *dst, const void *src, size_t n);
void *memset(void *dst, int value, size_t n);

int main(void);
void reset_handler(void);
void default_handler(void);
void tick_handler(void);

/* strings.c */
extern const char *const message_table[];
extern const uint8_t message_count;
const char *message_at(unsigned index);

/* data.c */
extern uint32_t tick_count;
extern uint8_t rx_buffer[128];
extern uint32_t calibration[8];
extern uint32_t boot_magic;
extern uint32_t crash_log[16];

/* ramfunc.c: runs from RAM so that it keeps working while flash is busy. */
uint32_t crc32_update(uint32_t crc, const uint8_t *data, size_t length);

/* shapes.cpp */
int shapes_checksum(int seed);

#endif
