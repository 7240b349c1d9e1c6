/* The process entry of comenrol.exe on Windows CE on MIPS, with its
   structured-exception guard.

   CE calls the entry as a C function: a0-a3 = instance, previous instance,
   argument text, show state, sp 8-aligned with the caller's 16-byte home
   area above it, and takes the status from v0 to end the process. The entry
   calls ComenrolEntry with the same four values and returns its status.

   The call is one guarded scope. An exception that escapes it reaches
   COREDLL's C language handler (ordinal 87), named with the scope table in
   the entry's exception record (the converter writes both from
   __eh_comenrol_start). The handler asks comenrol_exception_filter, which
   hands the runtime's filter (ordinal 1645) the exception code and pointers,
   once, and returns its verdict: unchanged in a run that may show boxes; in
   one that shows none, a verdict to decline or resume becomes one to run the
   handler. When the verdict is to run the handler, the system unwinds to this
   frame and resumes at comenrol_start_leave with the entry's body sp and
   v0 = the exception code, so the entry returns the code.

   The system walks frames by undoing prologs from their start: each prolog
   here is the sp adjustment, then the saves, nothing else, and no save lies
   in a delay slot. The scope covers the delay slot of the jal into the run,
   which is where the system places a frame that called on. Nothing here reads
   the CONTEXT, whose layout differs between the kernel families. */

    .set noreorder
    .set nomacro


    .section .text.comenrol_start,"ax",@progbits
    .align 2
    .globl comenrol_start
    .type comenrol_start, @function
comenrol_start:
    addiu   $sp, $sp, -24               /* a home area for the callee, ra, 8-aligned */
    sw      $ra, 20($sp)
comenrol_guard_begin:
    jal     ComenrolEntry               /* a0-a3 as CE passed them */
    nop
comenrol_guard_end:
comenrol_start_leave:                   /* v0 = the status, or the exception code */
    lw      $ra, 20($sp)
    jr      $ra
    addiu   $sp, $sp, 24
    .size comenrol_start, . - comenrol_start

/* Called by the language handler with a0 = EXCEPTION_POINTERS*; returns
   what the runtime's filter says about the exception. */
    .section .text.comenrol_exception_filter,"ax",@progbits
    .align 2
    .type comenrol_exception_filter, @function
comenrol_exception_filter:
    addiu   $sp, $sp, -24
    sw      $ra, 20($sp)
    lw      $t0, 0($a0)                 /* the exception record */
    move    $a1, $a0                    /* the exception pointers */
    lw      $a0, 0($t0)                 /* its code */
    lui     $t9, %hi(comenrol_import_FilterException)
    lw      $t9, %lo(comenrol_import_FilterException)($t9)
    jalr    $t9
    nop
    /* A run that shows no box takes every exception the runtime declines (0)
       or would resume (negative): left to the system, it would end in a
       fault box that nobody is there to answer. */
    lui     $t0, %hi(comenrol_run_shows_no_box)
    lbu     $t0, %lo(comenrol_run_shows_no_box)($t0)
    beq     $t0, $zero, 1f
    slti    $t1, $v0, 1
    beq     $t1, $zero, 1f
    nop
    addiu   $v0, $zero, 1               /* execute the handler */
1:  lw      $ra, 20($sp)
    jr      $ra
    addiu   $sp, $sp, 24
    .size comenrol_exception_filter, . - comenrol_exception_filter

/* The language handler the system calls as code: on to COREDLL's through its
   import slot, with a0-a3 and ra as they came. */
    .section .text.comenrol_exception_handler,"ax",@progbits
    .align 2
    .type comenrol_exception_handler, @function
comenrol_exception_handler:
    lui     $t9, %hi(comenrol_import_HandleException)
    lw      $t9, %lo(comenrol_import_HandleException)($t9)
    jr      $t9
    nop
    .size comenrol_exception_handler, . - comenrol_exception_handler

/* The entry's exception data, for the converter: the language handler, and
   the scope table it reads (a count, then per scope its first instruction,
   the one after its last, its filter and where the handler resumes). */
    .section .rodata.comenrol_exception_data,"a",@progbits
    .align 2
    .type __eh_comenrol_start, @object
    .size __eh_comenrol_start, 8
__eh_comenrol_start:
    .word   comenrol_exception_handler
    .word   comenrol_scope_table
comenrol_scope_table:
    .word   1
    .word   comenrol_guard_begin, comenrol_guard_end
    .word   comenrol_exception_filter, comenrol_start_leave
