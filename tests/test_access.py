# Who may connect: CURVE certificates made by pyzmq and by CZMQ, the allow
# list, bounded frames and the UDP address, against the real daemon over
# real sockets; and the tap tool as a CURVE peer.
import contextlib, ctypes, os, socket
import pytest, zmq, zmq.auth
from conftest import (AS_NOBODY, MEASURED, START, TAP, Daemon, Process, err, free_port, read_until, recv, rss_kib,
                      statistics, tcp, udp_sockets, until)

TS = bytes.fromhex("0123456789ab")


class Keys:
    # The daemon's certificate (its secret file private), an admitted
    # client's in the clients directory, a stranger's, and the record
    # processor's, made by CZMQ: (public file, secret file) each.
    def __init__(self, tmp):
        self.dir = tmp + "/keys"
        os.makedirs(self.dir + "/clients")
        self.daemon = zmq.auth.create_certificates(self.dir, "daemon")
        os.chmod(self.daemon[1], 0o600)
        self.client = zmq.auth.create_certificates(self.dir + "/clients", "client")
        self.stranger = zmq.auth.create_certificates(self.dir, "stranger")
        czmq = ctypes.CDLL("libczmq.so.4")
        czmq.zcert_new.restype = ctypes.c_void_p
        cert = ctypes.c_void_p(czmq.zcert_new())
        czmq.zcert_save(cert, (self.dir + "/processor").encode()), czmq.zcert_destroy(ctypes.byref(cert))
        self.processor = self.dir + "/processor", self.dir + "/processor_secret"

    def config(self, allow=None, **keys):
        # The optional keys: the curve section with the daemon's certificate
        # and the clients directory unless told otherwise.
        curve = dict(certificate=self.daemon[1], clients=self.dir + "/clients", **keys)
        text = "curve\n" + "".join('    %s = "%s"\n' % item for item in curve.items() if item[1])
        return text + ('allow = "%s"\n' % allow if allow else "")


@pytest.fixture
def keys(tmp_path): return Keys(str(tmp_path))


def secured(sock, certificate, server_public=None):
    # A CURVE client of server_public, or a CURVE server without it.
    sock.curve_publickey, sock.curve_secretkey = zmq.auth.load_certificate(certificate)
    if server_public:
        sock.curve_serverkey = zmq.auth.load_certificate(server_public)[0]
    else:
        sock.curve_server = True
    return sock


def peers(relay, certificate, server_public, source=""):
    # A producer and a subscriber of each publisher, from source.
    made = [secured(relay.zsock(kind), certificate, server_public) if certificate else relay.zsock(kind)
            for kind in (zmq.PUSH, zmq.SUB, zmq.SUB)]
    for sock, key in zip(made, ("subscriber", "publisher", "gatewaypublisher")):
        sock.type == zmq.SUB and sock.subscribe(b"")
        sock.connect(relay.keys[key].replace("tcp://", "tcp://" + source + ";" if source else "tcp://"))
    return made


def subscribed(producer, pub, gw):
    # Once both subscriptions hold, what the probes left is read.
    for sock, prefix in ((pub, b""), (gw, b"#win ")):
        if not until(lambda: producer.send(prefix + b"probe") or recv(sock, 0.02)):
            return False
        producer.send(prefix + b"probe-end")
        read_until(sock, b"probe-end")
    return True


def test_admitted_peers_relay_to_admitted_subscribers_and_curve_processors(relay, keys):
    # The record processor is a CURVE server that the daemon knows by its
    # certificate; the backyard one a CURVE client, admitted like any peer.
    processor = secured(relay.zsock(zmq.PULL), keys.processor[1])
    backyard = secured(relay.zsock(zmq.PULL), keys.client[1], keys.daemon[0])
    for sock, key in ((processor, "message_processor"), (backyard, "message_processor_backyard")):
        relay.keys[key] = ">" + tcp(sock.bind_to_random_port("tcp://127.0.0.1"))
    relay.launch(config=keys.config(message_processor=keys.processor[0]))
    producer, pub, gw = peers(relay, keys.client[1], keys.daemon[0])
    assert subscribed(producer, pub, gw)
    for text in (b"plain", b"#win to gateway", b"#jwin to backyard", b"#oldmp 0123456789ab 0a0b", b"end"):
        producer.send(text)
    assert [recv(processor), recv(backyard)] == [[TS, b"\x0a\x0b"], [b"to backyard"]]
    assert recv(gw) == [b"to gateway"] and read_until(pub, b"end")[-1:] == [b"plain"]
    assert statistics(relay.daemon)["refused.auth"] == 0
    os.unlink(keys.client[0])  # revoked: the next connection with that key is refused
    peers(relay, keys.client[1], keys.daemon[0])
    assert until(lambda: statistics(relay.daemon)["refused.auth"] >= 3)
    assert relay.stop() == 0 and relay.daemon.out() == relay.daemon.err() == ""  # no watch left dangling


@pytest.mark.parametrize("curve, certificate, server, source, allow", [
    (True, "stranger", "daemon", "", None),  # a key not among the clients
    (True, None, None, "", None),  # no CURVE at all
    (True, "client", "stranger", "", None),  # the wrong server key
    (True, "client", "daemon", "127.0.0.2:0", "127.0.0.1"),  # an admitted key from an address not allowed
    (False, None, None, "127.0.0.2:0", "127.0.0.1, ::1")])  # a plain peer from an address not allowed
def test_a_refused_peer_gets_nothing_through_and_is_counted(relay, keys, curve, certificate, server, source, allow):
    relay.launch(config=keys.config(allow=allow) if curve else 'allow = "%s"\n' % allow)
    admitted = peers(relay, keys.client[1] if curve else None, keys.daemon[0])
    refused = peers(relay, certificate and getattr(keys, certificate)[1], server and getattr(keys, server)[0],
                    source)
    assert until(lambda: statistics(relay.daemon)["refused.auth"] >= 3), statistics(relay.daemon)["refused.auth"]  # three sockets; each retries
    assert subscribed(*admitted)
    with contextlib.suppress(zmq.Again):  # queued, or nowhere to go where its connection gave up
        refused[0].send(b"refused", zmq.NOBLOCK)
    admitted[0].send(b"admitted"), admitted[0].send(b"#win admitted")
    assert [recv(admitted[1]), recv(admitted[2])] == [[b"admitted"], [b"admitted"]]
    assert [recv(sock, 0.2) for sock in refused[1:] + admitted[1:]] == [None] * 4
    assert all("Statistics" in line for line in relay.daemon.new_lines())  # a refused peer logs nothing


@pytest.mark.parametrize("size, relayed", [(1 << 20, True), ((1 << 20) + 1, False), (64 << 20, False)])
def test_a_frame_over_max_message_size_is_never_relayed_nor_held(relay, size, relayed):
    relay.launch(config="max_message_size = %d\n" % (1 << 20))
    relay.connect()
    peak, producer = rss_kib(relay.daemon.pid, "VmHWM"), relay.zsock(zmq.PUSH)
    cut = producer.get_monitor_socket(zmq.EVENT_DISCONNECTED)
    producer.connect(relay.keys["subscriber"])
    producer.send(b"x" * size)
    assert recv(relay.pub, 5) == [b"x" * size] if relayed else recv(cut, 5)  # cut off at the frame's header
    relay.sync()  # the other producers go on
    assert recv(relay.pub, 0.2) is None
    assert not MEASURED or rss_kib(relay.daemon.pid, "VmHWM") - peak < 8192 + 2 * (size >> 10) * relayed


@pytest.mark.skipif(os.geteuid() != 0, reason="runs the daemon as another user")
@pytest.mark.parametrize("curve", [False, True])
def test_a_daemon_holding_a_secret_key_cannot_be_dumped(relay, keys, monkeypatch, curve):
    # As an ordinary user (allowed to read the test's files), whose processes
    # that user may read and dump; /proc shows an undumpable one as root's.
    monkeypatch.setenv("VOSTRELLD_WRAPPER", AS_NOBODY + os.environ.get("VOSTRELLD_WRAPPER", ""))
    relay.launch(config=keys.config() if curve else "")
    assert os.stat("/proc/%d/status" % relay.daemon.pid).st_uid == (0 if curve else 65534)
    assert relay.stop() == 0


def test_allow_covers_datagrams_by_their_source(relay):
    relay.launch(config='allow = "10.1.2.3, 127.0.0.3 ::1 127.0.0.1"\n')
    relay.connect()  # from 127.0.0.1
    for source in ("127.0.0.2", "127.0.0.3", "127.0.0.4"):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            sender.bind((source, 0))
            sender.sendto(b"from " + source.encode(), relay.udp_to)
    relay.send_udp(b"end")
    assert read_until(relay.pub, b"end") == [b"from 127.0.0.3"]
    counted = statistics(relay.daemon)
    assert (counted["refused.udp"], counted["in.udp"] - counted["out.publisher"] - counted["out.gateway"]) == (2, 2)
    assert all("Statistics" in line for line in relay.daemon.new_lines())  # nothing per datagram


def test_udpaddress_binds_that_address_only(relay):
    relay.launch(config='udpaddress = "127.0.0.1"\n')
    assert udp_sockets(relay.daemon.pid) == [("127.0.0.1", int(relay.keys["udpport"]))]
    relay.connect()
    relay.udp.sendto(b"elsewhere", ("127.0.0.2", int(relay.keys["udpport"])))
    relay.send_udp(b"here")
    assert recv(relay.pub) == [b"here"]


NO_SUCH = "No such file or directory"


@pytest.mark.parametrize("config, logged", [
    ('curve\n    certificate = "{dir}/none"\n', '"/curve/certificate": cannot read {dir}/none (%s)' % NO_SUCH),
    ('curve\n    certificate = "{dir}"\n', '"/curve/certificate": cannot read {dir} (Is a directory)'),
    ('curve\n    certificate = "{dir}/daemon.key"\n', '"/curve/certificate": {dir}/daemon.key holds no secret key'),
    ('curve\n    certificate = "{dir}/stranger.key_secret"\n',
     '"/curve/certificate": {dir}/stranger.key_secret is open to group or others (chmod 600 it)'),
    ('curve\n    certificate = "{dir}/daemon.key_secret"\n    clients = "{dir}/none"\n',
     '"/curve/clients": cannot read {dir}/none (%s)' % NO_SUCH),
    ('curve\n    certificate = "{dir}/daemon.key_secret"\n    message_processor = "{dir}/clients"\n',
     '"/curve/message_processor": cannot read {dir}/clients (Is a directory)'),
    ('curve\n    certificate = "{dir}/daemon.key_secret"\n    message_processor_backyard = "{cfg}"\n',
     '"/curve/message_processor_backyard": {cfg} holds no public key'),
    ('curve\n    clients = "{dir}/clients"\n', '"/curve/clients" needs "/curve/certificate"'),
    ('curve\n    message_processor = "{dir}/processor"\n', '"/curve/message_processor" needs "/curve/certificate"'),
    ('allow = "127.0.0.1 localhost"\n', '"/allow": "localhost" is not an IP address'),
    ('allow = ", "\n', '"/allow": ", " is not an IP address'),
    ('allow = "::1 fe80::1%lo"\n', '"/allow": "fe80::1%lo" is not an IP address (zones are not taken)'),
    ('allow = "::1 ::g"\n', '"/allow": "::g" is not an IP address'),
    ('max_message_size = "1k"\n', '"/max_message_size": "1k" is not a size in bytes'),
    ('max_message_size = "-1"\n', '"/max_message_size": "-1" is not a size in bytes'),
    ('max_message_size = "9223372036854775808"\n',
     '"/max_message_size": "9223372036854775808" is not a size in bytes'),
    ('udpaddress = "127.1"\n', '"/udpaddress": "127.1" is not an IPv4 address'),
    ('udpaddress = "::g"\n', '"/udpaddress": "::g" is not an IPv6 address'),
    *[(text, '"/%s": "%s" is not a whole number from %s' % (key, value, limits)) for text, key, value, limits in [
        ('queue\n    subscriber = "0"\n', "queue/subscriber", "0", "1 to 10000000"),
        ('queue\n    publisher = "1e3"\n', "queue/publisher", "1e3", "1 to 10000000"),
        ('queue\n    gatewaypublisher = ""\n', "queue/gatewaypublisher", "", "1 to 10000000"),
        ('queue\n    message_processor = " 5"\n', "queue/message_processor", " 5", "1 to 10000000"),
        ('queue\n    message_processor_backyard = "10000001"\n', "queue/message_processor_backyard", "10000001",
         "1 to 10000000"),
        ('peer_timeout = "-1"\n', "peer_timeout", "-1", "0 to 3600000"),
        ('spool\n    message_processor = "1048575"\n', "spool/message_processor", "1048575",
         "1048576 to 1099511627776"),
        ('spool\n    message_processor_backyard = "1G"\n', "spool/message_processor_backyard", "1G",
         "1048576 to 1099511627776")]],
    ('spool\n    message_processor_backyard = 1048576\n',
     '"/spool/message_processor_backyard" needs "/spool/directory"'),
    ('spool\n    directory = "{dir}/none/spool"\n    message_processor = 1048576\n',
     '"/spool/directory": cannot create {dir}/none/spool (%s)' % NO_SUCH),
    ('spool\n    directory = "{cfg}"\n    message_processor = 1048576\n',
     '"/spool/directory": cannot write {cfg} (Not a directory)')])
def test_each_unusable_optional_key_stops_the_start(relay, keys, config, logged):
    config = relay.config(config.format(dir=keys.dir, cfg=relay.tmp + "/vostrelld.cfg"))
    daemon = Daemon(["-c", config])
    assert daemon.wait() == 1 and daemon.lines() == [START, err("Parameter " + logged.format(
        dir=keys.dir, cfg=config))] and daemon.err() == ""
    assert not os.path.exists(relay.keys["pidfile"])


@pytest.mark.parametrize("command, args, key, daemon_side", [
    ("send", ["-k", "{client}", "-S", "{daemon}", "{subscriber}", "#win from the tap"], None, None),
    ("watch", ["-n", "1", "-t", "5", "-k", "{client}", "-S", "{daemon}", "{gatewaypublisher}"], None, None),
    ("pull", ["-n", "1", "-t", "5", "-k", "{processor}", "@{endpoint}"], "message_processor", ">"),
    ("pull", ["-n", "1", "-t", "5", "-k", "{client}", "-S", "{daemon}", ">{endpoint}"],
     "message_processor_backyard", "@")])
def test_tap_speaks_curve(relay, keys, command, args, key, daemon_side):
    endpoint = tcp(free_port())
    if key:
        relay.keys[key] = daemon_side + endpoint
    relay.launch(config=keys.config(message_processor=keys.processor[0]))
    producer, pub, gw = peers(relay, keys.client[1], keys.daemon[0])
    assert subscribed(producer, pub, gw)
    names = dict(relay.keys, client=keys.client[1], daemon=keys.daemon[0], processor=keys.processor[1],
                 endpoint=endpoint)
    tap = Process([TAP, command] + [arg.format(**names) for arg in args])
    text = {"send": None, "watch": b"#win watched", "pull": b"#oldmp 0123456789ab 0a0b" if key ==
            "message_processor" else b"#jwin pulled"}[command]
    assert until(lambda: (text and producer.send(text)) or tap.wait(0.05) is not None, 6)
    assert tap.wait() == 0 and tap.err() in ("", "1 message\n")
    assert recv(gw) == [b"from the tap"] if command == "send" else tap.out() in (
        '"watched"\n', '"\\x01#Eg\\x89\\xab" "\\n\\x0b"\n', '"pulled"\n')
