#!/usr/bin/env bash
# Makes the test images of one program with Debian's binutils-arm-none-eabi: the ELF and, from
# it, the raw image, Intel HEX and S-records that the image file tests compare.
set -euo pipefail
cd "$(dirname "$0")"
arm-none-eabi-as -o program.o program.s
arm-none-eabi-ld -n -T program.ld -o program.elf program.o
arm-none-eabi-strip program.elf
arm-none-eabi-objcopy -O binary --gap-fill 0xff program.elf program.bin
arm-none-eabi-objcopy -O ihex program.elf program.hex
arm-none-eabi-objcopy -O srec program.elf program.srec
rm program.o
