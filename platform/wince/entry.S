@ The process entry of comenrol.exe on Windows CE (ARM state), with its
@ structured-exception guard.
@
@ CE calls the entry with r0-r3 = instance, previous instance, argument text,
@ show state, and a stack that is only 4-byte aligned. It realigns the stack to
@ the 8 bytes the compiled code assumes, runs the initialiser tables, calls
@ ComenrolEntry with the four values and returns its status in r0; CE ends the
@ process with that status.
@
@ The initialiser tables and the run are one guarded scope. An exception that
@ escapes them reaches COREDLL's C language handler (ordinal 87), named in the
@ two words in front of comenrol_start, which the kernel finds through the
@ entry's .pdata record. The handler reads comenrol_scope_table and asks
@ comenrol_exception_filter, which hands the runtime's filter (ordinal 1645)
@ the exception code and pointers and returns its verdict, unchanged in a run
@ that may show boxes; in one that shows none, a verdict to decline or resume
@ becomes one to run the handler (see the filter). When the
@ verdict is to run the handler, the kernel unwinds to this frame and resumes
@ at comenrol_start_leave with r0 = the exception code, so the entry returns
@ the code and CE ends the process with it.
@
@ The kernel can only walk frames whose prologs it can reverse: each prolog
@ here is mov r12, sp; stmdb sp!, {..., r11, r12, lr}; add r11, sp, #n, so
@ that r11 is the sp on entry and the stm is read back through it, since the
@ body moves sp (the realignment) in a way no unwinder could undo. Never a pc
@ in the stm: the kernel takes that for a trap frame.
@
@ Calls through a pointer are "mov lr, pc; bx rN" and returns "bx lr"; the
@ link routes each bx through a veneer that enters ARM code with mov pc (all an
@ ARMv4 core ever runs) and Thumb code with bx.

    .syntax unified
    .arm

    .section .text.comenrol_start,"ax",%progbits
    .balign 4
    @ The entry's exception-handling data, read by the kernel from the 8 bytes
    @ just before the function: the language handler and its scope table.
    .type __eh_comenrol_start, %object
    .size __eh_comenrol_start, 8
__eh_comenrol_start:
    .word   comenrol_exception_handler
    .word   comenrol_scope_table

    .global comenrol_start
    .type comenrol_start, %function
comenrol_start:
    mov     r12, sp
    stmdb   sp!, {r4, r5, r11, r12, lr}
    add     r11, sp, #20                @ the sp on entry; the stm ends just below it
comenrol_guard_begin:
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
comenrol_guard_end:
comenrol_start_leave:                   @ r0 = the status, or the exception code
    ldmdb   r11, {r4, r5, r11, sp, lr}
    bx      lr
    .ltorg
    .size comenrol_start, . - comenrol_start

@ The scopes of comenrol_start: a count, then per scope its first instruction,
@ the one after its last, its filter and where the handler resumes.
    .section .rodata.comenrol_scope_table,"a",%progbits
    .balign 4
    .type comenrol_scope_table, %object
    .size comenrol_scope_table, 20
comenrol_scope_table:
    .word   1
    .word   comenrol_guard_begin, comenrol_guard_end
    .word   comenrol_exception_filter, comenrol_start_leave

@ Called by the language handler with r0 = EXCEPTION_POINTERS* and r11 = the
@ entry's frame; returns what the runtime's filter says about the exception.
    .section .text.comenrol_exception_filter,"ax",%progbits
    .balign 4
    .type comenrol_exception_filter, %function
comenrol_exception_filter:
    mov     r12, sp
    stmdb   sp!, {r11, r12, lr}
    add     r11, sp, #12
    bic     sp, sp, #7
    mov     r1, r0                      @ the exception pointers
    ldr     r0, [r0]                    @ their exception record
    ldr     r0, [r0]                    @ its code
    ldr     r3, =comenrol_import_FilterException
    ldr     r3, [r3]
    mov     lr, pc
    bx      r3
    @ A run that shows no box takes every exception the runtime declines (0)
    @ or would resume (negative): left to the system, it would end in a fault
    @ box that nobody is there to answer, and on some devices the process
    @ waits for that box for ever. The status is then the exception code.
    ldr     r1, =comenrol_run_shows_no_box
    ldrb    r1, [r1]
    cmp     r1, #0
    beq     1f
    cmp     r0, #0
    movle   r0, #1                      @ execute the handler
1:  ldmdb   r11, {r11, sp, lr}
    bx      lr
    .ltorg
    .size comenrol_exception_filter, . - comenrol_exception_filter

@ The language handler the kernel calls as code: on to COREDLL's through its
@ import slot, with r0-r3 and lr as they came.
    .section .text.comenrol_exception_handler,"ax",%progbits
    .balign 4
    .type comenrol_exception_handler, %function
comenrol_exception_handler:
    ldr     r12, =comenrol_import_HandleException
    ldr     r12, [r12]
    bx      r12
    .ltorg
    .size comenrol_exception_handler, . - comenrol_exception_handler
