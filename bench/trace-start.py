#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# SPDX-FileCopyrightText: the vorn developers
"""trace-start.py TRACE [--all]: the starts of the daemon in a tracefs trace
written by bench/trace-start. For each start (an exec of .../bin/vorn): the
milestones from the exec, in ms; then their medians; with --all, the whole
timeline of the first start (the daemon's processes, its shell steps and the
bench's threads)."""
import re
import statistics
import sys

LINE = re.compile(r"^\s*(?P<comm>.+?)-(?P<pid>\d+)\s+\[(?P<cpu>\d+)\]\s+\S+\s+(?P<ts>\d+\.\d+):\s+(?P<ev>\w+)(?P<sep>: |\(| -> )(?P<rest>.*)$")
IOCTLS = {
    "80084a0c": "IOCTL_GET_PLAT_IP",
    "80084a0d": "IOCTL_GET_SP_IP",
}


def parse(path):
    events = []
    with open(path, errors="replace") as f:
        for line in f:
            m = LINE.match(line)
            if not m:
                continue
            ev = m["ev"]
            # System calls: "sys_NAME(args)" on entry, "sys_NAME -> RET" on exit.
            if m["sep"] == "(":
                ev = "sys_enter_" + ev[4:]
            elif m["sep"] == " -> ":
                ev = "sys_exit_" + ev[4:]
            events.append((float(m["ts"]), int(m["pid"]), m["comm"], ev, m["rest"]))
    return events


def field(rest, name):
    m = re.search(r"\b" + name + r"[=:]\s*(\S+)", rest)
    return m.group(1) if m else None


def starts(events):
    out = []
    for i, (ts, pid, comm, ev, rest) in enumerate(events):
        if ev == "sched_process_exec" and (field(rest, "filename") or "").endswith("/bin/vorn"):
            out.append(i)
    return out


def one_start(events, i, end_after=0.2):
    t0, daemon, _, _, _ = events[i]
    tree = {daemon}
    roles = {daemon: "vorn"}
    miles = {}
    server = None
    timeline = []
    listened = None
    asker_attempts = 0
    attempts_after_listen = 0
    for ts, pid, comm, ev, rest in events[i:]:
        dt = (ts - t0) * 1e3
        if dt > end_after * 1e3:
            break
        if ev == "sched_process_fork" and int(field(rest, "pid") or 0) in tree:
            child = int(field(rest, "child_pid"))
            tree.add(child)
            parent = int(field(rest, "pid"))
            if parent == daemon and "daemon_fork" not in miles:
                miles["daemon_fork"] = dt
                server = child
                roles[child] = "server"
            elif parent == server and "shell_fork" in miles and "listen" not in miles:
                n = 1 + sum(1 for k in miles if k.startswith("monitor_fork"))
                miles["monitor_fork%d" % n] = dt
                roles[child] = "monitor%d" % n
            elif parent == server and "shell_fork" not in miles:
                miles["shell_fork"] = dt
                roles[child] = "shell"
            else:
                roles[child] = "child of " + roles.get(parent, str(parent))
            timeline.append((dt, pid, "fork -> %d (%s)" % (child, roles[child])))
            continue
        mine = pid in tree
        bench = comm.startswith("vorn-bench")
        if not mine and not bench and ev not in ("tcp_send_reset", "tcp_receive_reset"):
            continue
        if ev == "sched_process_exec" and mine:
            name = field(rest, "filename")
            timeline.append((dt, pid, "exec " + name))
            if pid in roles and roles[pid] == "shell" and "shell_exec" not in miles:
                miles["shell_exec"] = dt
            elif "shell_exec" in miles and "ifconfig_exec" not in miles and pid != server:
                miles["ifconfig_exec"] = dt
            continue
        if ev == "sched_process_exit" and mine:
            timeline.append((dt, pid, "exit"))
            if roles.get(pid) == "shell" and "shell_exit" not in miles:
                miles["shell_exit"] = dt
            continue
        if ev == "sys_exit_wait4" and pid == server and "shell_waited" not in miles:
            miles["shell_waited"] = dt
        if ev == "sys_enter_ioctl" and mine:
            cmd = (field(rest, "cmd") or "").replace("0x", "").rstrip(",")
            name = IOCTLS.get(cmd)
            if name and pid == server:
                miles.setdefault(name, dt)
            timeline.append((dt, pid, "ioctl " + (name or cmd)))
            continue
        if ev == "sys_exit_listen" and pid == server:
            miles.setdefault("listen", dt)
            listened = dt
        if ev == "sys_enter_connect" and bench:
            asker_attempts += 1
            if listened is not None:
                attempts_after_listen += 1
                miles.setdefault("first_connect_after_listen", dt)
        if ev == "sys_exit_accept4" and pid == server:
            miles.setdefault("accept_returns", dt)
        if ev == "sys_exit_recvfrom" and bench and "accept_returns" in miles:
            miles.setdefault("bench_reads_answer", dt)
        if ev in ("sched_switch", "sched_wakeup", "sched_wakeup_new"):
            if ev == "sched_switch":
                prev = int(field(rest, "prev_pid") or 0)
                nxt = int(field(rest, "next_pid") or 0)
                if prev in tree or nxt in tree:
                    timeline.append((dt, pid, "switch %s -> %s" % (field(rest, "prev_comm"), field(rest, "next_comm")) +
                                     " (%d -> %d, prev_state %s)" % (prev, nxt, field(rest, "prev_state"))))
            continue
        timeline.append((dt, pid, "%s %s %s" % (comm if not mine else roles.get(pid, ""), ev, rest[:100])))
        if "bench_reads_answer" in miles:
            break
    miles["connect_attempts"] = asker_attempts
    miles["attempts_after_listen"] = attempts_after_listen
    return miles, timeline, roles


def main():
    path = sys.argv[1]
    events = parse(path)
    idx = starts(events)
    if not idx:
        print("trace-start.py: no start of the daemon in the trace")
        return 1
    rows = []
    slowest = None
    for i in idx:
        miles, timeline, roles = one_start(events, i)
        # Only the measured starts: the bench asked before the listener opened.
        if miles["connect_attempts"] - miles["attempts_after_listen"] <= 0:
            continue
        rows.append(miles)
        wait = miles.get("bench_reads_answer", 1e9) - miles.get("listen", 0)
        if slowest is None or wait > slowest[0]:
            slowest = (wait, timeline, roles)
    if "--all" in sys.argv:
        # The start whose answer came longest after the listener opened.
        wait, timeline, roles = slowest
        print("the start with the longest wait from listen to the answer (%.3f ms):" % wait)
        for dt, pid, what in timeline:
            print("%9.3f ms  %-7d %-10s %s" % (dt, pid, roles.get(pid, ""), what))
    order = ["daemon_fork", "IOCTL_GET_PLAT_IP", "IOCTL_GET_SP_IP", "shell_fork", "shell_exec", "ifconfig_exec",
             "shell_exit", "shell_waited", "monitor_fork1", "monitor_fork2", "listen", "first_connect_after_listen",
             "accept_returns", "bench_reads_answer", "connect_attempts", "attempts_after_listen"]
    if not rows:
        print("trace-start.py: no measured start of the daemon in the trace")
        return 1
    print("%d starts; ms from the daemon's exec (median, min-max):" % len(rows))
    for name in order:
        vals = [r[name] for r in rows if name in r]
        if vals:
            print("  %-28s %8.3f  (%.3f-%.3f)  [%d]" % (name, statistics.median(vals), min(vals), max(vals), len(vals)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
