# The harness of every test that runs the real daemon: a listener of the
# lines sent to /dev/log, the daemon started with a configuration of its own,
# and peers that talk to it over real sockets on 127.0.0.1. Every wait is
# bounded.
import atexit, contextlib, ctypes, itertools, os, re, select, shlex, signal, socket, struct, subprocess, tempfile, \
    threading, time
import pytest, zmq

BIN, SHIM = os.environ["VOSTRELLD_BIN"], os.environ.get("POLL_SHIM", "")
SANITIZED = bool(os.environ.get("VOSTRELLD_SANITIZED"))  # freed memory is held back on purpose
SLOWED = bool(os.environ.get("VOSTRELLD_WRAPPER"))  # far below its speed, its threads taking turns
MEASURED = not (SANITIZED or SLOWED)  # memory as the daemon alone uses it
TAP = os.path.join(os.path.dirname(BIN), "vostrelld-tap")
for variable in ("NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"):
    os.environ.pop(variable, None)  # a service manager above the suite never reaches its daemons
CTX = zmq.Context.instance()
CTX.setsockopt(zmq.LINGER, 0)  # for every socket of the tests
KEYS = ["pidfile", "publisher", "gatewaypublisher", "subscriber", "udpport", "message_processor",
        "message_processor_backyard", "buffer_size"]


def info(text): return "<14>vostrelld: " + text
def err(text): return "<11>vostrelld: " + text
def tcp(port, host="127.0.0.1"): return "tcp://%s:%d" % (host if ":" not in host else "[%s]" % host, port)


_czmq = [ctypes.c_int() for _ in range(3)]
ctypes.CDLL("libczmq.so.4").zsys_version(*map(ctypes.byref, _czmq))
START = info("Starting , ZMQ version %d.%d.%d, CZMQ version %d.%d.%d"
             % (zmq.zmq_version_info() + tuple(v.value for v in _czmq)))
EXITING = info("Exiting")
# Runs a daemon as an ordinary user, allowed to read the test's files, with
# no other capability.
AS_NOBODY = "setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=+dac_override " \
            "--ambient-caps=+dac_override "


def until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.002)
    return True


TAKEN = set()


def free_port(kind=socket.SOCK_STREAM, family=socket.AF_INET):
    # A port that nothing holds now, on IPv4 or IPv6 (both families where
    # IPv6 takes IPv4 too), and that no earlier call handed out.
    while True:
        with socket.socket(family, kind) as s:
            s.bind(("127.0.0.1" if kind == socket.SOCK_STREAM else "", 0) if family == socket.AF_INET else ("::", 0))
            if (kind, s.getsockname()[1]) not in TAKEN:
                TAKEN.add((kind, s.getsockname()[1]))
                return s.getsockname()[1]


def recv(sock, timeout=2.0):
    # One whole message, all its frames, or None after timeout seconds.
    return sock.recv_multipart() if sock.poll(timeout * 1000) else None


def read_until(sock, end, timeout=2.0):
    # The single-frame texts received before end.
    texts = []
    while (frames := recv(sock, timeout)) != [end]:
        assert frames is not None, "%r never came" % end
        texts += frames
    return texts


def read(path): return open(path, "rb").read() if os.path.exists(path) else None


def pulled(tap):
    # The texts that a "vostrelld-tap pull" has printed so far.
    return [line[1:-1] for line in tap.out().split("\n")[:-1]]


class Stream(threading.Thread):
    # Numbered texts, prefix and a decimal count, rate a second in bursts
    # every millisecond, each handed to send on a thread of its own, until
    # stopped; sent counts them.
    def __init__(self, send, rate, prefix=b"#jwin "):
        super().__init__(daemon=True)
        self.send, self.rate, self.prefix, self.sent, self.done = send, rate, prefix, 0, threading.Event()
        self.start()

    def run(self):
        started = time.monotonic()
        while not self.done.is_set():
            for _ in range(self.sent, int((time.monotonic() - started) * self.rate)):
                self.send(self.prefix + b"%d" % self.sent)
                self.sent += 1
            time.sleep(0.001)

    def stop(self):
        self.done.set()
        self.join(10)
        assert not self.is_alive(), "the stream's sender is stuck"
        return self.sent


def rss_kib(pid, field="VmRSS"): return int(open("/proc/%d/status" % pid).read().split(field + ":")[1].split()[0])


def held(kind, port, buffer=32 << 20, host="127.0.0.1"):
    # A UDP socket with a forced receive buffer, or a listening TCP socket,
    # as a service manager holds it; "::" takes both families, as systemd's
    # sockets do by default.
    sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, kind)
    if ":" in host:
        sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, host != "::")
    if kind == socket.SOCK_DGRAM:
        sock.setsockopt(socket.SOL_SOCKET, 33, buffer)  # SO_RCVBUFFORCE
        sock.bind((host, port))
    else:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((host, port))
        sock.listen(64)
    return sock


def holds(pid, sock):
    # True when process pid has a descriptor of the very socket sock.
    inode = os.fstat(sock.fileno()).st_ino

    def inode_of(fd):
        with contextlib.suppress(FileNotFoundError):  # closed since it was listed
            return os.stat("/proc/%d/fd/%s" % (pid, fd)).st_ino
    return any(inode_of(fd) == inode for fd in os.listdir("/proc/%d/fd" % pid))


def tcp_connections(port, netns=None):
    # The (state, "tx_queue:rx_queue") of each TCP socket on or to port, in
    # this network namespace or the one named.
    table = (subprocess.run(["nsenter", "--net=/run/netns/" + netns, "cat", "/proc/net/tcp"], capture_output=True,
                            text=True).stdout if netns else open("/proc/net/tcp").read())
    rows = [row.split() for row in table.splitlines()[1:]]
    return [(row[3], row[4]) for row in rows if "%04X" % port in (row[1][-4:], row[2][-4:])]


def udp_sockets(pid):
    # The local (address, port) of each UDP socket that process pid holds.
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        with contextlib.suppress(OSError):  # gone meanwhile
            inodes.add(os.readlink("/proc/%d/fd/%s" % (pid, fd))[8:-1])
    rows = [row.split() for row in open("/proc/net/udp").readlines()[1:]]
    return [(socket.inet_ntoa(struct.pack("<I", int(row[1].split(":")[0], 16))), int(row[1].split(":")[1], 16))
            for row in rows if row[9] in inodes]


class LogListener:
    # Keeps what processes send to /dev/log, with the sender's pid, on a
    # thread of its own. Where a syslog daemon owns /dev/log it listens on a
    # private path, which each daemon then sees as /dev/log in a mount
    # namespace of its own.
    LINE = re.compile(rb"<(\d+)>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d (.*)", re.S)

    def __init__(self):
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as probe:
            self.private = probe.connect_ex("/dev/log") == 0
        self.path = "/tmp/vostrelld-log.%d" % os.getpid() if self.private else "/dev/log"
        self.lines, self.marks, self.serial, self.arrived = [], set(), itertools.count(), threading.Condition()
        self.reading, self.parked = threading.Event(), threading.Event()  # reading cleared: it stalls
        self.reading.set()
        self.bind()
        atexit.register(os.unlink, self.path)
        threading.Thread(target=self._read, daemon=True).start()

    def bind(self):
        if os.path.lexists(self.path):
            os.unlink(self.path)  # left by an earlier listener
        # The daemon drops what a full queue cannot take: give the socket a
        # queue deep enough for the bursts of lines that the tests provoke
        # (a systemd host has 512). A socket takes the host's setting when it
        # is made; the setting is restored at once.
        with open("/proc/sys/net/unix/max_dgram_qlen", "r+") as qlen:
            host = int(qlen.read())
            qlen.seek(0), qlen.write(str(max(host, 4096))), qlen.flush()
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            finally:
                qlen.seek(0), qlen.write(str(host))
        self.sock.bind(self.path)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, 33, 8 << 20)  # SO_RCVBUFFORCE
        self.sock.settimeout(0.05)  # so that a new socket or a stall is noticed

    def restart(self, meanwhile):
        # As a syslog daemon restarts: its socket closed, the path unlinked,
        # meanwhile() run without a listener, and a new socket bound. The
        # reader stays out of the old socket, which a receive in progress
        # would keep open.
        self.parked.clear(), self.reading.clear()
        assert self.parked.wait(5)
        self.sock.close(), os.unlink(self.path), meanwhile(), self.bind()
        self.reading.set()

    def _read(self):
        while True:
            if not self.reading.is_set():
                self.parked.set()
                self.reading.wait()
            try:
                data, ancillary, _, _ = self.sock.recvmsg(16384, socket.CMSG_SPACE(12))
            except OSError:  # a time-out
                continue
            pid = struct.unpack_from("i", ancillary[0][2])[0] if ancillary else 0
            if pid != os.getpid():
                self.lines.append((pid, data))  # as fast as the daemon logs, without a lock
                continue
            with self.arrived:
                self.marks.add(data)
                self.arrived.notify_all()

    def drain(self):
        # Returns once every line sent before the call has been read.
        mark = b"drain %d" % next(self.serial)
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sender:
            sender.sendto(mark, self.path)
        with self.arrived:
            assert self.arrived.wait_for(lambda: mark in self.marks, 5)

    def raw(self, pid):
        return [data for sender, data in self.lines if sender == pid]

    def of(self, pid):
        # "<priority>ident: text" of each line from pid.
        return [(b"<%s>%s" % match.groups() if (match := self.LINE.fullmatch(data)) else data).decode("latin-1")
                for data in self.raw(pid)]


LOG = LogListener()


class Process:
    # One run of a program; its standard output and error are files that
    # can be read while it runs. Whatever still runs after a test is killed.
    running = []

    def __init__(self, argv, env=None, stdin=b"", fds=()):
        # fds: sockets passed as a service manager passes them, from
        # descriptor 3 on, with LISTEN_FDS and LISTEN_PID (the pid stays the
        # same through every exec of a wrapper).
        self.files = [tempfile.TemporaryFile() for _ in range(3)]
        self.files[0].write(stdin), self.files[0].seek(0)
        if fds:
            argv = ["sh", "-c", 'export LISTEN_PID=$$ LISTEN_FDS=%d; exec "$@"' % len(fds), "sh"] + argv

        def place_fds():
            for number, fd in enumerate([os.dup(fd) for fd in fds], 3):
                os.dup2(fd, number)  # inheritable, unlike every other descriptor here
        self.proc = subprocess.Popen(argv, env=dict(os.environ, **(env or {})), stdin=self.files[0],
                                     stdout=self.files[1], stderr=self.files[2], close_fds=not fds,
                                     preexec_fn=place_fds if fds else None)
        self.pid, self.seen, self.wrapped = self.proc.pid, 0, False
        Process.running.append(self.proc)

    def wait(self, timeout=5.0):
        # The exit status (minus the signal that ended it), or None while it
        # runs; once it has ended, every line it logged has been read.
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        LOG.drain()
        assert not (self.wrapped and self.err().startswith(("unshare:", "mount:"))), \
            "the mount namespace wrapper failed, not the program: " + self.err()
        return self.proc.returncode

    def signal(self, sig): self.proc.send_signal(sig)
    def out(self): return os.pread(self.files[1].fileno(), 1 << 26, 0).decode("latin-1")
    def err(self): return os.pread(self.files[2].fileno(), 1 << 26, 0).decode("latin-1")
    def lines(self): return LOG.of(self.pid)

    def new_lines(self):
        # The lines logged since the previous call.
        LOG.drain()
        lines = self.lines()
        fresh, self.seen = lines[self.seen:], len(lines)
        return fresh


# The status of a wrapper that could not show the listener as /dev/log.
WRAPPER_FAILED = 125


def logging(argv, env=None, fds=()):
    # A process that sees the listener as /dev/log.
    if LOG.private:
        argv = ["unshare", "--mount", "sh", "-c", 'mount --bind "$0" /dev/log || exit %d; exec "$@"'
                % WRAPPER_FAILED, LOG.path] + argv
    process = Process(argv, env, fds=fds)
    process.wrapped = LOG.private
    return process


def Daemon(args, env=None, fds=()):
    # The real daemon; VOSTRELLD_WRAPPER runs it under a tool such as
    # valgrind, which keeps its pid.
    return logging(shlex.split(os.environ.get("VOSTRELLD_WRAPPER", "")) + [BIN] + args, env, fds)


def statistics(daemon):
    # Asks for the statistics line; its counters by name.
    LOG.drain()
    start = len(LOG.lines)
    daemon.signal(signal.SIGUSR1)

    def answer(): return next((data for pid, data in LOG.lines[start:] if pid == daemon.pid and b"Statistics" in data), b"")
    assert until(answer)
    return {key: int(value) for key, value in (field.split("=") for field in answer().decode().split(": ")[-1].split())}


def wait_ready(daemon, pidfile):
    # Until the daemon has written its pid file; False when it ended first.
    pid = str(daemon.pid).encode()
    return until(lambda: read(pidfile) == pid or daemon.wait(0) is not None) and read(pidfile) == pid


class Manager:
    # The socket of a service manager that a daemon notifies, what came, from
    # which process (a manager takes only its service's own), and the
    # descriptors handed to its store.
    def __init__(self, tmp):
        self.path, self.got, self.senders, self.fds = tmp + "/notify", [], [], []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        self.sock.bind(self.path)

    def env(self, **more): return dict(NOTIFY_SOCKET=self.path, **more)

    def read(self, until_text=None, timeout=5.0):
        # Takes what comes until a message holds until_text or timeout passes.
        deadline = time.monotonic() + timeout
        while select.select([self.sock], [], [], max(0.0, deadline - time.monotonic()))[0]:
            message, ancillary, _, _ = self.sock.recvmsg(4096, socket.CMSG_SPACE(16) + socket.CMSG_SPACE(12))
            self.got.append(message.decode())
            for _, kind, data in ancillary:
                if kind == socket.SCM_RIGHTS:
                    self.fds += struct.unpack("%di" % (len(data) // 4), data[:len(data) // 4 * 4])
                elif kind == socket.SCM_CREDENTIALS:
                    self.senders.append(struct.unpack("i", data[:4])[0])
            if until_text and until_text in self.got[-1]:
                return self.got[-1]
        return None


class Relay:
    # A daemon on free ports, and its peers: a SUB on each publisher, a PUSH
    # to the inbound endpoint and a UDP sender.
    def __init__(self, tmp):
        self.tmp, self.daemon, self.socks, self.udp = tmp, None, [], None
        self.keys = {"pidfile": tmp + "/vostrelld.pid", "buffer_size": "2048",
                     "udpport": str(free_port(socket.SOCK_DGRAM))}
        for key in KEYS[1:4] + KEYS[5:7]:
            self.keys[key] = (">" if "processor" in key else "") + tcp(free_port())

    def config(self, extra=""):
        with open(self.tmp + "/vostrelld.cfg", "w") as f:
            f.write("".join('%s = "%s"\n' % item for item in self.keys.items()) + extra)
        return f.name

    def zsock(self, kind, endpoint=None, bind=False):
        sock = CTX.socket(kind)
        sock.ipv6 = bool(endpoint and "[" in endpoint)
        self.socks.append(sock)
        if kind == zmq.SUB:
            sock.subscribe(b"")
        if endpoint:
            sock.bind(endpoint) if bind else sock.connect(endpoint)
        return sock

    def processor(self):
        # A message processor bound here, and the daemon's endpoint for it.
        endpoint = tcp(free_port())
        return self.zsock(zmq.PULL, endpoint, bind=True), ">" + endpoint

    def launch(self, env=None, config="", fds=(), logged=()):
        # config: more lines for the configuration file; fds: passed sockets;
        # logged: the lines expected after the start line.
        self.daemon = Daemon(["-c", self.config(config)], env, fds)
        assert wait_ready(self.daemon, self.keys["pidfile"]), (self.daemon.wait(), self.daemon.lines())
        assert self.daemon.new_lines() == [START] + list(logged)

    def connect(self, udp_port=None, udp_host="127.0.0.1"):
        # Connects the peers and proves that both subscriptions receive.
        self.pub, self.gw = (self.zsock(zmq.SUB, self.keys[key]) for key in KEYS[1:3])
        self.inbound = self.zsock(zmq.PUSH, self.keys["subscriber"])
        self.udp = socket.socket(socket.AF_INET6 if ":" in udp_host else socket.AF_INET, socket.SOCK_DGRAM)
        self.udp_to = (udp_host, udp_port or int(self.keys["udpport"]))
        for sub, prefix in ((self.pub, b""), (self.gw, b"#win ")):
            assert until(lambda: self.send_udp(prefix + b"probe") or recv(sub, 0.02))
            self.send_udp(prefix + b"probe-end")
            read_until(sub, b"probe-end")

    def start(self, env=None):
        self.launch(env)
        self.connect()

    def send_udp(self, *datagrams):
        for data in datagrams:
            self.udp.sendto(data, self.udp_to)

    def push(self, *frames):
        for data in frames:
            self.inbound.send(data)

    def relay_all(self, texts, after_each):
        # Pushes texts, calling after_each() after every one, and checks that
        # each is published, reading them as they come lest a subscriber's
        # queue overflow.
        for chunk in range(0, len(texts), 500):
            for text in texts[chunk:chunk + 500]:
                self.push(text), after_each()
            self.push(b"end")
            assert read_until(self.pub, b"end", 10) == texts[chunk:chunk + 500]

    def sync(self):
        # Everything sent before has been routed once the mark is published.
        mark = b"sync %d" % next(LOG.serial)
        self.push(mark)
        read_until(self.pub, mark, 5)

    def stop(self, sig=signal.SIGTERM):
        self.daemon.signal(sig)
        return self.daemon.wait()


@pytest.fixture
def relay(tmp_path):
    # With every process it starts killed, and its sockets closed, at the end.
    relay = Relay(str(tmp_path))
    yield relay
    for sock in relay.socks + [relay.udp]:
        sock and sock.close()


@pytest.fixture(autouse=True)
def no_process_outlives_its_test():
    yield
    for proc in Process.running:
        proc.poll() is None and (proc.kill(), proc.wait())
    Process.running.clear()
