/* Cortex-M: code and constants in flash, data copied to RAM, zeroed data and
   the stack reserved in RAM. */
MEMORY
{
  FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 256K
  RAM (rwx)  : ORIGIN = 0x20000000, LENGTH = 64K
}
ENTRY(reset_handler)
SECTIONS
{
  .vectors : { KEEP(*(.vectors)) } > FLASH
  .text : { *(.text*) } > FLASH
  .rodata : ALIGN(16) { *(.rodata*) } > FLASH
  .data : { *(.data*) *(.ramfunc*) } > RAM AT> FLASH
  .bss (NOLOAD) : { *(.bss*) *(COMMON) } > RAM
  .stack (NOLOAD) : ALIGN(8) { *(.stack) } > RAM
  _estack = ADDR(.stack) + SIZEOF(.stack);
}
