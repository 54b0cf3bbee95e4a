/* Regions too small for the firmware: linked with --noinhibit-exec, GNU ld
   reports that FLASH and RAM overflow and still writes the map and the ELF,
   placing what does not fit past the end of each region: in no region after
   RAM, in CONFIG, which starts where FLASH ends, after FLASH. */
ENTRY(reset_handler)

MEMORY
{
    FLASH (rx)   : ORIGIN = 0x08000000, LENGTH = 256
    CONFIG (r)   : ORIGIN = 0x08000100, LENGTH = 1K
    RAM (rwx)    : ORIGIN = 0x20000000, LENGTH = 1K
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

    .data :
    {
        _sdata = .;
        *(.data*)
        _sccm = .;
        *(.ccmram*)
        _eccm = .;
        . = ALIGN(4);
        _edata = .;
    } > RAM AT > FLASH
    _sidata = LOADADDR(.data);
    _siccm = _sidata + (_sccm - _sdata);

    .bss : { _sbss = .; *(.bss*) *(COMMON) . = ALIGN(4); _ebss = .; } > RAM
    .noinit (NOLOAD) : { *(.noinit*) *(.ccmbss*) } > RAM
    .bkpsram (NOLOAD) : { *(.bkpsram*) } > BKPSRAM
    .config : { LONG(0x12345678) } > CONFIG
}
