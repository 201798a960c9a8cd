"""Makes a live process run one system call of the test's choice, as code that
had taken over that process would (x86-64 Linux, run as root).

The process must be waiting in a system call (a pre-login process waiting for
its client is): it is attached with ptrace, made to run the call on the
`syscall` instruction it stopped after, and then set back to repeat the call
it was waiting in, so that it goes on as before.
"""

import ctypes
import os
import struct
import time

_PTRACE_GETREGS = 12
_PTRACE_SETREGS = 13
_PTRACE_ATTACH = 16
_PTRACE_DETACH = 17
_PTRACE_SINGLESTEP = 9
_WALL = 0x40000000
_SYSCALL_INSN = b"\x0f\x05"

_libc = ctypes.CDLL(None, use_errno=True)
_libc.ptrace.restype = ctypes.c_long
_libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]

# struct user_regs_struct of x86-64, in order.
_FIELDS = ("r15 r14 r13 r12 rbp rbx r11 r10 r9 r8 rax rcx rdx rsi rdi orig_rax rip cs "
           "eflags rsp ss fs_base gs_base ds es fs gs").split()


class _Regs(ctypes.Structure):
    _fields_ = [(name, ctypes.c_ulonglong) for name in _FIELDS]


def _ptrace(request, pid, addr=None, data=None):
    if _libc.ptrace(request, pid, addr, data) < 0:
        err = ctypes.get_errno()
        raise OSError(err, "ptrace(%d): %s" % (request, os.strerror(err)))


def _regs(pid):
    regs = _Regs()
    _ptrace(_PTRACE_GETREGS, pid, None, ctypes.addressof(regs))
    return regs


def _set_regs(pid, regs):
    _ptrace(_PTRACE_SETREGS, pid, None, ctypes.addressof(regs))


def _attach_in_syscall(pid, deadline):
    """Attaches to pid once it waits in a system call: a process just forked
    may still be running its set-up, and is then let go and tried again."""
    while True:
        _ptrace(_PTRACE_ATTACH, pid)
        os.waitpid(pid, _WALL)
        saved = _regs(pid)
        if saved.orig_rax < 1 << 63:
            return saved
        _libc.ptrace(_PTRACE_DETACH, pid, None, None)
        if time.monotonic() > deadline:
            raise RuntimeError("process %d is not waiting in a system call" % pid)
        time.sleep(0.01)


def inject_syscall(pid, number, args=(), data=b"", timeout=10):
    """Runs system call `number` in process pid and returns its raw result
    (a negative errno on failure), or None when the process ended before it
    could be read. An argument given as the string "data" is the address of
    `data`, copied onto the process's stack first. Waits up to timeout seconds
    for the process to be in a system call."""
    saved = _attach_in_syscall(pid, time.monotonic() + timeout)
    try:
        at = saved.rip - len(_SYSCALL_INSN)
        buffer = (saved.rsp - 8192 - len(data)) & ~0xF
        with open("/proc/%d/mem" % pid, "r+b", buffering=0) as mem:
            mem.seek(at)
            if mem.read(len(_SYSCALL_INSN)) != _SYSCALL_INSN:
                raise RuntimeError("no syscall instruction before %#x" % saved.rip)
            if data:
                mem.seek(buffer)
                mem.write(data)
        call = _Regs.from_buffer_copy(saved)
        call.rip = at
        call.rax = number
        call.orig_rax = (1 << 64) - 1  # no restart of the interrupted call
        values = [buffer if a == "data" else a for a in args]
        for name, value in zip(("rdi", "rsi", "rdx", "r10", "r8", "r9"), values):
            setattr(call, name, value & ((1 << 64) - 1))
        _set_regs(pid, call)
        _ptrace(_PTRACE_SINGLESTEP, pid)
        _, status = os.waitpid(pid, _WALL)
        try:
            if not os.WIFSTOPPED(status):
                raise ProcessLookupError
            result = struct.unpack("q", struct.pack("Q", _regs(pid).rax))[0]
            # Back to the call it was waiting in, from its start.
            saved.rip = at
            saved.rax = saved.orig_rax
            saved.orig_rax = (1 << 64) - 1
            _set_regs(pid, saved)
        except ProcessLookupError:
            return None  # ended meanwhile, by the call or in answer to it
        return result
    finally:
        _libc.ptrace(_PTRACE_DETACH, pid, None, None)  # fails only for a process gone
