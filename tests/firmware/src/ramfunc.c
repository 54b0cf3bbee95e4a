/* CRC-32 (reflected, polynomial 0xEDB88320), bit by bit to stay small. */
#include "firmware.h"

__attribute__((section(".ramfunc"), noinline))
uint32_t crc32_update(uint32_t crc, const uint8_t *data, size_t length)
{
    crc = ~crc;
    while (length--) {
        crc ^= *data++;
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}
