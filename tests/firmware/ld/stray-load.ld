/* .data stored by AT (address) at an address that lies in no MEMORY region
   (past the end of the flash): the linker says nothing, and the map shows
   the load address with no region to hold it. */
ENTRY(reset_handler)

MEMORY
{
    FLASH (rx)   : ORIGIN = 0x08000000, LENGTH = 256K
    RAM (rwx)    : ORIGIN = 0x20000000, LENGTH = 32K
    BKPSRAM (rw) : ORIGIN = 0x40024000, LENGTH = 4K
}

_estack = ORIGIN(RAM) + LENGTH(RAM);

SECTIONS
{
    .isr_vector : { KEEP(*(.isr_vector)) } > FLASH
    .text :
    {
        *(.text*)
        *(.rodata*)
        *(.overlay_*)
        *(.board_id)
        . = ALIGN(4);
        _etext = .;
    } > FLASH

    .data : AT (0x08090000)
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

    .bss : { _sbss = .; *(.bss*) *(COMMON) . = ALIGN(4); _ebss = .; } > RAM
    .noinit (NOLOAD) : { *(.noinit*) *(.ccmbss*) } > RAM
    .bkpsram (NOLOAD) : { *(.bkpsram*) } > BKPSRAM
}
