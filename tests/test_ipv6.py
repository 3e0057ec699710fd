# IPv6 where the configuration names it, and nowhere else: every route over
# ::1, dual-stack endpoints and UDP under the allow list, passed sockets
# matched by address, the environment's ZSYS_IPV6 ignored, and the values
# that stop the start. Skipped where the host has no IPv6 loopback.
import contextlib, os, socket, struct
import pytest, zmq
from conftest import (START, TAP, Daemon, Manager, Process, err, free_port, held, holds, read_until, recv, statistics,
                      tcp, until)

try:
    socket.socket(socket.AF_INET6, socket.SOCK_DGRAM).bind(("::1", 0))
    NO_IPV6 = None
except OSError as error:
    NO_IPV6 = "no IPv6 loopback here: %s" % error
pytestmark = pytest.mark.skipif(NO_IPV6 is not None, reason=str(NO_IPV6))
TS = bytes.fromhex("0123456789ab")
BOUND = ("subscriber", "publisher", "gatewaypublisher")


def on(relay, host):
    # The relay's bound endpoints and UDP port on host, their ports free on
    # both families.
    for key in BOUND:
        relay.keys[key] = tcp(free_port(family=socket.AF_INET6), host)
    relay.keys["udpport"] = str(free_port(socket.SOCK_DGRAM, socket.AF_INET6))


def reaches(send, sock, probe, text, expected):
    # Once a probe gets through, text arrives as expected.
    assert until(lambda: send(probe) or recv(sock, 0.02))
    send(text)
    while (frames := recv(sock)) != expected:
        assert frames is not None, "%r never came" % expected


@pytest.mark.parametrize("processor, backyard", [(">", "@"), ("@", ">")])
def test_every_route_over_ipv6_bound_and_connected(relay, processor, backyard):
    on(relay, "::1")
    pulls = []
    for key, side in (("message_processor", processor), ("message_processor_backyard", backyard)):
        relay.keys[key] = side + tcp(free_port(family=socket.AF_INET6), "::1")
        pulls.append(relay.zsock(zmq.PULL, relay.keys[key][1:], bind=side == ">"))
    manager = Manager(relay.tmp)
    relay.launch(manager.env(), config='udpaddress = "::1"\n')
    assert manager.read("READY=1").endswith("STATUS=Relaying: inbound %s, UDP [::1]:%s, publisher %s, gateway %s" % (
        relay.keys["subscriber"], relay.keys["udpport"], relay.keys["publisher"], relay.keys["gatewaypublisher"]))
    relay.connect(udp_host="::1")
    reaches(relay.push, pulls[0], b"#oldmp ffffffffffff 00", b"#oldmp 0123456789ab 0a0b", [TS, b"\x0a\x0b"])
    reaches(relay.send_udp, pulls[1], b"#jwin probe", b"#jwin to backyard", [b"to backyard"])
    relay.push(b"#win to gateway")
    assert recv(relay.gw) == [b"to gateway"] and relay.stop() == 0


def peers(relay, host):
    # A producer and a publisher's subscriber from host's family.
    port = lambda key: int(relay.keys[key].rsplit(":", 1)[1])
    return relay.zsock(zmq.PUSH, tcp(port("subscriber"), host)), relay.zsock(zmq.SUB, tcp(port("publisher"), host))


@pytest.mark.parametrize("allow, admitted, refused", [
    ("127.0.0.1", "127.0.0.1", "::1"), ("::1", "::1", "127.0.0.1"),
    ("0:0::1", "::1", "127.0.0.1"), ("::ffff:127.0.0.1", "127.0.0.1", "::1")])  # canonical forms
def test_a_dual_stack_endpoint_admits_each_family_by_the_allow_list(relay, allow, admitted, refused):
    on(relay, "::")
    relay.launch(config='allow = "%s"\n' % allow)
    (push, sub), (stranger, watcher) = peers(relay, admitted), peers(relay, refused)
    reaches(push.send, sub, b"probe", b"admitted", [b"admitted"])
    assert until(lambda: statistics(relay.daemon)["refused.auth"] >= 2)
    with contextlib.suppress(zmq.Again):
        stranger.send(b"refused", zmq.NOBLOCK)
    push.send(b"end")
    assert read_until(sub, b"end") == [] and recv(watcher, 0.2) is None


def forged(port, text):
    # An IPv6 datagram to ::1 that claims the IPv4-mapped source of
    # 127.0.0.1, as only a raw socket can send it.
    source, target = (socket.inet_pton(socket.AF_INET6, host) for host in ("::ffff:127.0.0.1", "::1"))
    length = 8 + len(text)
    words = source + target + struct.pack("!I3xBHHHH", length, 17, 4000, port, length, 0) + text + b"\0"
    total = sum(struct.unpack("!%dH" % (len(words) // 2), words[:len(words) // 2 * 2]))
    while total >> 16:
        total = (total & 0xffff) + (total >> 16)
    udp = struct.pack("!HHHH", 4000, port, length, ~total & 0xffff or 0xffff) + text
    with socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_RAW) as raw:
        raw.sendto(struct.pack("!IHBB", 6 << 28, length, 17, 64) + source + target + udp, ("::1", 0))


@pytest.mark.skipif(os.geteuid() != 0, reason="sends a forged datagram through a raw socket")
@pytest.mark.parametrize("allow, published", [
    (None, [b"127.0.0.1", b"::1", b"forged"]), ("::1", [b"::1"]), ("::1, 127.0.0.1", [b"127.0.0.1", b"::1"])])
def test_dual_stack_udp_counts_a_datagram_as_ipv4_only_where_it_came_so(relay, allow, published):
    on(relay, "::1")
    relay.launch(config='udpaddress = "::"\n' + ('allow = "%s"\n' % allow if allow else ""))
    relay.connect(udp_host="::1")
    port = int(relay.keys["udpport"])
    for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        with socket.socket(family, socket.SOCK_DGRAM) as sender:
            sender.sendto(host.encode(), (host, port))
    forged(port, b"forged")
    relay.send_udp(b"end")
    assert sorted(read_until(relay.pub, b"end")) == published
    assert allow is None or statistics(relay.daemon)["refused.udp"] == 3 - len(published)


def test_zsys_ipv6_in_the_environment_changes_nothing_for_ipv4(relay):
    port = free_port(family=socket.AF_INET6)
    relay.keys["publisher"] = "tcp://*:%d" % port
    relay.launch({"ZSYS_IPV6": "1"}, config='allow = "127.0.0.1"\n')
    listening = [row.split()[1] for name in ("tcp", "tcp6") for row in open("/proc/net/" + name) if " 0A " in row]
    assert [address.endswith(":%04X" % port) for address in listening].count(True) == 1
    assert not any(address.endswith(":%04X" % port) for address in listening if len(address) > 14)  # IPv6
    relay.keys["publisher"] = tcp(port)
    relay.connect()  # from 127.0.0.1, admitted as itself


@pytest.mark.parametrize("held_host, endpoint_host", [
    ("127.0.0.1", "127.0.0.1"), ("0.0.0.0", "*"), ("::", "::"), ("::1", "::1"),
    ("0.0.0.0", "127.0.0.1"), ("::", "127.0.0.1"), ("::", "*"), ("0.0.0.0", "lo")])
def test_a_passed_listener_serves_only_the_endpoint_of_its_address(relay, held_host, endpoint_host):
    port = free_port(family=socket.AF_INET6)
    sock = held(socket.SOCK_STREAM, port, host=held_host)
    relay.keys["publisher"] = tcp(port, endpoint_host)
    if held_host.strip("*") != endpoint_host.strip("*") and {held_host, endpoint_host} != {"0.0.0.0", "*"}:
        daemon = Daemon(["-c", relay.config()], fds=[sock.fileno()])
        shown = "[%s]" % held_host if ":" in held_host else held_host
        assert daemon.wait() == 1 and daemon.lines() == [START, err(
            'create_sockets: passed socket 3 (TCP %s:%d) holds the port of "%s" but not its address' % (
                shown, port, relay.keys["publisher"]))]
        return
    relay.launch(fds=[sock.fileno()])
    assert holds(relay.daemon.pid, sock)
    stray = relay.zsock(zmq.SUB, tcp(port, "127.0.0.2"))
    relay.keys["publisher"] = tcp(port, "::1" if ":" in endpoint_host else "127.0.0.1")
    relay.connect()
    wide = endpoint_host in ("*", "::")  # 127.0.0.2 is on the loopback interface
    assert until(lambda: relay.send_udp(b"stray") or recv(stray, 0.02), 2 if wide else 0.3) == wide


@pytest.mark.parametrize("key, value, reason", [
    ("subscriber", "tcp://[::g]:5", "is not an endpoint (tcp://[::g]:5 holds no IPv6 address)"),
    ("message_processor", ">tcp://127.0.0.1:5,@tcp://[::1:5",
     "is not an endpoint (tcp://[::1:5 holds no IPv6 address)")])
def test_a_malformed_ipv6_endpoint_stops_the_start(relay, key, value, reason):
    relay.keys[key] = value
    daemon = Daemon(["-c", relay.config()])
    assert daemon.wait() == 1 and daemon.lines() == [START, err('Parameter "/%s": "%s" %s' % (key, value, reason))]


@pytest.mark.parametrize("command, args, key, side", [
    ("send", ["udp://[::1]:{udpport}", "#win over udp"], None, None),
    ("send", ["{subscriber}", "#win over tcp"], None, None),
    ("watch", ["-n", "1", "-t", "5", "{gatewaypublisher}"], None, None),
    ("pull", ["-n", "1", "-t", "5", "@{endpoint}"], "message_processor_backyard", ">")])
def test_tap_speaks_ipv6(relay, command, args, key, side):
    on(relay, "::1")
    endpoint = tcp(free_port(family=socket.AF_INET6), "::1")
    if key:
        relay.keys[key] = side + endpoint
    relay.launch(config='udpaddress = "::1"\n')
    relay.connect(udp_host="::1")
    tap = Process([TAP, command] + [arg.format(endpoint=endpoint, **relay.keys) for arg in args])
    text = {"send": None, "watch": b"#win watched", "pull": b"#jwin pulled"}[command]
    assert until(lambda: (text and relay.push(text)) or tap.wait(0.05) is not None, 6)
    assert tap.wait() == 0
    assert recv(relay.gw) == [args[1][5:].encode()] if command == "send" else tap.out() in ('"watched"\n', '"pulled"\n')
