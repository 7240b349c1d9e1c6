@ The process entry of comenrol.exe on Compact 2013 (Thumb-2), and its guard.
@
@ COREDLL's start routine calls the entry with r0-r3 = instance, previous
@ instance, argument text, show state, and hands the status it returns to
@ ExitThread; the main thread's exit code is the process's.
@
@ The guard is the entry's exception handler, named in its .xdata record. The
@ system calls it, with r0 = the exception record, for an exception that no
@ frame below the entry took: a fault or raise inside the module's entry. It
@ ends the process at once through ExitThread with the exception code as the
@ status, before the device's own treatment of an unhandled exception (a
@ debugger or error-report hook that may wait for a person) is ever reached.
@ When the system unwinds through the entry it only declines.
@
@ Every function carries unwind codes for each prolog and epilog instruction,
@ so the system can walk from any instruction back to the entry's caller.

    .syntax unified
    .thumb

    .text
    .globl comenrol_start
    .def comenrol_start
    .scl 2
    .type 32
    .endef
    .p2align 1
    .thumb_func
comenrol_start:
    .seh_proc comenrol_start
    push    {r4, lr}                    @ r4 keeps sp 8-byte aligned
    .seh_save_regs {r4, lr}
    .seh_endprologue
    bl      ComenrolEntry
    nop                                 @ the return address lies in the body too,
                                        @ where the handler is called from
    .seh_startepilogue
    pop     {r4, pc}
    .seh_save_regs {r4, pc}
    .seh_endepilogue
    .seh_handler comenrol_guard, %except
    .seh_handlerdata
    .long   0                           @ the handler reads no data
    .text
    .seh_endproc

    .def comenrol_guard
    .scl 3
    .type 32
    .endef
    .p2align 1
    .thumb_func
comenrol_guard:
    .seh_proc comenrol_guard
    push    {r4, lr}
    .seh_save_regs {r4, lr}
    .seh_endprologue
    ldr     r1, [r0, #4]                @ the record's flags
    tst     r1, #6                      @ unwinding, or unwinding to exit
    bne     1f
    ldr     r0, [r0]                    @ the exception code: the status
    movw    r1, :lower16:__imp_comenrol_import_ExitThread
    movt    r1, :upper16:__imp_comenrol_import_ExitThread
    ldr     r1, [r1]
    blx     r1                          @ does not return
1:  movs    r0, #1                      @ continue the search
    .seh_startepilogue
    pop     {r4, pc}
    .seh_save_regs {r4, pc}
    .seh_endepilogue
    .seh_endproc
