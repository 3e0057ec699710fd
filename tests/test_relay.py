# Routing of texts received over UDP and on the inbound endpoint: the
# publishers, both message processors and the overflow latch they share,
# hostile inputs, and loop faults provoked by the poll shim.
import contextlib, itertools, os, signal, time
import pytest, zmq
from conftest import EXITING, SHIM, START, err, free_port, read_until, recv, statistics, tcp, udp_sockets, until

PUB, GW = "publisher", "gateway"
ROUTES = [  # text, route, published bytes (None: the text unchanged)
    (b"hello", PUB, None), (b"#win abc", GW, b"abc"), (b"#win ", GW, b""), (b"#win  two", GW, b" two"),
    (b"#win", PUB, None), (b"#winabc", PUB, None), (b"#WIN abc", PUB, None), (b"win abc", PUB, None),
    (b" #win abc", PUB, None), (b"xwin abc", PUB, None), (b"#jwinx", PUB, None), (b"#jwin", PUB, None),
    (b"xjwin a", PUB, None), (b"#oldmp", PUB, None), (b"#oldmpx", PUB, None), (b"xoldmp 0123456789ab 0", PUB, None),
    (b"", PUB, b""), (b"\0abc", PUB, b""), (b"ab\0cd", PUB, b"ab"), (b"#win a\0b", GW, b"a"),
    (b"\xe9\x01\x1b[31m\x7f\xff", PUB, None)]


@pytest.mark.parametrize("over_udp", [True, False])
def test_prefix_decides_the_publisher(relay, over_udp):
    relay.start()
    (relay.send_udp if over_udp else relay.push)(*[text for text, _, _ in ROUTES], b"end", b"#win end")
    routes = [route for route in ROUTES if route[0] or not over_udp]  # an empty datagram is dropped, silently
    for sock, route in ((relay.pub, PUB), (relay.gw, GW)):
        assert read_until(sock, b"end") == [p if p is not None else t for t, r, p in routes if r == route]
    assert relay.stop() == 0 and relay.daemon.lines() == [START, EXITING]


@pytest.mark.parametrize("value, size", [
    ("100", 2048), ("2048", 2048), ("4096", 4096), ("65507", 65507), ("70000", 65507), ("letters", 2048),
    (" \t+3000xyz", 3000), ("-5", 2048), ("99999999999", 65507), ("-99999999999", 2048)])
def test_buffer_size_is_clamped_and_cuts_longer_datagrams(relay, value, size):
    relay.keys["buffer_size"] = value
    relay.start()
    whole = bytes(97 + i % 26 for i in range(size))
    for sent in (whole, whole + b"Z")[:1 if size == 65507 else 2]:  # no datagram is longer
        relay.send_udp(sent)
        assert recv(relay.pub) == [whole]


@pytest.mark.parametrize("value, add", [("{}", 65536), (" {}junk", 0), ("{}", 5 * 65536), ("0", None), ("none", None)])
def test_udp_port_is_reduced_to_sixteen_bits(relay, value, add):
    port = int(relay.keys["udpport"])
    relay.keys["udpport"] = value.format(port + (add or 0))
    relay.launch()
    [(_, bound)] = udp_sockets(relay.daemon.pid)
    assert bound == port if add is not None else bound > 0  # None: one the system chose
    relay.connect(bound)  # and datagrams to it are relayed
    assert relay.stop() == 0 and relay.daemon.lines() == [START, EXITING]


MP_OVER, BY_OVER, MP_EXEMPT, BY_EXEMPT = (err("%s message processor %squeue!" % (what, queue))
                                          for what in ("Overflow", "Exemption") for queue in ("", "backyard "))


def test_backyard_gets_the_text_after_the_prefix_and_refusals_are_reported_once(relay):
    port = free_port()
    relay.keys["message_processor_backyard"] = "@" + tcp(port)  # no peer yet: refused at once
    relay.start()
    relay.push(*(b"#jwin lost %d" % i for i in range(100)))
    relay.sync()
    assert relay.daemon.new_lines() == [BY_OVER]
    backyard = relay.zsock(zmq.PULL, tcp(port))
    for _ in range(250):  # until the processor is attached
        relay.push(b"#jwin ")
        if (first := recv(backyard, 0.02)):
            break
    relay.sync()  # the exemption is logged after the send
    assert first == [b""] and relay.daemon.new_lines() == [BY_EXEMPT]
    relay.push(b"#jwin abc", b"#jwin  x", b"#jwin a\0b", b"#jwin \x80\x1b\x01")
    assert [recv(backyard) for _ in range(4)] == [[b"abc"], [b" x"], [b"a"], [b"\x80\x1b\x01"]]
    relay.sync()
    assert relay.stop() == 0 and relay.daemon.new_lines() == [EXITING]


TS, TS_BYTES, LONG = b"0123456789ab", bytes.fromhex("0123456789ab"), bytes(b"0123456789abcdefABCDEF"[i * 7 % 22]
                                                                           for i in range(40000))
SIZE, BAD_TS = err("send_data: wrong size of input data!"), err("send_data: string_to_uint8_arr: wrong timestamp!")
BAD_DATA = err("send_data: string_to_uint8_arr: wrong data!")


def invalid(code): return err("string_to_uint8_arr: Invalid input data: [%s]" % code)


RECORDS = [  # text after "#oldmp ", payload delivered (None: dropped), lines logged
    (TS + b"|0a0B", b"\x0a\x0b", []), (b"0123456789AB ", b"", []), (b"0123456789AB", None, [SIZE]), (b"", None, [SIZE]),
    (TS + b" abc", b"\xab", []), (TS + b" 5", b"", []), (TS + b"c", b"", []), (TS + b"\xe900ff", b"\x00\xff", []),
    (TS + b" abZ", None, [invalid("5A"), BAD_DATA]), (TS + b" Z", None, [invalid("5A"), BAD_DATA]),
    (TS + b" 0\xe9", None, [invalid("FFFFFFE9"), BAD_DATA]), (TS + b" \x01\x01", None, [invalid("01"), BAD_DATA]),
    (b"0123456789aG 00", None, [invalid("47"), BAD_TS]), (b"0123 56789ab 00", None, [invalid("20"), BAD_TS]),
    (b"\xe9123456789ab 00", None, [invalid("FFFFFFE9"), BAD_TS]), (TS + b" " + LONG, bytes.fromhex(LONG.decode()), []),
    (TS + b" " + LONG[:3001] + b"g" + LONG, None, [invalid("67"), BAD_DATA])]


def test_records_are_checked_decoded_and_pushed_as_two_frames(relay):
    processor, relay.keys["message_processor"] = relay.processor()
    relay.start()
    for record, payload, lines in RECORDS:
        relay.push(b"#oldmp " + record)
        relay.sync()
        got = recv(processor) if payload is not None else None
        assert (got, relay.daemon.new_lines()) == (None if payload is None else [TS_BYTES, payload], lines), record[:40]
    assert recv(processor, 0.1) is None  # nothing else, nothing twice


RECORD, BACKYARD = b"#oldmp " + TS + b" 00", b"#jwin x"


@pytest.mark.parametrize("refusing, steps", [
    ("message_processor", [(RECORD, MP_OVER), (RECORD, None), (BACKYARD, BY_EXEMPT), (BACKYARD, None),
                           (RECORD, MP_OVER)]),
    ("message_processor_backyard", [(BACKYARD, BY_OVER), (BACKYARD, None), (RECORD, MP_EXEMPT), (RECORD, None)]),
    ("both", [(RECORD, MP_OVER), (BACKYARD, None), (RECORD, None)])])
def test_one_latch_serves_both_queues(relay, refusing, steps):
    for key in ("message_processor", "message_processor_backyard"):
        relay.keys[key] = "@" + tcp(free_port()) if refusing in (key, "both") else relay.processor()[1]
    relay.start()
    for text, logged in steps:
        relay.push(text)
        relay.sync()
        assert relay.daemon.new_lines() == ([logged] if logged else [])


def test_huge_and_cut_inputs_are_relayed_exactly(relay):
    huge = bytes(0x80 + i % 128 if i % 4099 == 0 else 0x78 for i in range(8 << 20))
    digits = b"0123456789abcdef" * (1 << 18)
    processor, relay.keys["message_processor"] = relay.processor()
    backyard, relay.keys["message_processor_backyard"] = relay.processor()
    relay.start()
    relay.send_udp(b"u" * 65507)  # cut to "/buffer_size"
    assert recv(relay.pub) == [b"u" * 2048]
    for text, sock, frames in ((huge, relay.pub, [huge]), (b"#jwin " + huge, backyard, [huge]), (
            b"#oldmp " + TS + b" " + digits, processor, [TS_BYTES, bytes.fromhex(digits.decode())])):
        relay.push(text)
        assert recv(sock, 10) == frames
    relay.sync()
    assert relay.daemon.new_lines() == []


# Every readiness of the UDP socket comes with an error, or each inbound
# text also makes the UDP socket look readable, empty: neither is a failed
# receive, nor stalls an input.
@pytest.mark.parametrize("fault", ["POLL_SHIM_FD_ERROR", "POLL_SHIM_SPURIOUS_FD"])
def test_loop_faults_never_drop_or_block_an_input(relay, fault):
    relay.start({"LD_PRELOAD": SHIM, fault: "1"})
    for i in range(5):
        relay.push(b"inbound %d" % i)
        assert recv(relay.pub) == [b"inbound %d" % i]
    for i in range(5):
        relay.send_udp(b"datagram %d" % i)
        assert recv(relay.pub) == [b"datagram %d" % i]
    assert relay.daemon.new_lines() == [] and statistics(relay.daemon)["drop.receive"] == 0


def test_inputs_with_a_backlog_take_turns_by_the_batch(relay):
    hold = relay.tmp + "/hold"
    relay.start({"LD_PRELOAD": SHIM, "POLL_SHIM_HOLD": hold, "POLL_SHIM_READY": "2"})
    open(hold, "w").close()
    assert until(lambda: os.path.exists(hold + ".held"))  # the loop waits before its next poll
    # Fewer than a subscriber's queue takes, and than the UDP receive buffer;
    # three datagrams cut to "/buffer_size" in the middle of one batch.
    datagrams = [b"u%d" % i + (b"." * 2100 if 40 <= i < 43 else b"") for i in range(150)]
    relay.push(*(b"i%d" % i for i in range(600)))
    relay.send_udp(*datagrams)
    assert until(lambda: os.path.exists(hold + ".ready"))  # both have a backlog
    os.unlink(hold)
    texts = []
    while len(texts) < 750 and (frames := recv(relay.pub)):
        texts += frames
    assert [t for t in texts if t[0] == ord("i")] == [b"i%d" % i for i in range(600)]  # in order, each input
    assert [t for t in texts if t[0] == ord("u")] == [d[:2048] for d in datagrams]
    # While both have a backlog, neither waits longer than one batch of the other.
    both = texts[:min(max(i for i, t in enumerate(texts) if t[0] == kind) for kind in b"iu")]
    runs = [(kind, len(list(run))) for kind, run in itertools.groupby(t[0] for t in both)]
    assert max(n for kind, n in runs if kind == ord("i")) <= 256 and max(n for kind, n in runs if kind == ord("u")) <= 64


def test_texts_that_come_one_at_a_time_leave_at_once(relay):
    relay.start()
    started = time.monotonic()
    for i in range(50):
        relay.push(b"one %d" % i)
        assert recv(relay.pub) == [b"one %d" % i]
    assert time.monotonic() - started < 2.5  # a receive that waited would add 100 ms to each


# A reader that keeps up gets every text of bursts below a queue's worth
# each: the loop is held while a burst queues up, then let go, and the reader
# takes the whole burst before the next. A socket that learns only now and
# then how far its reader has gone counts texts long read as still queued,
# and refuses or drops part of every later burst. The daemon's own I/O
# thread writes the queue out meanwhile: the daemon runs on a core of its
# own, which it offers that thread before it drops a text, and the test's
# threads, its reader's among them, on the others.
@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs a core for the daemon and one for the reader")
@pytest.mark.parametrize("prefix, key", [
    (b"#jwin ", "message_processor_backyard"), (b"#oldmp " + TS + b" ", "message_processor"), (b"", "publisher"),
    (b"#win ", "gatewaypublisher")])
def test_a_reader_that_keeps_up_gets_every_text_of_each_burst(relay, monkeypatch, prefix, key):
    cores = sorted(os.sched_getaffinity(0))
    monkeypatch.setenv("VOSTRELLD_WRAPPER", "taskset -c %d %s" % (cores[0], os.environ.get("VOSTRELLD_WRAPPER", "")))
    threads = [int(tid) for tid in os.listdir("/proc/self/task")]
    for tid in threads:
        os.sched_setaffinity(tid, cores[1:])
    try:
        bursts_get_through(relay, prefix, key)
    finally:
        for tid in threads:
            with contextlib.suppress(OSError):  # ended meanwhile
                os.sched_setaffinity(tid, cores)


def bursts_get_through(relay, prefix, key):
    hold, reader = relay.tmp + "/hold", relay.zsock(zmq.SUB if key.endswith("publisher") else zmq.PULL)
    reader.rcvhwm = 0  # its I/O thread takes everything as it comes
    if reader.type == zmq.PULL:
        endpoint = tcp(free_port())
        reader.bind(endpoint)
        relay.keys[key] = ">" + endpoint
    relay.start({"LD_PRELOAD": SHIM, "POLL_SHIM_HOLD": hold, "POLL_SHIM_READY": "1"})
    if reader.type == zmq.SUB:
        reader.subscribe(b""), reader.connect(relay.keys[key])
        assert until(lambda: relay.push(prefix + b"0000") or recv(reader, 0.02))
        while recv(reader, 0.1):
            pass

    def delivered(burst):
        before = statistics(relay.daemon)
        open(hold, "w").close()
        assert until(lambda: os.path.exists(hold + ".held"))
        relay.push(*(prefix + b"%04x" % n for n in range(burst)))
        assert until(lambda: os.path.exists(hold + ".ready"))
        os.unlink(hold)
        got = list(itertools.takewhile(bool, (recv(reader) for _ in range(burst))))
        after, lines = statistics(relay.daemon), relay.daemon.new_lines()
        return got == [[TS_BYTES, bytes([n >> 8, n & 255])] if b"#oldmp" in prefix else [b"%04x" % n]
                       for n in range(burst)] and after["drop.processor"] == before["drop.processor"] and \
            after["drop.backyard"] == before["drop.backyard"] and all("Statistics" in line for line in lines)
    # After 499 texts, 999 more go beyond what a stale count of the queue lets through.
    for _ in range(3):
        assert delivered(499) and delivered(999)


TEXTS = [b"plain", b"", b"#win g", b"#jwin b", b"#oldmp " + TS + b" 00", b"#oldmp bad"]


@pytest.mark.parametrize("refusing", ["message_processor", "message_processor_backyard"])
def test_statistics_count_each_text_once_where_it_went(relay, refusing):
    for key in ("message_processor", "message_processor_backyard"):
        relay.keys[key] = "@" + tcp(free_port()) if key == refusing else relay.processor()[1]
    relay.start()
    before = statistics(relay.daemon)
    relay.push(*TEXTS, b"a\0b")
    relay.send_udp(*TEXTS, b"x" * 3000)
    relay.sync()
    after = statistics(relay.daemon)
    records, backyard = (2, 0) if refusing == "message_processor_backyard" else (0, 2)  # taken by each
    assert {key: after[key] - before[key] for key in after} == {
        "in.inbound": 8, "in.udp": 7, "in.udp_cut": 1, "out.publisher": 6, "out.gateway": 2, "out.processor": records,
        "out.backyard": backyard, "drop.processor": 2 - records, "drop.backyard": 2 - backyard, "drop.record": 2,
        "drop.empty": 1, "drop.send": 0, "drop.receive": 0, "drop.udp_kernel": 0, "drop.log": 0, "refused.auth": 0}


def test_datagrams_the_kernel_drops_for_a_stopped_daemon_are_counted(relay):
    relay.start()
    relay.daemon.signal(signal.SIGSTOP)
    relay.send_udp(*(b"k%d" % i for i in range(2000)))  # more than the receive buffer holds
    relay.daemon.signal(signal.SIGCONT)
    port = int(relay.keys["udpport"])
    assert until(lambda: all(row.split()[4].endswith(":00000000") for row in open("/proc/net/udp")
                             if row.split()[1].endswith(":%04X" % port)))  # drained
    relay.send_udp(b"last")  # carries the count of what was dropped before it
    relayed = read_until(relay.pub, b"last")
    assert 0 < len(relayed) < 2000 and statistics(relay.daemon)["drop.udp_kernel"] == 2000 - len(relayed)
