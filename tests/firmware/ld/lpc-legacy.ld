/* The layout of many older vendor scripts: .data loaded with AT (_etext)
   rather than AT> FLASH, so ld gives every later RAM section a load address
   at the same distance, whether it has contents or not. */
ENTRY(reset_handler)

MEMORY
{
    FLASH (rx)  : ORIGIN = 0x00000000, LENGTH = 128K
    RAM (rwx)   : ORIGIN = 0x10000000, LENGTH = 32K
    BKPSRAM (rw): ORIGIN = 0x20080000, LENGTH = 2K
}

_estack = ORIGIN(RAM) + LENGTH(RAM);

SECTIONS
{
    .text :
    {
        KEEP(*(.isr_vector))
        *(.text*)
        *(.rodata*)
        /* An orphan here would take the load address of .data too. */
        *(.overlay_*)
        *(.board_id)
        . = ALIGN(4);
        _etext = .;
    } > FLASH

    .data : AT (_etext)
    {
        _sdata = .;
        *(.data*)
        _sccm = .;
        *(.ccmram*)
        _eccm = .;
        . = ALIGN(4);
        _edata = .;
    } > RAM
    _sidata = LOADADDR(.data);
    _siccm = _sidata + (_sccm - _sdata);

    .bss :
    {
        _sbss = .;
        *(.bss*)
        *(COMMON)
        . = ALIGN(4);
        _ebss = .;
    } > RAM

    .ccmbss (NOLOAD) : { *(.ccmbss*) } > RAM
    .noinit (NOLOAD) : { *(.noinit*) } > RAM
    .bkpsram (NOLOAD) : { *(.bkpsram*) } > BKPSRAM

    .stack (NOLOAD) :
    {
        . = ALIGN(8);
        . = . + 0x400;
    } > RAM
}
