# Command line, configuration, start-up failures, pid file and stop of the
# real daemon.
import os, re, select, signal, socket, sys, time
import pytest
from conftest import (BIN, EXITING, KEYS, LOG, SHIM, START, Daemon, Manager, err, info, logging, read, recv,
                      statistics, udp_sockets, until, wait_ready)


BAD_FILE, NOT_DEFINED = "Error in the configuration file!", "The configuration file is not defined!\n"
EINVAL, PUSH_EINVAL = ("create_sockets: %s: 22, Invalid argument" % call for call in ("zsock_bind", "zsock_new_push"))
IN_USE, NOENT = "create_sockets: zsock_bind: 98, Address already in use", "code=2 (No such file or directory)"


def missing(key): return 'Parameter "/%s" is not found in the configuration file!' % key


def fails_with(args, logged, stdout="", stderr="", manager=None):
    daemon = Daemon(args, manager and manager.env())
    assert daemon.wait() == 1 and daemon.lines() == [START] + logged
    assert manager is None or manager.read(timeout=0) is None and manager.got == []  # never ready
    assert daemon.out() == stdout  # standard output is the usage line's alone
    assert stderr is None or daemon.err() == stderr  # nothing left to the messaging library at exit
    return daemon


@pytest.mark.parametrize("args, usage, logged", [
    ([], False, [NOT_DEFINED]), (["operand"], False, [NOT_DEFINED]), (["-x"], True, []),
    (["-c", "GOOD", "-v"], True, []), (["-c"], True, []), (["-c", "MISSING"], False, [BAD_FILE]),
    (["-c", "GOOD", "-c", "MISSING"], False, [BAD_FILE])])
def test_command_line(relay, args, usage, logged):
    files = {"GOOD": relay.config(), "MISSING": relay.tmp + "/missing.cfg"}
    daemon = fails_with([files.get(arg, arg) for arg in args], [err(text) for text in logged],
                        "Usage: %s [-c config_file]\n" % BIN if usage else "", None)
    assert ("option" in daemon.err()) == usage  # getopt's own diagnostic


def test_last_config_option_and_first_duplicate_key_count_and_operands_are_ignored(relay):
    config = relay.config(extra='pidfile = "%s/second.pid"\n' % relay.tmp)
    daemon = Daemon(["-c", relay.tmp + "/missing.cfg", "operand", "-c", config])
    assert wait_ready(daemon, relay.keys["pidfile"])
    daemon.signal(signal.SIGTERM)
    assert daemon.wait() == 0 and daemon.lines() == [START, EXITING]


@pytest.mark.parametrize("key", KEYS)
def test_first_missing_key_in_table_order_is_reported(relay, key):
    del relay.keys[key]
    if key == "udpport":  # both missing: only the earlier one is reported
        del relay.keys["buffer_size"]
    fails_with(["-c", relay.config()], [err(missing(key))])
    assert not os.path.exists(relay.tmp + "/vostrelld.pid")


@pytest.mark.parametrize("content, logged", [
    (b'pidfile = "x"\n      publisher = "y"\n', BAD_FILE),  # a parse error, reported on stderr
    (bytes(i * 37 % 256 for i in range(512)), BAD_FILE), (b"\xef\xbb\xbf\0\0", BAD_FILE), (b"=\n", BAD_FILE),
    (b"", missing("pidfile")), (b'section\n    pidfile = "x"\n', missing("pidfile")),
    (b'outer\n    inner\n        pidfile = "x"\n', missing("pidfile")), (b"# only a comment\n", missing("pidfile")),
    ("\n".join(KEYS).encode(), EINVAL)])  # keys without values are empty texts
def test_unusable_configuration_files(relay, content, logged):
    with open(relay.tmp + "/bad.cfg", "wb") as f:
        f.write(content)
    fails_with(["-c", f.name], [err(logged)], stderr=None)


BUSY = [socket.socket(), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)]  # ports the daemon cannot bind
BUSY[0].bind(("", 0)), BUSY[0].listen(), BUSY[1].bind(("", 0))


@pytest.mark.parametrize("key, value, logged", [
    ("subscriber", "tcp://127.0.0.1:{tcp}", IN_USE), ("gatewaypublisher", "tcp://127.0.0.1:{tcp}", IN_USE),
    ("publisher", "not-an-endpoint", EINVAL), ("subscriber", "%s%n%n%n%s", EINVAL),  # never a format
    ("publisher", "tcp://%s%n:%d", EINVAL),
    ("udpport", "{udp}", "create_sockets: udp_new: 98, Address already in use"),
    ("message_processor", "not-an-endpoint", PUSH_EINVAL), ("message_processor", "%s%n%n%n", PUSH_EINVAL),
    ("message_processor_backyard", ">tcp://", PUSH_EINVAL), ("message_processor_backyard", ">%n%s,@%n", PUSH_EINVAL),
    ("pidfile", "{tmp}/no/such/dir/pid", "unable to create pid file {tmp}/no/such/dir/pid, " + NOENT),
    ("pidfile", "/nonexistent/%s%n%n", "unable to create pid file /nonexistent/%s%n%n, " + NOENT),
    ("pidfile", "{tmp}", "unable to create pid file {tmp}, code=21 (Is a directory)"),
    ("pidfile", "/dev/full", "unable to write pid file /dev/full, code=28 (No space left on device)")])
def test_each_failing_step_logs_its_message_and_exits_with_one(relay, key, value, logged):
    relay.keys[key] = value.format(tmp=relay.tmp, tcp=BUSY[0].getsockname()[1], udp=BUSY[1].getsockname()[1])
    fails_with(["-c", relay.config()], [err(logged.format(tmp=relay.tmp))], manager=Manager(relay.tmp))


def test_pid_file_holds_exactly_the_pid_and_stays_after_the_stop(relay):
    os.umask(0o022)
    pidfile = relay.keys["pidfile"]
    for existing in (None, b"123456789012345\n"):  # longer than any pid
        if existing:
            with open(pidfile, "wb") as f:
                f.write(existing)
        daemon = Daemon(["-c", relay.config()])
        assert wait_ready(daemon, pidfile)  # exactly the pid, no newline
        assert existing or os.stat(pidfile).st_mode & 0o777 == 0o640
        daemon.signal(signal.SIGTERM)
        assert daemon.wait() == 0 and read(pidfile) == str(daemon.pid).encode()
    relay.keys["pidfile"] = "/dev/null"  # runs and relays
    relay.daemon = Daemon(["-c", relay.config()])
    relay.connect()
    assert relay.stop() == 0


@pytest.mark.parametrize("target", ["file", "missing"])
def test_pid_file_is_never_written_through_a_symbolic_link(relay, target):
    # Planted where others may write: neither an existing file nor a new
    # one is truncated, written or made through it.
    victim, pidfile = relay.tmp + "/victim", relay.keys["pidfile"]
    if target == "file":
        with open(victim, "wb") as f:
            f.write(b"keep")
    os.symlink(victim, pidfile)
    fails_with(["-c", relay.config()], [err("unable to create pid file %s, code=40 (Too many levels of symbolic "
                                            "links)" % pidfile)])
    assert read(victim) == (b"keep" if target == "file" else None) and os.path.islink(pidfile)


# A signal that lands after the loop's last check for it, but before it
# waits again, must still end the daemon promptly: the preloaded shim holds
# the loop in exactly that gap while the signal is sent.
@pytest.mark.parametrize("sig, held", [(signal.SIGTERM, False), (signal.SIGINT, False), (signal.SIGTERM, True),
                                       (signal.SIGINT, True)])
def test_stop_ends_promptly_with_exiting_and_status_zero(relay, sig, held):
    hold = relay.tmp + "/hold"
    relay.start({"LD_PRELOAD": SHIM, "POLL_SHIM_HOLD": hold} if held else {})
    relay.send_udp(b"last")
    assert recv(relay.pub) == [b"last"]
    open(hold, "w").close()
    assert until(lambda: os.path.exists(hold + ".held") or not held)
    relay.daemon.signal(sig)
    os.unlink(hold)
    assert relay.daemon.wait(1) == 0 and relay.daemon.lines() == [START, EXITING]
    assert relay.daemon.out() == relay.daemon.err() == ""  # no socket left dangling


def test_the_service_manager_hears_of_readiness_status_and_the_stop(relay):
    manager, keys = Manager(relay.tmp), relay.keys
    relay.daemon = Daemon(["-c", relay.config()], manager.env())
    ready = manager.read("READY=1")
    # By then the pid file holds the pid and every endpoint takes connections.
    assert read(keys["pidfile"]) == str(relay.daemon.pid).encode()
    for key in ("subscriber", "publisher", "gatewaypublisher"):
        socket.create_connection(("127.0.0.1", int(keys[key].split(":")[-1])), 1).close()
    assert udp_sockets(relay.daemon.pid) == [("0.0.0.0", int(keys["udpport"]))]
    assert ready == "READY=1\nSTATUS=Relaying: inbound %s, UDP 0.0.0.0:%s, publisher %s, gateway %s" % (
        keys["subscriber"], keys["udpport"], keys["publisher"], keys["gatewaypublisher"])
    relay.connect()
    relay.push(b"#win counted", b"#jwin counted")
    relay.sync()
    counted = statistics(relay.daemon)
    assert manager.read("STATUS=") == "STATUS=Relaying: " + " ".join("%s=%d" % (key, counted[key]) for key in (
        "in.inbound", "in.udp", "out.publisher", "out.gateway", "out.processor", "out.backyard", "drop.processor",
        "drop.backyard", "refused.auth"))
    assert relay.stop() == 0 and manager.read(timeout=0.2) is None and manager.got[-1] == "STOPPING=1"
    assert set(manager.senders) == {relay.daemon.pid}


@pytest.mark.parametrize("env, pings", [({"WATCHDOG_USEC": "400000"}, True), ({}, False),
                                        ({"WATCHDOG_USEC": "400000", "WATCHDOG_PID": "1"}, False)])
def test_watchdog_pings_come_from_the_turning_loop(relay, env, pings):
    manager, hold = Manager(relay.tmp), relay.tmp + "/hold"
    relay.start(manager.env(LD_PRELOAD=SHIM, POLL_SHIM_HOLD=hold, **env))

    def pings_within(seconds, flowing):
        manager.read(timeout=0)  # sent before, such as the last one before the loop was held
        manager.got.clear()
        for _ in range(int(seconds / 0.05)):
            flowing and relay.push(b"flowing")
            manager.read(timeout=0.05)
        return manager.got.count("WATCHDOG=1")
    assert 3 <= pings_within(1.0, True) <= 6 if pings else pings_within(1.0, True) == 0  # every 200 ms
    open(hold, "w").close()
    assert until(lambda: os.path.exists(hold + ".held"))
    assert pings_within(0.8, False) == 0 and relay.daemon.proc.poll() is None  # a loop held still: silence
    os.unlink(hold)
    assert pings_within(0.6, False) >= pings


REFERENCE = "import sys, syslog\nsyslog.openlog('vostrelld', 0, syslog.LOG_USER)\n" \
            "for priority, text in zip(sys.argv[1::2], sys.argv[2::2]):\n    syslog.syslog(int(priority), text)\n"


def test_log_lines_carry_the_bytes_that_syslog_sends(relay):
    # Beside glibc's syslog(3) for the same priorities and texts, from a
    # process of the same identity: only the clock may differ.
    relay.keys["pidfile"] = relay.tmp + "/" + "p" * 3000  # a line longer than most
    daemons = [Daemon([]), Daemon(["-c", relay.config()])]
    assert [daemon.wait() for daemon in daemons] == [1, 1]
    texts = [START, err(NOT_DEFINED), START, err("unable to create pid file %s, code=36 (File name too long)"
                                                 % relay.keys["pidfile"])]
    reference = logging([sys.executable, "-c", REFERENCE] + [arg for line in texts for arg in
                                                              (line[1:line.index(">")], line.split(": ", 1)[1])])
    assert reference.wait() == 0

    def unclocked(datagrams): return [re.sub(rb"^(<\d+>)\w{3} [ \d]\d \d\d:\d\d:\d\d ", rb"\1", d) for d in datagrams]
    assert unclocked(LOG.raw(daemons[0].pid) + LOG.raw(daemons[1].pid)) == unclocked(LOG.raw(reference.pid))
    assert daemons[0].lines() + daemons[1].lines() == texts


def test_a_stalled_log_never_stalls_relaying(relay):
    relay.start()
    LOG.reading.clear()
    try:  # every malformed record logs a line that the listener does not take
        started = time.monotonic()
        relay.relay_all([b"plain %d" % i for i in range(5000)], lambda: relay.push(b"#oldmp bad"))
        assert time.monotonic() - started < 10
    finally:
        LOG.reading.set()
    relay.daemon.new_lines()
    relay.push(b"#oldmp bad")  # once the listener reads again, the next line arrives
    relay.sync()
    assert relay.daemon.new_lines() == [err("send_data: wrong size of input data!")]
    # Every line not handed over is counted: the start line, 5001 records.
    assert statistics(relay.daemon)["drop.log"] == 5002 - (len(relay.daemon.lines()) - 1)
    LOG.reading.clear()
    try:
        relay.daemon.signal(signal.SIGTERM)
        assert relay.daemon.proc.wait(5) == 0
    finally:
        LOG.reading.set()


@pytest.mark.skipif(LOG.private, reason="the daemon sees the listener's first socket through a bind mount, "
                                        "and a socket bound anew at that path stays out of its sight")
def test_a_restarted_log_gets_the_next_line(relay):
    relay.start()
    # Without a listener a line is dropped, and the daemon goes on.
    LOG.restart(meanwhile=lambda: (relay.push(b"#oldmp lost"), relay.sync()))
    relay.push(b"#oldmp found")
    relay.sync()
    assert relay.daemon.new_lines() == [err("send_data: wrong size of input data!")]


def test_sigusr1_logs_the_statistics_before_any_traffic_and_through_a_storm(relay):
    relay.launch()
    assert set(statistics(relay.daemon).values()) == {0}
    relay.connect()
    relay.relay_all([b"t%d" % i for i in range(2000)], lambda: relay.daemon.signal(signal.SIGUSR1))
    assert relay.stop() == 0
    lines = relay.daemon.new_lines()
    assert lines[-1] == EXITING and {line.split("=")[0] for line in lines[:-1]} == {info("Statistics: in.inbound")}
