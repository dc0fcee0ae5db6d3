#!/usr/bin/env bash
# Usage: check_kernel_code.sh LIBRARY
# Reads the machine code of the three kernels as the product's build made it:
# one 8-byte store per element and per block, no bulk fill, no vector stores.
set -euo pipefail
library=$1
listing=$(objdump -dr --no-show-raw-insn "$library")

kernel_code() {  # the disassembly of one function, by its mangled name
  awk -v name="<$1>:" '$2 == name {found=1; next} found && /^$/ {exit} found' <<<"$listing"
}

status=0
for kernel in allocation_power_test low_speed_test high_speed_test; do
  mangled="_ZN10vellastron${#kernel}${kernel}Ev"
  code=$(kernel_code "$mangled")
  if [ -z "$code" ]; then
    echo "FAIL $kernel: not found in $library"; status=1; continue
  fi
  if grep -Eq '%[xyz]mm|rep stos|memset|memcpy' <<<"$code"; then
    echo "FAIL $kernel: vector registers or a bulk fill in the loop:"; grep -E '%[xyz]mm|rep stos|memset|memcpy' <<<"$code"; status=1
  fi
  # 64-bit stores to memory (mov %r64,(...)): the block or element, and sink.
  stores=$(grep -Ec 'mov +%r[a-z0-9]+,-?(0x[0-9a-f]+)?\(' <<<"$code" || true)
  if [ "$stores" -lt 1 ]; then
    echo "FAIL $kernel: no 8-byte store to memory"; status=1
  fi
  calls=$(grep -Ec 'call' <<<"$code" || true)
  echo "$kernel: $stores 8-byte stores, $calls calls"
done
# The allocating kernels call operator new (and delete) in their loops.
for kernel in allocation_power_test low_speed_test high_speed_test; do
  mangled="_ZN10vellastron${#kernel}${kernel}Ev"
  grep -q '_Znwm\|_Znam' <<<"$(kernel_code "$mangled")" || { echo "FAIL $kernel: no call to operator new"; status=1; }
done
grep -q '_ZdlPvm\|_ZdlPv' <<<"$(kernel_code _ZN10vellastron21allocation_power_testEv)" ||
  { echo "FAIL allocation_power_test: no call to operator delete"; status=1; }
exit $status
