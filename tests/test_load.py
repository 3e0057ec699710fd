# Load and fault runs against the real daemon, bounded in time and count, on
# the loopback interface only, with the tap tool as load generator and sink.
# Each prints its figures on a "figures:" line.
import os, signal, time
import pytest, zmq
from conftest import EXITING, SANITIZED, TAP, Process, err, free_port, recv, rss_kib, statistics, tcp, until

OVERFLOWS = {err("Overflow message processor queue!"), err("Overflow message processor backyard queue!")}
EXEMPTIONS = {err("Exemption message processor queue!"), err("Exemption message processor backyard queue!")}


def alternates(lines):
    # Overflow and exemption lines alternate, an overflow first, and nothing else is logged.
    return all(line in (EXEMPTIONS if i % 2 else OVERFLOWS) for i, line in enumerate(lines))


def flood(relay, rate=0):
    # Both inputs at full rate (or rate each), the four routes in turn, one in
    # ten texts for a message processor, until stopped.
    texts = ["plain text", "#win text"] * 9 + ["#jwin text", "#oldmp 0123456789ab 0011223344556677"]
    return [Process([TAP, "send", "-n", "1000000000", "-r", str(rate), target, *texts])
            for target in ("udp://127.0.0.1:" + relay.keys["udpport"], relay.keys["subscriber"])]


def finish(*taps):
    for tap in taps:
        tap.signal(signal.SIGTERM)
    assert None not in [tap.wait() for tap in taps]


@pytest.mark.parametrize("backyard_present, rate", [(False, 0), (True, 20000)])
def test_flood_with_processors_absent(relay, backyard_present, rate):
    # Both absent: one overflow period for the whole flood. Only the record
    # processor absent: every accepted backyard text ends the period, and the
    # next record starts another, a line each; at a rate that lets the log
    # keep up, so that none is dropped. Nobody subscribes: publishing is
    # counted.
    relay.keys.update(message_processor="@" + tcp(free_port()), buffer_size="65507",
                      message_processor_backyard="@" + tcp(free_port()))
    if backyard_present:  # takes everything, never reading: the library queues it
        backyard = relay.zsock(zmq.PULL)
        backyard.rcvhwm = 0
        relay.keys["message_processor_backyard"] = ">" + tcp(backyard.bind_to_random_port("tcp://127.0.0.1"))
    relay.launch()
    pid, started, rss_start = relay.daemon.pid, time.monotonic(), rss_kib(relay.daemon.pid)
    senders = flood(relay, rate)
    assert until(lambda: statistics(relay.daemon)["out.publisher"] > 20000, 10)  # warmed up
    rss_warm, warm = rss_kib(pid), statistics(relay.daemon)
    time.sleep(3)
    rss_end, seconds = rss_kib(pid), time.monotonic() - started
    finish(*senders)
    end = statistics(relay.daemon)
    assert end["out.publisher"] > warm["out.publisher"]  # still publishing after warm-up
    stopping = time.monotonic()
    assert relay.stop() == 0
    stop_seconds, lines = time.monotonic() - stopping, relay.daemon.new_lines()
    latch = [line for line in lines[:-1] if "Statistics: " not in line]
    assert stop_seconds < 1 and lines[-1] == EXITING and alternates(latch) and end["drop.log"] == 0
    assert backyard_present or len(latch) == 1
    assert SANITIZED or rss_end - rss_warm < 1024, "KiB grown after warm-up"
    print("figures: flood %.1f s, %.0f texts in/s, %d latch lines (%.0f/s), RSS start %d KiB, warm %d KiB, end %d "
          "KiB, stop %.3f s; %s" % (seconds, (end["in.inbound"] + end["in.udp"]) / seconds, len(latch),
                                   len(latch) / seconds, rss_start, rss_warm, rss_end, stop_seconds, end))


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_stop_during_flood_ends_cleanly(relay, sig):
    relay.keys["message_processor"] = "@" + tcp(free_port())
    relay.start()
    senders = flood(relay)
    assert until(lambda: len(relay.daemon.new_lines()) > 0, 10)  # the first record overflows
    relay.daemon.signal(sig)
    # Leak checking at exit (sanitizer builds) turns a leak into a status.
    assert relay.daemon.wait(3) == 0 and relay.daemon.new_lines()[-1] == EXITING
    finish(*senders)


def test_slow_subscriber_blocks_no_other_route(relay):
    backyard, relay.keys["message_processor_backyard"] = relay.processor()
    relay.start()
    stalled = relay.zsock(zmq.SUB)  # subscribes and never reads
    stalled.rcvhwm = 10
    stalled.connect(relay.keys["publisher"])
    relay.sync()  # relay.pub is not read below either
    started, batches, others = time.monotonic(), 40, 50
    for batch in range(batches):
        for n in range(batch * others, (batch + 1) * others):
            relay.push(*[b"f" * 1000] * 10, b"#win %d" % n, b"#jwin %d" % n)
        for n in range(batch * others, (batch + 1) * others):
            assert (recv(relay.gw, 5), recv(backyard, 5)) == ([b"%d" % n], [b"%d" % n])
    assert relay.daemon.new_lines() == []
    print("figures: stalled subscriber, %d texts of 1000 B in %.2f s, all %d gateway and backyard texts delivered "
          "in order" % (batches * others * 12, time.monotonic() - started, batches * others))
