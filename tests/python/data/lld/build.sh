#!/bin/sh
# Rebuilds the lld maps and the readelf listings of their ELF files from
# firmware.c and app.cpp with Debian's clang and lld (apt-get install clang lld).
# The outputs are committed; the tests read them and do not need the tools.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
flags="-O1 -ffreestanding -nostdlib -ffunction-sections -fdata-sections -fno-exceptions -fno-rtti"
build() {  # name target script extra-flags
    clang --target="$2" $4 $flags -c firmware.c -o "$work/firmware.o"
    clang++ --target="$2" $4 $flags -c app.cpp -o "$work/app.o"
    # The objects go through an archive, so that maps show archive members.
    llvm-ar rc "$work/libapp.a" "$work/app.o" 2>/dev/null || ar rc "$work/libapp.a" "$work/app.o"
    (cd "$work" && ld.lld -T "$OLDPWD/$3" -L "$OLDPWD" -Map="$1.map" firmware.o libapp.a -o "$1.elf")
    sed "s|$work/||g" "$work/$1.map" > "$1.map"
    readelf -S -s -l -W "$work/$1.elf" > "$1.readelf.txt"
}
build thumbv7em thumbv7em-none-eabi thumb.ld "-mcpu=cortex-m4 -mthumb"
build riscv32 riscv32-unknown-elf riscv.ld "-march=rv32imac -mabi=ilp32"
