# What operators get: the tap tool against the real daemon, the installed
# files, the systemd unit, the shipped configurations and the manual pages.
import ctypes, gzip, os, re, shutil, signal, socket, subprocess, time
import pytest
from conftest import KEYS, TAP, Process, free_port, read, read_until, tcp, until

ENV = os.environ
NOBODY = tcp(free_port())


def tap(*args, stdin=b""): return Process([TAP, *args], stdin=stdin)


def catches_sigterm(pid):
    # Only then does a signal end the tool cleanly instead of killing it.
    return int(re.search(r"SigCgt:\s*(\w+)", open("/proc/%d/status" % pid).read())[1], 16) >> (signal.SIGTERM - 1) & 1


def test_tap_send_delivers_each_text_over_udp_and_to_the_inbound_endpoint(relay):
    relay.start()
    udp, inbound = "udp://127.0.0.1:" + relay.keys["udpport"], relay.keys["subscriber"]
    for args, stdin, published, gateway, least_seconds in [
            (["send", udp, "hello", "#win to gateway", 'say "hi" #x'], b"", [b"hello", b'say "hi" #x'],
             [b"to gateway"], 0),
            (["send", inbound, "hello", "#win to gateway"], b"", [b"hello"], [b"to gateway"], 0),
            # The daemon drops an empty datagram but relays an empty frame.
            (["send", udp], b"line one\n#win line two\n\nline four", [b"line one", b"line four"],
             [b"line two"], 0),
            (["send", inbound], b"a\n\nb\n", [b"a", b"", b"b"], [], 0),
            (["send", "-n", "5", "-r", "100", udp, "a", "b"], b"", [b"a", b"b", b"a", b"b", b"a"], [], 0.04),
            (["send", "-n", "3", inbound, "#win c"], b"", [], [b"c"] * 3, 0)]:
        started = time.monotonic()
        sender = tap(*args, stdin=stdin)
        assert (sender.wait(), sender.out(), sender.err()) == (0, "", ""), args
        assert time.monotonic() - started >= least_seconds  # paced: four gaps of 10 ms
        relay.send_udp(b"end"), relay.send_udp(b"#win end")
        assert (read_until(relay.pub, b"end"), read_until(relay.gw, b"end")) == (published, gateway), args


def test_the_log_listener_prints_each_line_as_a_person_reads_it(tmp_path):
    path = str(tmp_path / "log")
    sink = Process([os.path.join(os.path.dirname(TAP), "vostrelld-logsink"), path])
    assert until(lambda: os.path.exists(path))
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sender:
        for line in (b"<14>Dec 10 13:48:23 vostrelld: Starting", b"<11>Dec  1 03:08:23 vostrelld: f: 2, x\n",
                     b"<12>Dec 10 13:48:23 vostrelld: Parameter", b"<15>Dec 10 13:48:23 a: b", b"no header"):
            sender.sendto(line, path)
    sink.signal(signal.SIGTERM)
    assert sink.wait() == 0 and sink.out() == (
        "Dec 10 13:48:23 vostrelld: Starting\nDec  1 03:08:23 vostrelld: error: f: 2, x\n"
        "Dec 10 13:48:23 vostrelld: warning: Parameter\nDec 10 13:48:23 a: debug: b\nno header\n")


@pytest.mark.parametrize("args, sig, status, error", [
    ([], None, 2, "Usage: vostrelld-tap send"), (["bogus"], None, 2, "Usage:"), (["send"], None, 2, "Usage:"),
    (["watch"], None, 2, "Usage:"), (["watch", "-r", "5", NOBODY], None, 2, "Usage:"),
    (["pull", "-s", "x", NOBODY], None, 2, "Usage:"), (["pull", NOBODY, NOBODY], None, 2, "Usage:"),
    *[(["send", option, value, "udp://127.0.0.1:9", "x"], None, 2, "%s: invalid value '%s'" % (option, value))
      for option, value in (("-n", "0"), ("-r", "-1"), ("-t", "soon"))],
    *[(["send", target, "x"], None, 1, "vostrelld-tap: expected udp://HOST:PORT\n")
      for target in ("udp://127.0.0.1", "udp://:5565", "udp://127.0.0.1:", "udp://")],
    (["send", "udp://127.0.0.1:notaport", "x"], None, 1, "127.0.0.1:notaport: Servname not supported"),
    (["send", "tcp://", "x"], None, 1, "vostrelld-tap: tcp://: Invalid argument\n"),
    (["send", "-t", "0.2", NOBODY, "x"], None, 1,
     "send to %s: Resource temporarily unavailable (0 of 1 sent)" % NOBODY),
    (["pull", "not-an-endpoint"], None, 1, "vostrelld-tap: not-an-endpoint: Invalid argument\n"),
    # Receiving ends after its time (failing when fewer than -n came) or on a signal, with the count.
    *[(args, sig, status, "0 messages\n") for args, sig, status in [
        (["pull", "-t", "0.2", "{}"], None, 0), (["pull", "-n", "2", "-t", "0.2", "{}"], None, 1),
        (["watch", "-t", "0", "{}"], None, 0), (["watch", "{}"], signal.SIGTERM, 0), (["pull", "-x", "{}"], signal.SIGINT, 0),
        (["pull", "-n", "3", "{}"], signal.SIGTERM, 0)]]])
def test_tap_exit_status_and_messages(args, sig, status, error):
    started, run = time.monotonic(), tap(*[arg.format(tcp(free_port())) for arg in args])
    if sig:
        assert until(lambda: catches_sigterm(run.pid)) and run.wait(0.05) is None  # runs until told
        run.signal(sig)
    assert (run.wait(), run.out()) == (status, "") and error in run.err()
    assert time.monotonic() - started < 3


def test_tap_watch_prints_each_message_as_text_or_hex_and_counts_them(relay):
    relay.start()
    pub, gw = relay.keys["publisher"], relay.keys["gatewaypublisher"]
    for args, prefix, probe, end, sent, printed in [  # probe and end: how the tool shows them
            ([pub], b"", '"probe"', '"end"', [b"plain text", b"tab\there", b'q"b\\', b"\x01\x7f\xe9", b"l\nn\r"],
             ['"plain text"', r'"tab\there"', r'"q\"b\\"', r'"\x01\x7f\xe9"', r'"l\nn\x0d"']),
            (["-x", gw], b"#win ", "70726f6265", "656e64", [b"#win ", b"#win \x01\x7f\xe9"], ["-", "017fe9"]),
            (["-s", "keep", pub], b"keep ", '"keep probe"', '"keep end"',
             [b"drop 1", b"keep 1", b"Keep 2", b"keep 3"], ['"keep 1"', '"keep 3"'])]:
        watch = tap("watch", *args)
        # The subscription takes effect a moment after the start.
        assert until(lambda: relay.send_udp(prefix + b"probe") or probe in watch.out().split("\n"))
        for text in sent + [prefix + b"end"]:
            relay.send_udp(text)
        assert until(lambda: end in watch.out().split("\n")) and until(lambda: catches_sigterm(watch.pid))
        watch.signal(signal.SIGTERM)
        assert watch.wait() == 0
        lines = watch.out().split("\n")[:-1]
        last_probe = len(lines) - lines[::-1].index(probe)
        assert (lines[last_probe:], watch.err()) == (printed + [end], "%d messages\n" % len(lines))


@pytest.mark.parametrize("key, daemon_side, args, text, printed", [
    ("message_processor", ">", ["-x", "{}"], b"#oldmp 0123456789ab|0a0B", "0123456789ab 0a0b"),
    ("message_processor", ">", ["-x", "@{}"], b"#oldmp 0123456789AB ", "0123456789ab -"),
    ("message_processor", "@", [">{}"], b"#oldmp 00000000002a 41", r'"\x00\x00\x00\x00\x00*" "A"'),
    ("message_processor_backyard", ">", ["{}"], b"#jwin hello there", '"hello there"'),
    ("message_processor_backyard", "@", ["-x", ">{}"], b"#jwin ", "-")])
def test_tap_pull_acts_as_either_message_processor(relay, key, daemon_side, args, text, printed):
    endpoint = tcp(free_port())
    relay.keys[key] = daemon_side + endpoint
    relay.start()
    pull = tap("pull", "-n", "1", "-t", "5", *[arg.format(endpoint) for arg in args])
    # A bound push socket drops what it sends before the tool is connected.
    assert until(lambda: relay.send_udp(text) or pull.wait(0.02) is not None, 6)
    assert (pull.wait(), pull.out(), pull.err()) == (0, printed + "\n", "1 message\n")


def install(root):
    subprocess.run([ENV["CMAKE_COMMAND"], "--install", ENV["BINARY_DIR"]], env=dict(ENV, DESTDIR=root),
                   check=True, capture_output=True)
    return root


@pytest.fixture(scope="module")
def stage(tmp_path_factory):  # a staged "cmake --install" of this build
    return install(str(tmp_path_factory.mktemp("stage")))


@pytest.mark.parametrize("path, mode", [
    ("{SBINDIR}/vostrelld", 0o755), ("{BINDIR}/vostrelld-tap", 0o755), ("{MANDIR}/man8/vostrelld.8.gz", 0o644),
    ("{MANDIR}/man1/vostrelld-tap.1.gz", 0o644), ("{DOCDIR}/vostrelld.cfg", 0o644),
    ("{UNITDIR}/vostrelld.service", 0o644), ("{UNITDIR}/vostrelld.socket", 0o644), ("{CONFIG_FILE}", 0o644)])
def test_installed_file_and_its_mode(stage, path, mode):
    assert os.stat(stage + path.format(**ENV)).st_mode & 0o777 == mode


def test_installed_page_is_the_source_page_and_an_edited_configuration_is_kept(stage):
    assert gzip.open(stage + ENV["MANDIR"] + "/man8/vostrelld.8.gz").read() == read(ENV["SOURCE_DIR"] + "/man/vostrelld.8")
    with open(stage + ENV["CONFIG_FILE"], "a") as config:
        config.write("# edited\n")
    edited, _ = read(stage + ENV["CONFIG_FILE"]), install(stage)
    assert read(stage + ENV["CONFIG_FILE"]) == edited


def test_systemd_unit_verifies_cleanly(stage):
    # Verification resolves the unit's dependencies in the staged tree.
    shutil.copytree("/lib/systemd/system", stage + "/lib/systemd/system", symlinks=True, dirs_exist_ok=True)
    verify = subprocess.run(["systemd-analyze", "verify", "--man=no", "--root=" + stage,
                             *(stage + ENV["UNITDIR"] + "/vostrelld." + kind for kind in ("service", "socket"))],
                            capture_output=True)
    assert (verify.returncode, verify.stdout + verify.stderr) == (0, b"")  # warnings keep status 0
    # Exposed no more than 1.7 (of 10) to what the daemon could do if taken over.
    assert subprocess.run(["systemd-analyze", "security", "--offline=true", "--threshold=17", "--root=" + stage,
                           stage + ENV["UNITDIR"] + "/vostrelld.service"], capture_output=True).returncode == 0


OPTIONAL = {"udpaddress": b"127.0.0.1", "max_message_size": b"1048576", "peer_timeout": b"10000",
            "spool/message_processor_backyard": b"1073741824"}  # set in both shipped configurations


def config_values(path):
    # Loaded as the daemon loads it.
    czmq = ctypes.CDLL("libczmq.so.4")
    czmq.zconfig_load.restype, czmq.zconfig_get.restype = ctypes.c_void_p, ctypes.c_char_p
    czmq.zconfig_get.argtypes = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p
    config = czmq.zconfig_load(path.encode())
    return config and {key: czmq.zconfig_get(config, b"/" + key.encode(), None) for key in KEYS + list(OPTIONAL)}


def test_systemd_unit_runs_the_installed_daemon_with_its_pid_file_in_the_runtime_directory(stage):
    unit = dict(line.split("=", 1) for line in open(stage + ENV["UNITDIR"] + "/vostrelld.service")
                .read().splitlines() if "=" in line and line[0] not in "#[")
    assert unit["ExecStart"] == "{SBINDIR}/vostrelld -c {CONFIG_FILE}".format(**ENV)
    # The socket unit listens where the installed configuration binds.
    config = {key: value.decode() for key, value in config_values(stage + ENV["CONFIG_FILE"]).items()}
    listening = [line.split("=", 1) for line in open(stage + ENV["UNITDIR"] + "/vostrelld.socket").read().splitlines()
                 if line.startswith("Listen")]
    assert listening == [["ListenDatagram", "%s:%s" % (config["udpaddress"], config["udpport"])]] + [
        ["ListenStream", config[key].replace("tcp://", "")] for key in ("subscriber", "publisher", "gatewaypublisher")]
    pidfile = config_values(stage + ENV["CONFIG_FILE"])["pidfile"].decode()
    assert pidfile.startswith("/run/%s/" % unit["RuntimeDirectory"])
    assert "directory = \"/var/lib/%s\"" % unit["StateDirectory"] in open(stage + ENV["CONFIG_FILE"]).read()
    required = {"Type": "notify", "NotifyAccess": "main", "WatchdogSec": "10s", "LimitCORE": "0",
                "FileDescriptorStoreMax": "1", "StateDirectoryMode": "0700",
                "Restart": "on-failure", "KillSignal": "SIGTERM", "DynamicUser": "yes",
                "ProtectSystem": "strict", "ProtectHome": "yes", "NoNewPrivileges": "yes", "PrivateTmp": "yes",
                "RestrictAddressFamilies": "AF_UNIX AF_INET AF_INET6"}
    assert {key: unit.get(key) for key in required} == required


@pytest.mark.parametrize("path", ["dist/vostrelld.cfg", "examples/vostrelld.cfg"])
def test_shipped_configuration_loads_and_comments_every_key(path):
    path = ENV["SOURCE_DIR"] + "/" + path
    values = config_values(path)
    assert None not in values.values() and {key: values[key] for key in OPTIONAL} == OPTIONAL
    lines = open(path).read().splitlines()
    for key in KEYS + ["udpaddress", "max_message_size", "peer_timeout", "spool"]:
        line = [line == key or line.startswith(key + " =") for line in lines].index(True)
        assert line > 0 and lines[line - 1].startswith("#"), key
    for key in ("curve", "    certificate =", "    clients =", "allow =", "stop_grace =", "udp_receive_buffer ="):
        assert any(line.startswith("#" + key) for line in lines), key  # shown, not set


def sections(page):
    # The page rendered as plain text, without bold and underline: the lines
    # of each section, blanks squeezed, by heading.
    text = subprocess.run(["mandoc", "-T", "ascii", "-O", "width=200", page], capture_output=True).stdout
    parts = re.split(r"^(\S.*)$", re.sub(r".\x08", "", text.decode()), flags=re.M)
    return {name: {" ".join(line.split()) for line in body.split("\n")} - {""}
            for name, body in zip(parts[1::2], parts[2::2])}


MAN8, MAN1 = ENV["SOURCE_DIR"] + "/man/vostrelld.8", ENV["SOURCE_DIR"] + "/man/vostrelld-tap.1"


@pytest.mark.parametrize("page, names", [
    (MAN8, ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "CONFIGURATION", "SIGNALS", "FILES", "EXIT STATUS",
            "EXAMPLES", "DIAGNOSTICS", "SEE ALSO"]),
    (MAN1, ["NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "EXAMPLES", "SEE ALSO"])])
def test_manual_page_is_lint_clean_and_has_every_section(page, names):
    lint = subprocess.run(["mandoc", "-T", "lint", "-W", "warning", page], capture_output=True)
    assert (lint.returncode, lint.stdout + lint.stderr) == (0, b"")
    assert all(sections(page).get(name) for name in names)


DIAGNOSTICS = [
    "Starting version, ZMQ version x.y.z, CZMQ version x.y.z", "Exiting",
    "Statistics: in.inbound=n ... refused.auth=n", "The configuration file is not defined!",
    "Error in the configuration file!", 'Parameter "/key" is not found in the configuration file!',
    'Parameter "/key": cannot read path (text)', 'Parameter "/key": path holds no secret key',
    'Parameter "/key": path holds no public key', 'Parameter "/key" needs "/curve/certificate"',
    'Parameter "/curve/certificate": path is open to group or others (chmod 600 it)',
    *['Parameter "/%s": "value" is not %s' % pair for pair in (("allow", "an IP address"), (
        "max_message_size", "a size in bytes"), ("udpaddress", "an IPv4 address"), ("udpaddress", "an IPv6 address"),
        ("allow", "an IP address (zones are not taken)"), ("key", "a whole number from n to n"),
        ("key", "an endpoint (endpoint holds no IPv6 address)"))],
    'Parameter "/key": "value" needs IPv6, which this host lacks (errno, text)',
    'Parameter "/udp_receive_buffer": asked for n bytes, the kernel granted n (net.core.rmem_max)',
    "create_sockets: passed socket n (kind address:port) matches no endpoint, closed",
    'create_sockets: passed socket n (kind address:port) holds the port of "endpoint" but not its address',
    "create_access: zactor_new: errno, text", "create_sockets: zmq_socket_monitor: errno, text",
    *["create_sockets: %s: errno, text" % call for call in ("zsock_new", "zsock_bind", "udp_new", "zsock_new_push")],
    "create_reactor: zloop_new: errno, text", "create_reactor: zloop_reader: errno, text",
    "unable to create pid file path, code=errno (text)", "unable to write pid file path, code=errno (text)",
    "subscriber_socket_handler: zstr_recv: errno, text", "udp_socket_handler: udp_socket_handler: errno, text",
    *["send_data: zstr_send (%s): errno, text" % socket for socket in ("PUBLISHER_SOCKET", "GATEWAYPUBLISHER_SOCKET")],
    *["%s message processor %squeue!" % (what, queue) for what in ("Overflow", "Exemption") for queue in ("", "backyard ")],
    "send_data: zframe_send: errno, text", "send_data: zframe_new: errno, text", "send_data: wrong size of input data!",
    "string_to_uint8_arr: Invalid input data: [XX]", "send_data: string_to_uint8_arr: wrong timestamp!",
    "send_data: string_to_uint8_arr: wrong data!"]


@pytest.mark.parametrize("name, entries", [
    ("DIAGNOSTICS", DIAGNOSTICS), ("CONFIGURATION", KEYS),
    ("DESCRIPTION", ["#win text", "#oldmp record", "#jwin text", "anything else"])])
def test_manual_documents_every_log_line_key_and_route(name, entries):
    assert set(entries) - sections(MAN8)[name] == set()
