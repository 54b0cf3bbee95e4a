/* One layout for every 32-bit target; memory.ld (found through -L) gives the
   regions.  GNU ld and lld both read it. */
INCLUDE memory.ld

ENTRY(reset_handler)

STACK_SIZE = 0x800;
HEAP_SIZE = 0x400;

SECTIONS
{
    .vectors : ALIGN(4)
    {
        KEEP(*(.vectors))
    } > FLASH

    .text : ALIGN(4)
    {
        *(.text .text.*)
        . = ALIGN(4);
    } > FLASH

    .rodata : ALIGN(4)
    {
        *(.rodata .rodata.* .srodata .srodata.*)
        . = ALIGN(4);
    } > FLASH

    /* Runs from RAM, stored in flash; reset_handler copies it. */
    .ramfunc : ALIGN(4)
    {
        __ramfunc_start = .;
        *(.ramfunc .ramfunc.*)
        . = ALIGN(4);
        __ramfunc_end = .;
    } > RAM AT > FLASH
    __ramfunc_load = LOADADDR(.ramfunc);

    .data : ALIGN(4)
    {
        __data_start = .;
        *(.data .data.* .sdata .sdata.*)
        . = ALIGN(4);
        __data_end = .;
    } > RAM AT > FLASH
    __data_load = LOADADDR(.data);

    .bss : ALIGN(4)
    {
        __bss_start = .;
        *(.bss .bss.* .sbss .sbss.* COMMON)
        . = ALIGN(4);
        __bss_end = .;
    } > RAM

    /* Kept across a reset: reset_handler leaves it alone. */
    .noinit (NOLOAD) : ALIGN(4)
    {
        *(.noinit .noinit.*)
    } > RAM

    .heap (NOLOAD) : ALIGN(8)
    {
        __heap_start = .;
        . = . + HEAP_SIZE;
        __heap_end = .;
    } > RAM

    .stack (NOLOAD) : ALIGN(8)
    {
        __stack_bottom = .;
        . = . + STACK_SIZE;
        __stack_top = .;
    } > RAM
}
