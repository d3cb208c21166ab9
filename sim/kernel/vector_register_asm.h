// The sixteen vector registers saved to, and restored from, the 256 bytes
// at the stack pointer: for the assembly stubs that keep every register of
// the code they stand between (kernel-entry thunks, the emulation trampoline).
#pragma once

#define SIM_ASM_SAVE_VECTOR_REGISTERS \
  "  movdqu %xmm0, 0(%rsp)\n" \
  "  movdqu %xmm1, 16(%rsp)\n" \
  "  movdqu %xmm2, 32(%rsp)\n" \
  "  movdqu %xmm3, 48(%rsp)\n" \
  "  movdqu %xmm4, 64(%rsp)\n" \
  "  movdqu %xmm5, 80(%rsp)\n" \
  "  movdqu %xmm6, 96(%rsp)\n" \
  "  movdqu %xmm7, 112(%rsp)\n" \
  "  movdqu %xmm8, 128(%rsp)\n" \
  "  movdqu %xmm9, 144(%rsp)\n" \
  "  movdqu %xmm10, 160(%rsp)\n" \
  "  movdqu %xmm11, 176(%rsp)\n" \
  "  movdqu %xmm12, 192(%rsp)\n" \
  "  movdqu %xmm13, 208(%rsp)\n" \
  "  movdqu %xmm14, 224(%rsp)\n" \
  "  movdqu %xmm15, 240(%rsp)\n"

#define SIM_ASM_RESTORE_VECTOR_REGISTERS \
  "  movdqu 0(%rsp), %xmm0\n" \
  "  movdqu 16(%rsp), %xmm1\n" \
  "  movdqu 32(%rsp), %xmm2\n" \
  "  movdqu 48(%rsp), %xmm3\n" \
  "  movdqu 64(%rsp), %xmm4\n" \
  "  movdqu 80(%rsp), %xmm5\n" \
  "  movdqu 96(%rsp), %xmm6\n" \
  "  movdqu 112(%rsp), %xmm7\n" \
  "  movdqu 128(%rsp), %xmm8\n" \
  "  movdqu 144(%rsp), %xmm9\n" \
  "  movdqu 160(%rsp), %xmm10\n" \
  "  movdqu 176(%rsp), %xmm11\n" \
  "  movdqu 192(%rsp), %xmm12\n" \
  "  movdqu 208(%rsp), %xmm13\n" \
  "  movdqu 224(%rsp), %xmm14\n" \
  "  movdqu 240(%rsp), %xmm15\n"
