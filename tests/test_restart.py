# Restarts that lose nothing: sockets held by a service manager and passed
# from daemon to daemon, the manager's store, the UDP receive buffer, and a
# stop that routes what waits and hands what is queued to the peers that
# are up, within its grace.
import os, re, signal, socket, subprocess, time
import pytest, zmq
from conftest import (EXITING, SHIM, START, Collector, Daemon, Manager, Stream, err, free_port, held_tcp, held_udp,
                      holds, tcp_connections, until, wait_ready)


def restart(relay, fds, env=None):
    assert relay.stop() == 0 and relay.daemon.lines()[-1] == EXITING
    relay.launch(env, fds=fds)


def receive_buffer(port):
    # The UDP socket's receive buffer on port, as the kernel keeps it.
    out = subprocess.run(["ss", "-uamnH", "sport = :%d" % port], capture_output=True, text=True).stdout
    return int(re.search(r"rb(\d+)", out)[1])


@pytest.mark.parametrize("kept", [True, False])
def test_a_restart_with_the_udp_socket_kept_loses_no_datagram(relay, kept):
    port = int(relay.keys["udpport"])
    held = [held_udp(port)] if kept else []
    processor, relay.keys["message_processor_backyard"] = relay.processor()
    relay.launch(fds=[sock.fileno() for sock in held])
    assert not kept or holds(relay.daemon.pid, held[0])
    collector, sender = Collector(processor), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    stream = Stream(lambda text: sender.sendto(text, ("127.0.0.1", port)), 10000)
    for _ in range(3):
        time.sleep(0.3)
        restart(relay, [sock.fileno() for sock in held])
    time.sleep(0.3)
    sent = stream.stop()
    got = collector.stop(sent, 2 if kept else 1)
    lost = set(range(sent)) - {int(text) for text in got}
    assert len(got) == len(set(got)) and (not lost if kept else len(lost) > 0), len(lost)
    print("figures: 3 restarts at 10,000 datagrams/s, socket %s: %d of %d lost" % (
        "kept" if kept else "bound anew", len(lost), sent))


def test_a_producer_reconnects_to_the_kept_listening_socket(relay):
    held = held_tcp(int(relay.keys["subscriber"].split(":")[-1]))
    processor, relay.keys["message_processor_backyard"] = relay.processor()
    relay.launch(fds=[held.fileno()])
    collector, producer = Collector(processor), relay.zsock(zmq.PUSH, relay.keys["subscriber"])
    stream = Stream(producer.send, 5000)
    for _ in range(2):
        time.sleep(0.3)
        assert holds(relay.daemon.pid, held)
        restart(relay, [held.fileno()])
    time.sleep(0.3)
    sent = stream.stop()
    got = [int(text) for text in collector.stop(sent, 2)]
    # What the daemon had not yet taken off a connection when it closed it
    # is lost; everything sent after the restart arrives.
    assert got == sorted(set(got)) and got[-1] == sent - 1 and sent - len(got) < 0.01 * sent, sent - len(got)
    print("figures: 2 restarts, PUSH producer at 5,000 texts/s, listening socket kept: %d of %d lost"
          % (sent - len(got), sent))


def test_a_stop_delivers_what_waits_and_what_is_queued(relay):
    # The loop is held while 20,000 texts wait on the inbound endpoint; the
    # daemon is told to stop before it routes any of them.
    hold = relay.tmp + "/hold"
    processor, relay.keys["message_processor_backyard"] = relay.processor()
    collector = Collector(processor)
    relay.launch({"LD_PRELOAD": SHIM, "POLL_SHIM_HOLD": hold},
                 "queue\n    subscriber = 100000\n    message_processor_backyard = 100000\n")
    producer = relay.zsock(zmq.PUSH, relay.keys["subscriber"])
    open(hold, "w").close()
    assert until(lambda: os.path.exists(hold + ".held"))
    for n in range(20000):
        producer.send(b"#jwin %d" % n)
    port = int(relay.keys["subscriber"].split(":")[-1])
    assert until(lambda: {queues for _, queues in tcp_connections(port)} == {"00000000:00000000"}), "on its way"
    relay.daemon.signal(signal.SIGTERM)
    os.unlink(hold)
    assert relay.daemon.wait() == 0 and relay.daemon.lines() == [START, EXITING]
    assert collector.stop(20000) == [b"%d" % n for n in range(20000)]


@pytest.mark.parametrize("grace", [None, 300, 0])
def test_a_stop_waits_for_a_processor_that_is_away_at_most_the_grace(relay, grace):
    relay.launch(config="stop_grace = %d\n" % grace if grace is not None else "")
    relay.connect()
    relay.push(*[b"#jwin queued"] * 100)  # for a processor that is not there
    relay.sync()
    started = time.monotonic()
    assert relay.stop() == 0 and relay.daemon.lines()[-1] == EXITING
    seconds, limit = time.monotonic() - started, (1000 if grace is None else grace) / 1000
    assert limit <= seconds < limit + 0.5, seconds


def test_passed_sockets_that_match_nothing_are_closed_and_logged(relay):
    udp, stream = held_udp(free_port(socket.SOCK_DGRAM)), held_tcp(free_port())
    relay.launch(fds=[udp.fileno(), stream.fileno()], logged=[err(
        "create_sockets: passed socket %d (%s 127.0.0.1:%d) matches no endpoint, closed" % (
            fd, kind, sock.getsockname()[1])) for fd, kind, sock in ((3, "UDP", udp), (4, "TCP", stream))])
    assert not holds(relay.daemon.pid, udp) and not holds(relay.daemon.pid, stream)
    relay.connect()  # on sockets of its own


def test_the_udp_socket_is_kept_in_the_managers_store(relay):
    # The daemon hands its own UDP socket to the store, gets it back after
    # a restart and sizes it again; a stored socket that no longer matches
    # is dropped from the store and a new one stored.
    manager, names = Manager(relay.tmp), {"LISTEN_FDNAMES": "udp"}
    relay.launch(manager.env(), "udp_receive_buffer = 1048576\n")
    assert manager.read("READY=1") and manager.got[0] == "FDSTORE=1\nFDNAME=udp" and len(manager.fds) == 1
    stored, port = socket.socket(fileno=manager.fds.pop()), int(relay.keys["udpport"])
    assert stored.getsockname() == ("0.0.0.0", port) and receive_buffer(port) == 2 << 20
    restart(relay, [stored.fileno()], manager.env(**names))
    assert manager.read("READY=1") and holds(relay.daemon.pid, stored) and manager.fds == []
    relay.connect()
    relay.keys["udpport"] = str(free_port(socket.SOCK_DGRAM))
    assert relay.stop() == 0
    relay.launch(manager.env(**names), fds=[stored.fileno()], logged=[
        err("create_sockets: passed socket 3 (UDP 0.0.0.0:%d) matches no endpoint, closed" % port)])
    assert manager.read("READY=1") and manager.got[-3:-1] == ["FDSTOREREMOVE=1\nFDNAME=udp", "FDSTORE=1\nFDNAME=udp"]


@pytest.mark.skipif(os.geteuid() != 0, reason="runs the daemon as another user, without CAP_NET_ADMIN")
def test_the_udp_receive_buffer_asked_for_and_what_the_kernel_grants(relay, monkeypatch):
    port, rmem_max = int(relay.keys["udpport"]), int(open("/proc/sys/net/core/rmem_max").read())
    held = held_udp(port, 3 << 20)  # a socket unit's: its size stays
    relay.launch(config="udp_receive_buffer = 8388608\n", fds=[held.fileno()])
    assert receive_buffer(port) == 6 << 20 and relay.daemon.new_lines() == []
    assert relay.stop() == 0
    held.close()
    relay.launch(config="udp_receive_buffer = 8388608\n")  # as root: beyond rmem_max
    assert receive_buffer(port) == 16 << 20
    assert relay.stop() == 0
    monkeypatch.setenv("VOSTRELLD_WRAPPER", "setpriv --reuid=65534 --regid=65534 --clear-groups "
                       "--inh-caps=+dac_override --ambient-caps=+dac_override " + os.environ.get("VOSTRELLD_WRAPPER", ""))
    relay.daemon = Daemon(["-c", relay.config("udp_receive_buffer = %d\n" % (rmem_max * 4))])
    assert wait_ready(relay.daemon, relay.keys["pidfile"]) and receive_buffer(port) == 2 * rmem_max
    assert relay.daemon.new_lines() == [START, "<12>vostrelld: Parameter \"/udp_receive_buffer\": asked for %d bytes, "
                                        "the kernel granted %d (net.core.rmem_max)" % (rmem_max * 4, rmem_max)]
