/* SPDX-License-Identifier: MIT */
/*
 * Preloaded into 32-bit wine when qemu's user-mode emulator runs it (on a
 * kernel that runs no 32-bit x86 code, or wherever i386 programs are routed
 * to qemu-i386 through binfmt_misc). It works around three faults of
 * qemu-i386 7.2 that wine trips over; each wrapper below names its fault and
 * how to tell that a newer emulator no longer needs it.
 *
 * Built for i686 Linux with -fno-stack-protector: the signal wrapper runs
 * before wine has restored %gs, and the stack guard lives at %gs:0x14.
 * Handed to emulated processes only, through QEMU_SET_ENV=LD_PRELOAD=...,
 * and removed from each process's own environment at start-up, so that the
 * 64-bit wineserver that wine starts is not given a 32-bit library.
 */
#define _GNU_SOURCE
#include <asm/ldt.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <unistd.h>

/* The C library's syscall(), which this library's own one passes on to;
 * set at start-up. */
static long (*next_syscall)(long, ...);

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

/* ---- Fault 1: MAP_FIXED_NOREPLACE taken as a hint ----------------------
 * qemu 7.2 answers a MAP_FIXED_NOREPLACE mapping whose range is taken with
 * a mapping somewhere else instead of failing with EEXIST. Wine reserves its
 * low areas with such calls and keeps whatever comes back, until the blocks
 * from the top of the address space cover the shared user data page at
 * 0x7ffe0000 and wine stops ("failed to map the shared user data"); qemu's
 * page-by-page search for each of them takes about 80 s before that.
 * The wrapper restores the kernel's answer: what came back elsewhere is
 * unmapped, and the call fails with EEXIST.
 * Still needed while `mmap(p, n, ..., MAP_FIXED_NOREPLACE, ...)` over a
 * mapped p returns another address under the emulator instead of failing. */
static void *mapped_as_asked(void *addr, size_t length, int flags, void *got) {
    if (got == MAP_FAILED || !(flags & MAP_FIXED_NOREPLACE) || got == addr) return got;
    munmap(got, length);
    errno = EEXIST;
    return MAP_FAILED;
}

void *mmap64(void *addr, size_t length, int prot, int flags, int fd, off64_t offset) {
    /* The mmap2 call counts its offset in 4096-byte units on every i386 kernel. */
    void *got;
    if (offset & 4095) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    got = (void *)next_syscall(SYS_mmap2, addr, length, prot, flags, fd, (unsigned long)(offset >> 12));
    return mapped_as_asked(addr, length, flags, got);
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return mmap64(addr, length, prot, flags, fd, offset);
}

/* ---- Fault 2: signals arrive with trapno = -1 --------------------------
 * qemu fills the signal context's trap number with -1, so wine takes every
 * fault for an illegal instruction ("Got unexpected trap -1"): an access
 * violation reads as 0xc000001d, and wine's own page-fault handling, which
 * grows stacks and guards pages, breaks. For the signals that report a
 * processor trap, the wrapper installs a trampoline that first rebuilds the
 * trap number from the signal and its si_code, as the kernel would have set
 * it, and then calls the handler wine gave.
 * The trampoline runs before wine restores %gs: it touches neither
 * thread-local storage nor the C library.
 * Still needed while a program under the emulator that reads
 * uc_mcontext.gregs[REG_TRAPNO] in a SIGSEGV handler sees -1 there. */
enum {
    trap_divide = 0,
    trap_debug = 1,
    trap_breakpoint = 3,
    trap_overflow = 4,
    trap_invalid_opcode = 6,
    trap_segment_not_present = 11,
    trap_protection = 13,
    trap_page_fault = 14,
    trap_fpu = 16,
    last_trap = 31
};

typedef void (*trap_handler)(int, siginfo_t *, void *);
static trap_handler handlers[_NSIG];

static int trap_of(int signal, int code) {
    switch (signal) {
    case SIGSEGV: return code == SEGV_MAPERR || code == SEGV_ACCERR ? trap_page_fault : trap_protection;
    case SIGBUS: return trap_segment_not_present;
    case SIGILL: return trap_invalid_opcode;
    case SIGFPE: return code == FPE_INTDIV ? trap_divide : code == FPE_INTOVF ? trap_overflow : trap_fpu;
    default: return code == TRAP_TRACE ? trap_debug : trap_breakpoint;
    }
}

static void with_trap_number(int signal, siginfo_t *info, void *context) {
    greg_t *trapno = &((ucontext_t *)context)->uc_mcontext.gregs[REG_TRAPNO];
    if (*trapno < 0 || *trapno > last_trap) *trapno = trap_of(signal, info->si_code);
    handlers[signal](signal, info, context);
}

static int reports_trap(int signal) {
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE || signal == SIGTRAP;
}

int sigaction(int signal, const struct sigaction *action, struct sigaction *old) {
    static int (*next)(int, const struct sigaction *, struct sigaction *);
    struct sigaction wrapped;
    trap_handler before;
    int status;
    if (!next) next = (int (*)(int, const struct sigaction *, struct sigaction *))dlsym(RTLD_NEXT, "sigaction");
    if (signal <= 0 || signal >= _NSIG || !reports_trap(signal)) return next(signal, action, old);
    before = handlers[signal];
    if (action && (action->sa_flags & SA_SIGINFO)) {
        wrapped = *action;
        wrapped.sa_sigaction = with_trap_number;
        handlers[signal] = action->sa_sigaction;
        status = next(signal, &wrapped, old);
        if (status != 0) handlers[signal] = before;
    } else {
        status = next(signal, action, old);
    }
    /* The caller is told of its own handler, never of the trampoline. */
    if (status == 0 && old && (old->sa_flags & SA_SIGINFO) && old->sa_sigaction == with_trap_number)
        old->sa_sigaction = before;
    return status;
}

/* ---- Fault 3: one descriptor table for all threads of a process --------
 * qemu keeps the TLS descriptors that set_thread_area and
 * clone(CLONE_SETTLS) write in one table per process, so each new thread's
 * descriptor replaces the others'. Wine reloads %fs and %gs on every system
 * call, and from the second thread on, threads then run on each other's
 * TEB and thread-local storage ("stack smashing detected", "wine client
 * error"). Two mends:
 * - set_thread_area fails for wine, which then gives each thread's TEB an
 *   LDT entry of its own (wine 8 takes them from entry 512 up);
 * - each glibc thread's %gs gets an LDT entry of its own (1 to 31, which
 *   wine leaves alone) with the same base, loaded by the main thread at
 *   start-up and by every thread pthread_create starts, before its routine.
 * Still needed while two threads under the emulator that each set a TLS
 * descriptor with set_thread_area read the same base through it. */
enum { first_gs_entry = 1, gs_entries = 31 };

/* The thread that holds each entry, by thread id; 0 when free. */
static volatile pid_t gs_owner[first_gs_entry + gs_entries];
static __thread int own_entry;

/* The base of the calling thread's TLS block: glibc keeps the thread
 * control block's own address at %gs:0. */
static unsigned long tls_base(void) {
    unsigned long base;
    __asm__ volatile("movl %%gs:0, %0" : "=r"(base));
    return base;
}

/* Loads SELECTOR into %gs. */
static void load_gs(unsigned short selector) { __asm__ volatile("movw %0, %%gs" : : "r"(selector)); }

/* A flat 4 GiB data descriptor NUMBER with base BASE, as glibc makes for
 * thread-local storage. */
static struct user_desc data_descriptor(unsigned number, unsigned long base) {
    struct user_desc entry = {0};
    entry.entry_number = number;
    entry.base_addr = (unsigned)base;
    entry.limit = 0xfffff;
    entry.seg_32bit = 1;
    entry.limit_in_pages = 1;
    entry.useable = 1;
    return entry;
}

/* Claims an entry for thread SELF: a free one, or else one whose thread has
 * ended (entries are not given back as a thread ends, since glibc still
 * runs on its %gs after the thread's routine returns). 0 when none is left. */
static int claim_gs_entry(pid_t self) {
    pid_t owner;
    int index;
    for (index = first_gs_entry; index < first_gs_entry + gs_entries; ++index)
        if (__sync_bool_compare_and_swap(&gs_owner[index], 0, self)) return index;
    for (index = first_gs_entry; index < first_gs_entry + gs_entries; ++index) {
        owner = gs_owner[index];
        if (next_syscall(SYS_tgkill, getpid(), owner, 0) != 0 && errno == ESRCH &&
            __sync_bool_compare_and_swap(&gs_owner[index], owner, self))
            return index;
    }
    return 0;
}

/* Gives the calling thread's %gs an LDT entry of its own with the base it
 * has now. Without a free entry the thread keeps the shared descriptor, as
 * it would without this library. */
static void use_own_gs_entry(void) {
    struct user_desc entry;
    int index = claim_gs_entry((pid_t)next_syscall(SYS_gettid));
    if (index == 0) return;
    entry = data_descriptor((unsigned)index, tls_base());
    if (next_syscall(SYS_modify_ldt, 1, &entry, sizeof entry) != 0) {
        gs_owner[index] = 0;
        return;
    }
    load_gs((unsigned short)(index << 3 | 7)); /* the LDT, at privilege 3 */
    own_entry = index;
}

/* A forked child keeps its parent's entries; the one its thread runs on is
 * recorded under the child's own thread id, so that no thread claims it. */
static void after_fork_in_child(void) {
    if (own_entry) gs_owner[own_entry] = (pid_t)next_syscall(SYS_gettid);
}

long syscall(long number, ...) {
    long a[6];
    va_list list;
    int i;
    if (number == SYS_set_thread_area) {
        errno = ENOSYS;
        return -1;
    }
    /* syscall() passes no count: read as many arguments as any call takes. */
    va_start(list, number);
    for (i = 0; i < 6; ++i) a[i] = va_arg(list, long);
    va_end(list);
    return next_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

/* glibc's own TLS descriptor in the shared table, as set at start-up. */
static unsigned tls_entry;

struct thread_start {
    void *(*routine)(void *);
    void *argument;
    sigset_t mask;
};

/* The new thread's first code after glibc's own: its %gs gets an entry of
 * its own, and it takes the signal mask its creator had. */
static void *start_on_own_gs(void *start) {
    struct thread_start copy = *(struct thread_start *)start;
    free(start);
    use_own_gs_entry();
    pthread_sigmask(SIG_SETMASK, &copy.mask, NULL);
    return copy.routine(copy.argument);
}

/* glibc gives a new thread the descriptor whose number the creator's %gs
 * holds, and qemu loads the creator's %gs selector into the new thread. So
 * while it calls pthread_create, the creator runs on glibc's descriptor,
 * set to its own base: the new thread then starts on the descriptor that
 * clone() sets for it, with its own base. One creator at a time, with
 * signals blocked, since a signal's return would reload %gs from a
 * descriptor that now holds the new thread's base. */
int pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*routine)(void *), void *argument) {
    static int (*next)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static volatile int creating;
    struct thread_start *start = malloc(sizeof *start);
    struct user_desc shared;
    sigset_t all, mask;
    int entry = own_entry, status;
    if (!next)
        next =
            (int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *))dlsym(RTLD_NEXT, "pthread_create");
    if (!start) return EAGAIN;
    start->routine = routine;
    start->argument = argument;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &mask);
    start->mask = mask; /* the new thread may free START before this call returns */
    while (__sync_lock_test_and_set(&creating, 1)) sched_yield();
    if (entry) {
        shared = data_descriptor(tls_entry, tls_base());
        next_syscall(SYS_set_thread_area, &shared);
        load_gs((unsigned short)(tls_entry << 3 | 3));
    }
    status = next(thread, attributes, start_on_own_gs, start);
    if (entry) load_gs((unsigned short)(entry << 3 | 7));
    __sync_lock_release(&creating);
    pthread_sigmask(SIG_SETMASK, &mask, NULL);
    if (status != 0) free(start);
    return status;
}

__attribute__((constructor)) static void start(void) {
    unsigned short selector;
    next_syscall = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    unsetenv("LD_PRELOAD");
    pthread_atfork(NULL, NULL, after_fork_in_child);
    __asm__ volatile("movw %%gs, %0" : "=r"(selector));
    tls_entry = selector >> 3u;
    use_own_gs_entry();
}
