/* An STM32F4-style layout for GNU ld: flash, RAM, core-coupled RAM and
   backup SRAM.  What it exercises: initialised data of two RAMs loaded from
   flash, a NOLOAD section that follows them and inherits a load address it
   does not use, an overlay of two routines, fill by ALIGN, FILL and
   ". = . + N" around data statements, an orphan section, an empty output
   section and a heap-and-stack reservation. */
ENTRY(reset_handler)

MEMORY
{
    FLASH (rx)   : ORIGIN = 0x08000000, LENGTH = 512K
    RAM (xrw)    : ORIGIN = 0x20000000, LENGTH = 128K
    CCMRAM (xrw) : ORIGIN = 0x10000000, LENGTH = 64K
    BKPSRAM (rw) : ORIGIN = 0x40024000, LENGTH = 4K
}

_estack = ORIGIN(RAM) + LENGTH(RAM);
_Min_Heap_Size = 0x200;
_Min_Stack_Size = 0x400;

SECTIONS
{
    .isr_vector :
    {
        . = ALIGN(4);
        KEEP(*(.isr_vector))
        . = ALIGN(4);
    } >FLASH

    .text :
    {
        . = ALIGN(4);
        *(.text)
        *(.text*)
        *(.glue_7)
        *(.glue_7t)
        KEEP(*(.init))
        KEEP(*(.fini))
        . = ALIGN(4);
        _etext = .;
    } >FLASH

    .rodata :
    {
        . = ALIGN(4);
        *(.rodata)
        *(.rodata*)
        . = ALIGN(4);
    } >FLASH

    /* A version byte, a word at the next 256-byte boundary, then 20 bytes
       of a fill pattern. */
    .padded :
    {
        BYTE(0x11)
        . = ALIGN(256);
        LONG(0xCAFEBABE)
        FILL(0xDEADBEEF);
        . = . + 20;
    } >FLASH

    OVERLAY : NOCROSSREFS
    {
        .overlay_dsp { KEEP(*(.overlay_dsp)) }
        .overlay_usb { KEEP(*(.overlay_usb)) }
    } >RAM AT>FLASH

    _sidata = LOADADDR(.data);
    .data :
    {
        . = ALIGN(4);
        _sdata = .;
        *(.data)
        *(.data*)
        . = ALIGN(4);
        _edata = .;
    } >RAM AT>FLASH

    _siccm = LOADADDR(.ccmram);
    .ccmram :
    {
        . = ALIGN(4);
        _sccm = .;
        *(.ccmram)
        *(.ccmram*)
        . = ALIGN(4);
        _eccm = .;
    } >CCMRAM AT>FLASH

    /* ld gives it the load address that follows .ccmram's, and stores
       nothing there. */
    .ccmbss (NOLOAD) :
    {
        *(.ccmbss*)
    } >CCMRAM

    .bss :
    {
        _sbss = .;
        *(.bss)
        *(.bss*)
        *(COMMON)
        . = ALIGN(4);
        _ebss = .;
    } >RAM

    .noinit (NOLOAD) : { *(.noinit*) } >RAM

    ._user_heap_stack :
    {
        . = ALIGN(8);
        PROVIDE(end = .);
        . = . + _Min_Heap_Size;
        . = . + _Min_Stack_Size;
        . = ALIGN(8);
    } >RAM

    .bkpsram (NOLOAD) : { *(.bkpsram*) } >BKPSRAM

    .unused_slot : { *(.unused_slot) } >FLASH

    .ARM.attributes 0 : { *(.ARM.attributes) }
}
