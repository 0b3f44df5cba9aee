@ A small program for the image file tests: vectors and code in flash, a gap, a constant
@ table further up, initialised data stored in flash but run from RAM, and zeroed data.
    .syntax unified
    .arm
    .section .vectors, "ax"
    .global _start
_start:
    b reset
    .rept 7
    b .
    .endr
reset:
    ldr r0, =data_load
    ldr r1, =data_start
    ldr r2, =data_end
copy:
    cmp r1, r2
    ldrlo r3, [r0], #4
    strlo r3, [r1], #4
    blo copy
    ldr r4, =table
    ldr r5, =counter
    ldr r6, [r4]
    str r6, [r5]
    b .

    .section .table, "a"
table:
    .word 0x12345678, 0x9abcdef0, 0x0badf00d

    .data
greeting:
    .ascii "TERVAN\r\n"
    .word 0xdeadbeef

    .bss
counter:
    .space 64
