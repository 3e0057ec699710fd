# Message processors that go away for a moment, whose host dies without a
# word, or that read slowly: the queue each push socket keeps for its
# processor, and a peer time-out that gives a dead host up.
import contextlib, os, signal, subprocess, time
import pytest, zmq
from conftest import (MEASURED, SHIM, TAP, Process, Stream, err, free_port, pulled, recv, rss_kib, statistics,
                      tcp_connections, until)

QUEUED = "queue\n    message_processor_backyard = 100000\n"
BY_OVER, BY_EXEMPT = err("Overflow message processor backyard queue!"), err("Exemption message processor backyard queue!")


def drained(sock, quiet=0.2):
    # What sock receives until nothing comes for quiet seconds.
    texts = []
    while (frames := recv(sock, quiet)):
        texts += frames
    return texts


def numbers(texts): return [int(text) for text in texts]


def notices(daemon): return [line for line in daemon.new_lines() if "Statistics: " not in line]


SPOOLING, REPLAYED = "<12>vostrelld: Spooling message processor backyard queue!", \
    "<14>vostrelld: Spool of message processor backyard queue replayed!"


def spool(tmp, cap=1 << 30): return 'spool\n    directory = "%s/spool"\n    message_processor_backyard = %d\n' % (tmp, cap)


# Away for 2 s at 5,000 texts/s: ten times what the default queue of 1000
# holds, a tenth of a queue of 100,000, or spooled.
@pytest.mark.parametrize("kept", ["queue", "spool", None])
def test_a_processor_away_for_a_moment_gets_every_text_in_order(relay, kept):
    endpoint = "tcp://127.0.0.1:%d" % free_port()
    relay.keys["message_processor_backyard"] = ">" + endpoint
    hold = relay.tmp + "/hold"
    relay.launch({"LD_PRELOAD": SHIM, "POLL_SHIM_HOLD": hold}, {"queue": QUEUED, "spool": spool(relay.tmp)}.get(kept, ""))
    processor = relay.zsock(zmq.PULL, endpoint, bind=True)
    producer = relay.zsock(zmq.PUSH, relay.keys["subscriber"])
    stream = Stream(producer.send, 5000)
    got = [recv(processor)[0] for _ in range(2000)]  # present while it flows
    # It leaves once it has read everything routed so far: the loop is
    # held meanwhile, while the producer goes on.
    open(hold, "w").close()
    assert until(lambda: os.path.exists(hold + ".held"))
    got += drained(processor)
    processor.close()
    port = int(endpoint.split(":")[-1])  # gone once the daemon has closed its end
    assert until(lambda: all(state not in ("01", "08") for state, _ in tcp_connections(port)))
    os.unlink(hold)
    time.sleep(2)
    processor = relay.zsock(zmq.PULL, endpoint, bind=True)
    time.sleep(0.5)
    sent = stream.stop()
    got = numbers(got + drained(processor, 1))
    counted = statistics(relay.daemon)
    if kept:
        assert got == list(range(sent)) and counted["drop.backyard"] == 0
        assert (counted.get("lost.backyard"), counted.get("made.backyard")) == ((1, 2) if kept == "queue" else
                                                                                (None, None))
        # Spooled for the outage, and maybe at the start, before the daemon had connected.
        assert notices(relay.daemon) in ([[]] if kept == "queue" else [[SPOOLING, REPLAYED] * n for n in (1, 2)])
    else:  # a queue of 1000, then every text refused until the processor is back
        assert got == sorted(set(got)) and counted["drop.backyard"] == sent - len(got) > 2000
        assert "lost.backyard" not in counted and notices(relay.daemon) == [BY_OVER, BY_EXEMPT]
    if kept == "spool":  # what the spool took it replayed, none of it twice
        assert counted["spooled.backyard"] == counted["replayed.backyard"] > 5000 and counted["held.backyard"] == 0
        assert os.listdir(relay.tmp + "/spool") == ["lock"]
    print("figures: processor away 2 s at 5,000 texts/s, %s: %d of %d lost" % (
        {"queue": "queue 100,000", "spool": "spooled"}.get(kept, "no queue key"), sent - len(got), sent))


def test_a_slow_live_processor_is_not_cut_and_gets_its_whole_queue(relay):
    # It reads 500 texts a second, for three time-outs and more: its receive
    # window closes and opens again within each time-out.
    processor, relay.keys["message_processor_backyard"] = relay.processor()
    relay.launch(config=QUEUED + "peer_timeout = 2000\n")
    relay.connect()
    texts = [b"%d " % n + b"k" * 1024 for n in range(3500)]
    relay.push(*(b"#jwin " + text for text in texts))
    started, got = time.monotonic(), []
    while len(got) < len(texts) and (frames := recv(processor, 3)):
        got += frames
        time.sleep(0.002)
    counted = statistics(relay.daemon)
    assert got == texts and (counted["lost.backyard"], counted["made.backyard"]) == (0, 1)
    print("figures: slow processor, %d texts of 1 KiB read in %.1f s, peer time-out 2 s: none lost, "
          "never cut" % (len(got), time.monotonic() - started))


def test_a_full_queue_costs_its_stated_memory(relay):
    # About 150 bytes and the text per queued message: 100,000 texts of
    # 1 KiB for a processor that is away.
    relay.launch(config=QUEUED)
    relay.connect()
    relay.sync()
    base, text = rss_kib(relay.daemon.pid), b"#jwin " + b"m" * 1024
    for _ in range(100):
        relay.push(*[text] * 1000)
    assert until(lambda: statistics(relay.daemon)["out.backyard"] == 100000, 30)
    grown, counted = rss_kib(relay.daemon.pid) - base, statistics(relay.daemon)
    assert counted["drop.backyard"] == 0 and notices(relay.daemon) == []
    assert not MEASURED or 100000 * 1024 // 1024 < grown <= 100000 * (150 + 1024) // 1024
    print("figures: 100,000 queued texts of 1 KiB: resident memory %d KiB above its base of %d KiB "
          "(%.0f bytes a text)" % (grown, base, grown * 1024 / 100000))


# Two hosts, each a private network namespace, joined through a bridge in a
# third: the daemon's (10.77.0.1) and the processor's (10.77.0.2). The
# bridge keeps the daemon's link up while the processor's is down, as a
# switch does when a host dies.
HOSTS = """set -e
for ns in "$@"; do ip netns add "$ns"; done
ip -n "$3" link add br0 type bridge && ip -n "$3" link set br0 up
for n in 1 2; do
    eval ns=\\$$n
    ip -n "$ns" link add eth0 type veth peer name port$n netns "$3"
    ip -n "$3" link set port$n master br0 up
    ip -n "$ns" addr add 10.77.0.$n/24 dev eth0 && ip -n "$ns" link set eth0 up && ip -n "$ns" link set lo up
done"""


@pytest.fixture
def hosts():
    names = [prefix + str(os.getpid()) for prefix in ("vsd", "vsp", "vsb")]  # daemon, processor, bridge
    try:
        subprocess.run(["sh", "-c", HOSTS, "sh", *names], check=True, capture_output=True)
        yield names
    finally:
        for name in names:
            subprocess.run(["ip", "netns", "del", name], capture_output=True)


def inside(ns): return ["nsenter", "--net=/run/netns/" + ns]


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
@pytest.mark.parametrize("timeout, outage, spooled", [(1000, 3, False), (1000, 3, True), (None, 14, False)])
def test_a_dead_processor_host_is_given_up_and_its_successor_gets_the_queue(relay, hosts, monkeypatch, timeout,
                                                                             outage, spooled):
    # The processor's link goes down and it is killed: no FIN, no RST ever
    # reaches the daemon. outage seconds later a new processor binds on a
    # host that is back. The producer reaches the daemon over ipc.
    port, rate = free_port(), 2000
    relay.keys.update({key: "ipc://%s/%s" % (relay.tmp, key) for key in ("subscriber", "publisher", "gatewaypublisher")},
                      message_processor_backyard=">tcp://10.77.0.2:%d" % port)
    monkeypatch.setenv("VOSTRELLD_WRAPPER", " ".join(inside(hosts[0])) + " " + os.environ.get("VOSTRELLD_WRAPPER", ""))
    relay.launch(config=(spool(relay.tmp) if spooled else QUEUED) + ("peer_timeout = %d\n" % timeout if timeout else ""))

    def processor(): return Process(inside(hosts[1]) + [TAP, "pull", "@tcp://10.77.0.2:%d" % port])

    def processor_link(state): subprocess.run(["ip", "-n", hosts[1], "link", "set", "eth0", state], check=True)

    def received(tap): return numbers(pulled(tap))
    first = processor()
    stream = Stream(relay.zsock(zmq.PUSH, relay.keys["subscriber"]).send, rate)
    assert until(lambda: len(received(first)) > rate // 2, 10)
    processor_link("down")
    first.proc.kill(), first.proc.wait()
    time.sleep(outage)
    processor_link("up")
    back, second = time.monotonic(), processor()
    resumed = until(lambda: received(second), 4)
    resumed_after = time.monotonic() - back
    time.sleep(1)
    sent = stream.stop()
    if timeout:  # in order, none twice, no more lost than the time-out's worth
        assert until(lambda: received(second)[-1:] == [sent - 1], 5)
        got = received(first) + received(second)
        assert resumed and got == sorted(set(got)) and sent - len(got) <= rate * (timeout / 1000 + 1)
    else:  # the half-open connection: the daemon still writes into it
        assert not resumed and statistics(relay.daemon)["lost.backyard"] == 0
    lost = sent - len(received(first)) - len(received(second))
    print("figures: processor host dead %d s at %d texts/s, peer time-out %s%s: %d of %d lost, %s" % (
        outage, rate, "%d ms" % timeout if timeout else "none", ", spooled" if spooled else "", lost, sent,
        "delivered again %.2f s after its host returned" % resumed_after if resumed else
        "nothing delivered in the 4 s after its host returned"))


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
@pytest.mark.parametrize("peer", ["processor", "subscriber"])
def test_an_idle_peer_whose_host_died_is_released(relay, hosts, monkeypatch, peer):
    # No text flows, so only the keepalive probes can find the dead host:
    # a processor the daemon connected to, a subscriber it accepted.
    port = free_port()
    relay.keys.update({key: "ipc://%s/%s" % (relay.tmp, key) for key in ("subscriber", "gatewaypublisher")},
                      publisher="tcp://10.77.0.1:%d" % port, message_processor_backyard=">tcp://10.77.0.2:%d" % port)
    monkeypatch.setenv("VOSTRELLD_WRAPPER", " ".join(inside(hosts[0])) + " " + os.environ.get("VOSTRELLD_WRAPPER", ""))
    relay.launch(config="peer_timeout = 2000\n")
    command = ["pull", "@tcp://10.77.0.2:%d" % port] if peer == "processor" else ["watch", "tcp://10.77.0.1:%d" % port]
    gone = Process(inside(hosts[1]) + [TAP] + command)

    def connections(): return [queues for state, queues in tcp_connections(port, hosts[0]) if state == "01"]
    producer = relay.zsock(zmq.PUSH, relay.keys["subscriber"])
    text = "#jwin idle" if peer == "processor" else "idle"
    assert until(lambda: producer.send_string(text) or gone.out(), 10)
    assert until(lambda: connections() == ["00000000:00000000"]), "the connection never fell idle"
    subprocess.run(["ip", "-n", hosts[1], "link", "set", "eth0", "down"], check=True)
    gone.proc.kill(), gone.proc.wait()
    assert until(lambda: connections() == [], 8), "still connected to a dead host"
    if peer == "processor":
        assert statistics(relay.daemon)["lost.backyard"] == 1
