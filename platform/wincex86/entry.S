/* The process entry of comenrol.exe on Windows CE x86, with its
   structured-exception guard, and the load configuration that names the
   guard's handler.

   CE calls the entry as a caller-cleans function with the instance, the
   previous instance, the argument text and the show state on the stack (CE
   5.0 pushes three more values, which the caller removes), a stack that is
   only 4-byte aligned, and takes the status from eax to end the process.
   comenrol_start links a registration record {next, handler} into the
   thread's exception chain at fs:[0], runs ComenrolEntry with the four values
   and unlinks the record again on its one way out, comenrol_start_leave. It
   keeps ebx, esi, edi and ebp for its caller itself: code that faulted may
   have left anything in them.

   Its frame, from ebp down: saved ebp, ebx, esi, edi, then the record (its
   handler word, then its next word at ebp - 20), which is where esp stands
   at comenrol_start_leave. */

#define RECORD_FROM_FRAME 20

/* The dispatcher's exception record, the CONTEXT it resumes from, and its
   answers. */
#define EXCEPTION_CODE 0
#define EXCEPTION_FLAGS 4
#define EXCEPTION_UNWIND 6 /* unwinding or exit unwind */
#define CONTEXT_EAX 0xB0
#define CONTEXT_EBP 0xB4
#define CONTEXT_EIP 0xB8
#define CONTEXT_ESP 0xC4
#define CONTINUE_EXECUTION 0
#define CONTINUE_SEARCH 1
#define EXECUTE_HANDLER 4

    .text
    .globl _comenrol_start
    .def _comenrol_start; .scl 2; .type 32; .endef
_comenrol_start:
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    pushl   $_comenrol_exception_handler
    pushl   %fs:0
    movl    %esp, %fs:0                 /* the record heads the chain */
    pushl   20(%ebp)                    /* show state */
    pushl   16(%ebp)                    /* argument text */
    pushl   12(%ebp)                    /* previous instance */
    pushl   8(%ebp)                     /* instance */
    call    _ComenrolEntry
    addl    $16, %esp
/* eax = the status, or the exception code when the handler resumes here with
   esp = the record and ebp = the frame; the direction flag may then be set. */
comenrol_start_leave:
    cld
    popl    %fs:0                       /* the chain as the entry found it */
    popl    %ecx                        /* the handler word */
    popl    %edi
    popl    %esi
    popl    %ebx
    popl    %ebp
    ret

/* The record's handler, called by the dispatcher as
   handler(exception record, registration record, context, dispatcher
   context), caller-cleans, with the faulting code's direction flag. An unwind
   passes by. */
    .globl _comenrol_exception_handler
    .def _comenrol_exception_handler; .scl 2; .type 32; .endef
#ifdef COMENROL_WINCE2013
/* Compact 2013: any other exception ends the process at once, through
   ExitThread on this, the main, thread, with the exception code as the status,
   and no box, silent or not. This generation has no runtime filter in COREDLL,
   nothing else would take the exception, and a box would wait on a panel that
   nobody may watch. */
_comenrol_exception_handler:
    cld
    movl    4(%esp), %ecx               /* the exception record */
    movl    $CONTINUE_SEARCH, %eax
    testl   $EXCEPTION_UNWIND, EXCEPTION_FLAGS(%ecx)
    jnz     1f
    pushl   EXCEPTION_CODE(%ecx)
    call    *__imp__comenrol_import_ExitThread
1:  ret
#else
/* CE 4.20 to 7: the runtime's filter (ordinal 1645) is asked once with
   the code and the exception pointers: a positive verdict resumes the entry at
   comenrol_start_leave with the code as the status, the dispatcher having
   unwound the records above this one. A run that shows no box takes every
   verdict so, since nobody would answer the system's box for an unhandled
   exception; a run with boxes leaves the exception to the system (verdict 0)
   or to the faulting code (verdict -1), as the filter says. */
_comenrol_exception_handler:
    cld
    pushl   %ebp
    movl    %esp, %ebp
    movl    8(%ebp), %ecx               /* the exception record */
    movl    $CONTINUE_SEARCH, %eax
    testl   $EXCEPTION_UNWIND, EXCEPTION_FLAGS(%ecx)
    jnz     3f
    pushl   16(%ebp)                    /* EXCEPTION_POINTERS: record, context */
    pushl   %ecx
    movl    %esp, %eax
    pushl   %eax
    pushl   EXCEPTION_CODE(%ecx)
    call    *__imp__comenrol_import_FilterException
    addl    $16, %esp
    testl   %eax, %eax
    jg      2f
    cmpb    $0, _comenrol_run_shows_no_box
    jne     2f
    sarl    $31, %eax                   /* -1 -> continue execution, 0 -> search */
    incl    %eax
    jmp     3f
2:  movl    16(%ebp), %edx              /* resume the entry */
    movl    12(%ebp), %eax
    movl    %eax, CONTEXT_ESP(%edx)
    addl    $RECORD_FROM_FRAME, %eax
    movl    %eax, CONTEXT_EBP(%edx)
    movl    $comenrol_start_leave, CONTEXT_EIP(%edx)
    movl    8(%ebp), %ecx
    movl    EXCEPTION_CODE(%ecx), %ecx
    movl    %ecx, CONTEXT_EAX(%edx)
    movl    $EXECUTE_HANDLER, %eax
3:  popl    %ebp
    ret
#endif

/* CE 6 and later check a frame handler before calling it: one in an image
   whose load configuration lists safe handlers must be listed, and then
   nothing else (the handler page's access, the process's execute switch) is
   asked. The post-link step points data directory 10 at this structure. */
    .section .rdata$comenrol_load_config,"dr"
    .balign 4
    .globl __load_config_used
__load_config_used:
    .long   0x48                        /* Size, up to SEHandlerCount */
    .fill   15, 4, 0
    .long   comenrol_safe_handlers      /* SEHandlerTable */
    .long   1                           /* SEHandlerCount */
comenrol_safe_handlers:                 /* image-relative, ascending */
    .rva    _comenrol_exception_handler
    .long   0                           /* a search may read one entry past the end */
