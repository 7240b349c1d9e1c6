@ The process entry of comenrol.exe on Windows CE (ARM state).
@
@ CE calls it with r0-r3 = instance, previous instance, argument text, show
@ state, and a stack that is only 4-byte aligned. It realigns the stack to the
@ 8 bytes the compiled code assumes, runs the initialiser tables, calls
@ ComenrolEntry with the four values and returns its status in r0; CE ends the
@ process with that status. Calls through a pointer are "mov lr, pc; bx rN",
@ which the link routes through a veneer that enters ARM code with mov pc (all
@ an ARMv4 core ever runs) and Thumb code with bx.

    .syntax unified
    .arm
    .section .text.comenrol_start,"ax",%progbits
    .balign 4
    .global comenrol_start
    .type comenrol_start, %function
comenrol_start:
    stmfd   sp!, {r4-r6, lr}
    mov     r6, sp                      @ the caller's stack pointer, restored on return
    bic     sp, sp, #7
    sub     sp, sp, #16
    stmia   sp, {r0-r3}                 @ keep the four entry values across the initialisers
    ldr     r4, =__init_tables_start
    ldr     r5, =__init_tables_end
1:  cmp     r4, r5
    bhs     2f
    ldr     r3, [r4], #4
    mov     lr, pc
    bx      r3
    b       1b
2:  ldmia   sp, {r0-r3}
    bl      ComenrolEntry
    mov     sp, r6
    ldmfd   sp!, {r4-r6, lr}
    bx      lr
    .size comenrol_start, . - comenrol_start
    .ltorg
