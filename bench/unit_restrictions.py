# SPDX-License-Identifier: Apache-2.0
"""The receiver service's restrictions, applied to a program started outside systemd.

Read from the unit file itself: its system call filter (SystemCallFilter= lines, the
groups expanded as `systemd-analyze syscall-filter` lists them, a call outside them
killing the process as systemd does without SystemCallErrorNumber=), its address
families (RestrictAddressFamilies=: socket() of another family fails with
EAFNOSUPPORT) and MemoryDenyWriteExecute= (a mapping both writable and executable, or
making memory executable later, fails with EPERM). Besides these the program runs as
nobody, with no supplementary groups, no capabilities and no new privileges, as the
unit's DynamicUser=, CapabilityBoundingSet= and NoNewPrivileges= have it.

    restrictions = UnitRestrictions("resources/kelbosrx.service.in")
    subprocess.Popen([...], **restrictions.popen_args())
"""

import ctypes
import ctypes.util
import errno
import os
import socket
import subprocess

SCMP_ACT_KILL_PROCESS = 0x80000000
SCMP_ACT_ALLOW = 0x7FFF0000
SCMP_CMP_EQ = 4
SCMP_CMP_GE = 5
SCMP_CMP_MASKED_EQ = 7
PR_SET_NO_NEW_PRIVS = 38
PR_CAPBSET_DROP = 24
NOBODY = 65534
PROT_WRITE, PROT_EXEC = 0x2, 0x4
FAMILIES = {"AF_UNIX": socket.AF_UNIX, "AF_INET": socket.AF_INET, "AF_INET6": socket.AF_INET6,
            "AF_NETLINK": socket.AF_NETLINK, "AF_PACKET": socket.AF_PACKET}


def scmp_act_errno(number):
    return 0x00050000 | number


class ScmpArgCmp(ctypes.Structure):
    _fields_ = [("arg", ctypes.c_uint), ("op", ctypes.c_int), ("datum_a", ctypes.c_uint64),
                ("datum_b", ctypes.c_uint64)]


def syscall_groups():
    """Every group of `systemd-analyze syscall-filter`, by name, as its listed entries."""
    out = subprocess.run(["systemd-analyze", "syscall-filter", "--no-pager"], capture_output=True, text=True,
                         check=True).stdout
    groups, current = {}, None
    for line in out.splitlines():
        word = line.strip()
        if not word or word.startswith("#"):
            continue
        if not line.startswith(" "):
            current = groups.setdefault(word, [])
        elif current is not None:
            current.append(word)
    return groups


def expand(names, groups, seen=None):
    seen = set() if seen is None else seen
    calls = set()
    for name in names:
        if name.startswith("@"):
            if name not in seen:
                seen.add(name)
                calls |= expand(groups.get(name, []), groups, seen)
        else:
            calls.add(name)
    return calls


class UnitRestrictions:
    def __init__(self, unit_path):
        allowed, denied, families, self.deny_write_execute = set(), set(), set(), False
        groups = syscall_groups()
        with open(unit_path) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                if key == "SystemCallFilter":
                    if value.startswith("~"):
                        denied |= expand(value[1:].split(), groups)
                    else:
                        allowed |= expand(value.split(), groups)
                elif key == "RestrictAddressFamilies":
                    families |= {FAMILIES[f] for f in value.split()}
                elif key == "MemoryDenyWriteExecute":
                    self.deny_write_execute = value == "yes"
        self.calls = allowed - denied
        self.families = families
        self.lib = ctypes.CDLL(ctypes.util.find_library("seccomp") or "libseccomp.so.2", use_errno=True)
        self.lib.seccomp_init.restype = ctypes.c_void_p
        self.lib.seccomp_syscall_resolve_name.argtypes = [ctypes.c_char_p]

    def _rule(self, ctx, action, call, *compares):
        number = self.lib.seccomp_syscall_resolve_name(call.encode())
        if number < 0:
            return  # not a call of this architecture
        args = (ScmpArgCmp * max(1, len(compares)))(*[ScmpArgCmp(*c) for c in compares])
        rc = self.lib.seccomp_rule_add_array(ctypes.c_void_p(ctx), ctypes.c_uint32(action), number,
                                             len(compares), args)
        if rc != 0:
            raise OSError(-rc, f"seccomp_rule_add {call}")

    def enter(self):
        """Puts the calling process under the restrictions: for Popen's preexec_fn, in
        the child before it starts the program."""
        libc = ctypes.CDLL(None, use_errno=True)
        last_cap = int(open("/proc/sys/kernel/cap_last_cap").read())
        for cap in range(last_cap + 1):
            if libc.prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0:
                raise OSError(ctypes.get_errno(), "PR_CAPBSET_DROP")
        os.setgroups([])
        os.setresgid(NOBODY, NOBODY, NOBODY)
        os.setresuid(NOBODY, NOBODY, NOBODY)  # the last capabilities go with root
        if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl")
        ctx = self.lib.seccomp_init(ctypes.c_uint32(SCMP_ACT_KILL_PROCESS))
        conditional = {"socket"} | ({"mmap", "mprotect", "pkey_mprotect"} if self.deny_write_execute else set())
        for call in self.calls - conditional:
            self._rule(ctx, SCMP_ACT_ALLOW, call)
        if "socket" in self.calls:
            for family in range(0, 64):
                action = SCMP_ACT_ALLOW if family in self.families or not self.families else \
                    scmp_act_errno(errno.EAFNOSUPPORT)
                self._rule(ctx, action, "socket", (0, SCMP_CMP_EQ, family, 0))
            self._rule(ctx, scmp_act_errno(errno.EAFNOSUPPORT), "socket", (0, SCMP_CMP_GE, 64, 0))
        if self.deny_write_execute:
            wx = PROT_WRITE | PROT_EXEC
            for prot in (0, PROT_WRITE, PROT_EXEC):
                self._rule(ctx, SCMP_ACT_ALLOW, "mmap", (2, SCMP_CMP_MASKED_EQ, wx, prot))
            self._rule(ctx, scmp_act_errno(errno.EPERM), "mmap", (2, SCMP_CMP_MASKED_EQ, wx, wx))
            for call in ("mprotect", "pkey_mprotect"):
                self._rule(ctx, SCMP_ACT_ALLOW, call, (2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0))
                self._rule(ctx, scmp_act_errno(errno.EPERM), call, (2, SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC))
        rc = self.lib.seccomp_load(ctypes.c_void_p(ctx))
        if rc != 0:
            raise OSError(-rc, "seccomp_load")

    def popen_args(self):
        return {"preexec_fn": self.enter}
