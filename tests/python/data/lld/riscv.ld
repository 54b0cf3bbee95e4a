/* RISC-V: the regions come from memory.x; .bss follows the copied .data, so
   lld gives it a load address in flash that holds nothing. */
INCLUDE memory.x
ENTRY(reset_handler)
SECTIONS
{
  .vectors : { KEEP(*(.vectors)) } > FLASH
  .text : { *(.text*) } > FLASH
  .rodata : ALIGN(16) { *(.rodata*) *(.srodata*) } > FLASH
  .data : { *(.data*) *(.sdata*) *(.ramfunc*) } > RAM AT> FLASH
  .bss : { *(.bss*) *(.sbss*) *(COMMON) } > RAM AT> FLASH
  .stack (NOLOAD) : ALIGN(16) { *(.stack) . = ALIGN(16); } > RAM_HI
  _estack = ADDR(.stack) + SIZEOF(.stack);
}
