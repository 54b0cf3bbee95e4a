/* Zeroed data in a section that the script does not name: ld makes it an
   orphan output section after .data, and, the compiler having made it
   PROGBITS, stores its zeros in flash like .data's. */
#include <stdint.h>

__attribute__((section(".sram2_bss"))) uint32_t sram2_pool[6];
