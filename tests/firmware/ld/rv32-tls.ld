/* A RISC-V layout for lld with thread-local data: the .tdata template is
   stored in flash, .tbss takes no room of its own.  The stack size comes
   from the command line (--defsym), and .padded has fill by ALIGN and
   ". += N" around data statements. */
ENTRY(reset_handler)

MEMORY
{
    ROM (rx)   : ORIGIN = 0x20000000, LENGTH = 128K
    RAM (rw)   : ORIGIN = 0x80000000, LENGTH = 32K
    CCM (rw)   : ORIGIN = 0x90000000, LENGTH = 8K
    BKP (rw)   : ORIGIN = 0x90010000, LENGTH = 1K
}

_estack = ORIGIN(RAM) + LENGTH(RAM);

SECTIONS
{
    .isr_vector : { KEEP(*(.isr_vector)) } >ROM
    .text : { *(.text .text.*) } >ROM
    .rodata : { *(.rodata .rodata.* .srodata .srodata.*) . = ALIGN(4); } >ROM

    .padded :
    {
        BYTE(0x11)
        . = ALIGN(256);
        LONG(0xCAFEBABE)
        . += 20;
    } >ROM

    .tdata : { *(.tdata .tdata.*) } >RAM AT>ROM
    .tbss : { *(.tbss .tbss.*) } >RAM AT>ROM

    _sidata = LOADADDR(.data);
    .data : ALIGN(8)
    {
        _sdata = .;
        *(.data .data.* .sdata .sdata.*)
        . = ALIGN(8);
        _edata = .;
    } >RAM AT>ROM

    _siccm = LOADADDR(.ccmram);
    .ccmram : { _sccm = .; *(.ccmram*) . = ALIGN(4); _eccm = .; } >CCM AT>ROM
    .ccmbss (NOLOAD) : { *(.ccmbss*) } >CCM

    .bss : ALIGN(8)
    {
        _sbss = .;
        *(.sbss .sbss.* .bss .bss.* COMMON)
        . = ALIGN(8);
        _ebss = .;
    } >RAM

    .noinit (NOLOAD) : { *(.noinit*) } >RAM
    .bkpsram (NOLOAD) : { *(.bkpsram*) } >BKP

    .stack (NOLOAD) : ALIGN(16)
    {
        . += __stack_size;
    } >RAM
}
