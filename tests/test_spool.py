# The disk spool of a message processor: what its socket refuses waits on
# disk through outages, restarts, kills, damaged files and a full disk. An
# outage under a steady stream is in test_outage.py.
import os, signal, socket, stat, struct, time, zlib
import pytest, zmq
from conftest import START, Daemon, Manager, Relay, Stream, err, free_port, held, info, recv, statistics, tcp, until
from test_metrics import metrics_config, samples, scrape, value
from test_outage import BY_EXEMPT, BY_OVER, QUEUED, REPLAYED, SPOOLING, drained, numbers, spool

HEADER = b"vostrelld spool\n" + bytes(48)


def record(text):
    # A record of one frame, as the daemon writes it.
    head, body = struct.pack("<I", len(text) + 1), b"\x01" + text
    return head + struct.pack("<I", zlib.crc32(head + body)) + body


def away(relay):
    # The backyard processor's endpoint, where nobody is yet.
    endpoint = tcp(free_port())
    relay.keys["message_processor_backyard"] = ">" + endpoint
    return endpoint


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGKILL])
@pytest.mark.parametrize("kept", ["spool", "queue"])
def test_a_restart_or_a_kill_halfway_through_an_outage(relay, sig, kept):
    # Datagrams wait in the socket that the test holds for the daemons, as a
    # service manager does; the processor comes back after both. A queue of
    # 100,000 holds the texts in memory instead.
    endpoint, port = away(relay), int(relay.keys["udpport"])
    unit, sender = held(socket.SOCK_DGRAM, port), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    config = spool(relay.tmp) if kept == "spool" else QUEUED
    relay.launch(config=config, fds=[unit.fileno()])
    stream = Stream(lambda text: sender.sendto(text, ("127.0.0.1", port)), 10000)
    time.sleep(1)
    relay.daemon.signal(sig)
    assert relay.daemon.wait() == (0 if sig == signal.SIGTERM else -sig)
    relay.launch(config=config, fds=[unit.fileno()], logged=[SPOOLING] if kept == "spool" else [])
    time.sleep(1)
    processor = relay.zsock(zmq.PULL, endpoint, bind=True)
    time.sleep(0.5)
    sent = stream.stop()
    got = numbers(drained(processor, 1))
    # A kill loses at most the batch of datagrams being routed, never one
    # that a batch before handed to the spool.
    assert got == sorted(set(got)) and got[-1] == sent - 1
    if kept == "spool":  # and its count of what it holds agrees
        assert sent - len(got) == 0 if sig == signal.SIGTERM else sent - len(got) <= 64
        assert statistics(relay.daemon)["held.backyard"] == 0
    else:  # what the queue held when the daemon ended
        assert sent - len(got) > 5000
    print("figures: %s halfway through a 2.5 s outage at 10,000 texts/s, %s: %d of %d lost" % (
        signal.Signals(sig).name, "spooled" if kept == "spool" else "queue of 100,000", sent - len(got), sent))


def test_a_kill_while_the_spool_feeds_its_processor_sends_at_most_a_batch_again(relay):
    # The processor stops reading after 2000 texts, and the daemon is killed
    # while it feeds the rest; the next daemon feeds on from where the spool
    # stood.
    endpoint = away(relay)
    relay.launch(config=spool(relay.tmp))
    relay.connect()
    relay.push(*(b"#jwin %d " % n + b"x" * 1000 for n in range(20000)))  # far more than the connection holds
    relay.sync()
    processor = relay.zsock(zmq.PULL, endpoint, bind=True)
    got = [recv(processor)[0] for _ in range(2000)]
    relay.daemon.signal(signal.SIGKILL)
    assert relay.daemon.wait() == -signal.SIGKILL
    relay.launch(config=spool(relay.tmp), logged=[SPOOLING])
    got = [int(text.split()[0]) for text in got + drained(processor, 1)]
    repeated, lost = len(got) - len(set(got)), 20000 - len(set(got))
    assert repeated <= 512 and got[-1] == 19999
    print("figures: killed while its spool fed the processor: %d of 20,000 texts of 1 KiB sent again, %d lost "
          "(what the socket and its connection held)" % (repeated, lost))


def test_a_records_two_frames_are_spooled_and_fed_as_one_message(relay):
    endpoint = tcp(free_port())
    relay.keys["message_processor"] = ">" + endpoint
    relay.launch(config='spool\n    directory = "%s/spool"\n    message_processor = 1048576\n' % relay.tmp)
    relay.connect()
    # An empty payload, and one larger than the spool reads at a time, last.
    relay.push(*(b"#oldmp 0123456789ab " + b"ff" * n for n in (0, 1, 300000)))
    relay.sync()
    processor = relay.zsock(zmq.PULL, endpoint, bind=True)
    assert [recv(processor) for _ in range(3)] == [[bytes.fromhex("0123456789ab"), b"\xff" * n] for n in (0, 1, 300000)]
    assert until(lambda: relay.daemon.lines()[-1] == info("Spool of message processor queue replayed!"))


def test_damaged_files_are_set_aside_and_the_good_records_replayed(relay):
    # The directory is a link, as the service manager's StateDirectory= is.
    os.mkdir(relay.tmp + "/state", 0o700)
    os.symlink(relay.tmp + "/state", relay.tmp + "/spool")
    name = relay.tmp + "/spool/backyard-%016x.spool"
    records = [record(b"%d" % n) for n in range(10, 40)]
    flipped = bytearray(b"".join(records[10:20]) + record(b"9" * 300000))  # a rest larger than a copy's chunk
    flipped[len(records[0]) * 3 + 9] ^= 1  # in the body of the fourth
    for sequence, content in enumerate([b"".join(records[:10]) + records[10][:7], flipped], 1):
        with open(name % sequence, "wb") as f:
            f.write(HEADER + content)
    with open(name % 3, "wb") as f:
        f.write(b"foreign")
    with open(relay.tmp + "/victim", "wb") as f:
        f.write(HEADER + records[0])
    os.symlink(relay.tmp + "/victim", name % 4)  # never followed
    endpoint = away(relay)
    relay.launch(config=spool(relay.tmp), logged=[err(text % tuple(name % n for n in numbers)) for text, numbers in [
        ("spool: %s: a record cut short at byte " + str(64 + 10 * len(records[0])) + ", cut off", (1,)),
        ("spool: %s: a damaged record at byte " + str(64 + 3 * len(records[0])) + ", set aside with the rest in "
         "%s.damaged", (2, 2)),
        ("spool: %s: not a spool file of this daemon, set aside as %s.damaged", (3, 3)),
        ("spool: %s: not a spool file of this daemon, set aside as %s.damaged", (4, 4))]] + [SPOOLING])
    assert numbers(drained(relay.zsock(zmq.PULL, endpoint, bind=True))) == list(range(10, 23))
    counted = statistics(relay.daemon)
    assert (counted["damaged.backyard"], counted["replayed.backyard"], counted["held.backyard"]) == (4, 13, 0)
    assert sorted(os.listdir(relay.tmp + "/state")) == ["backyard-%016x.spool.damaged" % n for n in (2, 3, 4)] + ["lock"]
    assert open(name % 2 + ".damaged", "rb").read() == bytes(flipped[3 * len(records[0]):])
    assert open(relay.tmp + "/victim", "rb").read() == HEADER + records[0]


def test_a_spool_at_its_cap_drops_through_the_latch_and_tells_what_it_holds(relay):
    endpoint, port, manager = tcp(free_port()), free_port(), Manager(relay.tmp)
    relay.keys["message_processor_backyard"] = "@" + endpoint  # bound, nobody there: refused at once
    relay.launch(manager.env(), spool(relay.tmp, 1 << 20) + metrics_config(port))
    relay.connect()
    texts = [b"%d " % n + b"x" * 1000 for n in range(2000)]
    relay.push(*(b"#jwin " + text for text in texts))
    relay.sync()
    counted = statistics(relay.daemon)
    spooled = counted["spooled.backyard"]
    assert 900 < spooled < 1030 and counted["drop.backyard"] == 2000 - spooled == 2000 - counted["held.backyard"]
    assert relay.daemon.new_lines()[:-1] == [SPOOLING, BY_OVER]
    assert manager.read("; held.backyard=%d" % spooled, 2)  # within a second
    found = samples(scrape(port)[1])
    assert value(found, "vostrelld_spool_held_messages", socket="backyard") == spooled
    assert 0.9 < value(found, "vostrelld_spool_held_bytes", socket="backyard") / (1 << 20) <= 1
    assert value(found, "vostrelld_spool_limit_bytes", socket="backyard") == 1 << 20
    assert ("vostrelld_spool_limit_bytes", frozenset({("socket", "processor")})) not in found
    processor = relay.zsock(zmq.PULL, endpoint)
    assert [recv(processor)[0] for _ in range(spooled)] == texts[:spooled]
    assert until(lambda: relay.daemon.lines()[-2:] == [BY_EXEMPT, REPLAYED])
    gateway = relay.keys["gatewaypublisher"]  # ends the status where nothing is held any more
    assert until(lambda: manager.read(timeout=0.05) or manager.got[-1].endswith(gateway), 2)


@pytest.mark.skipif(os.geteuid() != 0, reason="mounts a small tmpfs in a private mount namespace, as root")
def test_a_full_disk_drops_and_counts_and_the_spool_goes_on_once_there_is_room(relay, monkeypatch):
    directory, endpoint = relay.tmp + "/spool", away(relay)
    os.mkdir(directory)
    monkeypatch.setenv("VOSTRELLD_WRAPPER", "unshare --mount sh -c 'mount -t tmpfs -o size=64k tmpfs \"$0\" && "
                       "head -c 57344 /dev/zero >\"$0/filler\" && exec \"$@\"' %s %s" % (
                           directory, os.environ.get("VOSTRELLD_WRAPPER", "")))
    relay.launch(config=spool(relay.tmp))
    relay.connect()
    relay.push(*(b"#jwin %d " % n + b"x" * 500 for n in range(100)))
    relay.sync()
    first = statistics(relay.daemon)
    assert first["drop.backyard"] > 50 and first["spooled.backyard"] == 100 - first["drop.backyard"]
    assert [line for line in relay.daemon.new_lines() if "Statistics" not in line] == [SPOOLING, BY_OVER, err(
        "spool_text: /spool/message_processor_backyard: 28, No space left on device")]
    os.unlink("/proc/%d/root%s/filler" % (relay.daemon.pid, directory))  # in the daemon's mount namespace
    time.sleep(0.2)  # a full disk is tried again after 100 ms
    relay.push(*(b"#jwin %d " % n + b"x" * 500 for n in range(100, 150)))
    relay.sync()
    assert statistics(relay.daemon)["spooled.backyard"] == first["spooled.backyard"] + 50
    processor = relay.zsock(zmq.PULL, endpoint, bind=True)
    got = [int(text.split()[0]) for text in drained(processor, 1)]
    assert len(got) == first["spooled.backyard"] + 50 and got == sorted(got) and got[-50:] == list(range(100, 150))


def test_a_second_daemon_on_the_same_spool_directory_is_refused(relay):
    os.umask(0o022)
    relay.launch(config=spool(relay.tmp))
    os.mkdir(relay.tmp + "/other")
    second = Daemon(["-c", Relay(relay.tmp + "/other").config(spool(relay.tmp))])
    assert second.wait() == 1 and second.lines() == [START, err(
        'Parameter "/spool/directory": %s/spool is locked by another vostrelld (process %d)' % (
            relay.tmp, relay.daemon.pid))]
    modes = [stat.S_IMODE(os.stat(relay.tmp + path).st_mode) for path in ("/spool", "/spool/lock")]
    assert modes == [0o700, 0o600]
