#!/usr/bin/env bash
# Exits 0 when this machine's kernel runs 32-bit x86 programs, which a 32-bit Wine (Debian's
# wine32:i386) is. Kernels built with IA-32 emulation off by default refuse them ("Exec format
# error") unless booted with ia32_emulation=on. The probe is the smallest such program: a
# static i386 ELF file whose only instructions are exit(0).
set -euo pipefail

probe=$(mktemp /tmp/tervan-ia32-probe.XXXXXX)
trap 'rm -f "$probe"' EXIT
{
    # ELF header: 32-bit, little-endian, executable, i386, entry 0x08048054, one program header.
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
    printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
    # Program header: the whole file loaded at 0x08048000, readable and executable.
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
    printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    # xor ebx, ebx; mov eax, 1; int 0x80
    printf '\x31\xdb\xb8\x01\x00\x00\x00\xcd\x80'
} >"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null
