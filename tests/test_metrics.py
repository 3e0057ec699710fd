# The metrics endpoint, scraped over real HTTP as Prometheus does, its scrape
# checked by promtool, and the alerting rules that the package ships run
# through promtool's own tests.
import contextlib, json, os, re, select, shutil, signal, socket, subprocess, time, urllib.parse, urllib.request
import pytest, zmq
from conftest import START, Daemon, Process, err, free_port, recv, statistics, tcp, until

PROMTOOL = shutil.which("promtool")
DIST = os.path.join(os.environ["SOURCE_DIR"], "dist", "prometheus")
TS = "0123456789ab"
SLOTS = ["inbound", "publisher", "gateway", "processor", "backyard"]


def metrics_config(port, extra=""): return 'metrics = "127.0.0.1:%d"\n' % port + extra


def scrape(port, source="127.0.0.1", timeout=5.0):
    # (status, body) of GET /metrics from the source address.
    with socket.create_connection(("127.0.0.1", port), timeout, (source, 0)) as sock:
        sock.sendall(b"GET /metrics HTTP/1.1\r\nHost: scraper\r\nConnection: close\r\n\r\n")
        reply = b""
        while chunk := sock.recv(65536):
            reply += chunk
    head, _, body = reply.partition(b"\r\n\r\n")
    if b"Transfer-Encoding: chunked" in head:
        body = b"".join(re.findall(rb"[0-9a-fA-F]+\r\n(.*?)\r\n", body, re.S))
    return int(head.split()[1]), body.decode()


def samples(body):
    # {(name, frozenset of label pairs): value} of every sample.
    found = {}
    for line in body.splitlines():
        if match := re.fullmatch(r'(\w+)(?:\{(.*)\})? (\S+)', line):
            labels = frozenset(re.findall(r'(\w+)="([^"]*)"', match[2] or ""))
            found[(match[1], labels)] = float(match[3])
    return found


def value(found, name, **labels): return found[(name, frozenset(labels.items()))]


@pytest.fixture
def watched(relay):
    # A daemon with the endpoint, both processors bound here and every peer
    # connected.
    port = free_port()
    relay.processors = [relay.processor() for _ in range(2)]
    relay.keys["message_processor"], relay.keys["message_processor_backyard"] = (p[1] for p in relay.processors)
    relay.launch(config=metrics_config(port, "queue\n    message_processor_backyard = 5000\n"))
    relay.connect()
    relay.port = port
    return relay


# Each counter of the statistics line and the series that shows it.
SERIES = {"in.inbound": ("received_messages", "input", "inbound"), "in.udp": ("received_messages", "input", "udp"),
          "in.udp_cut": ("udp_truncated_messages",), "drop.receive": ("receive_errors",), "drop.log": ("log_lines_dropped",),
          **{"out." + o: ("sent_messages", "output", o) for o in ("publisher", "gateway", "processor", "backyard")},
          **{"drop." + r: ("dropped_messages", "reason", r)
             for r in ("processor", "backyard", "record", "empty", "send", "udp_kernel")},
          "refused.auth": ("refused", "reason", "auth"), "made.processor": ("connections", "socket", "processor"),
          "lost.backyard": ("connections", "socket", "backyard")}


def test_a_scrape_counts_exactly_what_each_route_did_and_promtool_accepts_it(watched):
    for text in (b"plain", b"#win gw", b"#jwin by", b"#oldmp " + TS.encode() + b"|0a0b", b"#oldmp short", b""):
        watched.push(text)
        watched.send_udp(text)
    watched.sync()
    counters = statistics(watched.daemon)
    status, body = scrape(watched.port)
    found = samples(body)
    assert status == 200
    for counter, (name, *label) in SERIES.items():
        labels = dict([label]) if label else {}
        if counter.startswith(("made.", "lost.")):
            labels["event"] = counter.split(".")[0]
        assert value(found, "vostrelld_%s_total" % name, **labels) == counters[counter], counter
    assert [counters[c] for c in ("in.inbound", "out.processor", "out.backyard", "drop.record", "drop.empty",
                                  "made.processor", "lost.backyard")] == [7, 2, 2, 2, 1, 1, 0]
    for slot in SLOTS:
        assert value(found, "vostrelld_peers", socket=slot) == 1
        assert value(found, "vostrelld_queue_limit_messages", socket=slot) == (5000 if slot == "backyard" else 1000)
    assert value(found, "vostrelld_refused_total", reason="udp") == value(found, "vostrelld_overflow") == 0
    assert value(found, "vostrelld_refused_total", reason="metrics") == 0
    assert value(found, "vostrelld_udp_receive_buffer_bytes") > 0
    (info,) = [key for key in found if key[0] == "vostrelld_build_info"]
    assert info[1] >= {("version", "0.1.0")} and found[info] == 1
    assert 0 < value(found, "process_resident_memory_bytes") < value(found, "process_virtual_memory_bytes")
    fds = len(os.listdir("/proc/%d/fd" % watched.daemon.pid))
    assert fds <= value(found, "process_open_fds") <= fds + 1  # the scrape's connection, while it lasts
    assert 0 <= value(found, "process_cpu_seconds_total") < 60 and value(found, "process_max_fds") > 0
    assert time.time() - 60 < value(found, "process_start_time_seconds") < time.time() + 1
    assert all(name.startswith(("vostrelld_", "process_", "exposer_")) for name, _ in found)
    if PROMTOOL:
        check = subprocess.run([PROMTOOL, "check", "metrics"], input=body, capture_output=True, text=True)
        assert check.returncode == 0 and check.stdout + check.stderr == "", check.stdout + check.stderr
    assert watched.stop() == 0


def test_peers_and_connections_follow_a_processor_and_the_latch_shows(watched):
    processor, backyard = (p[0] for p in watched.processors)
    processor.close()
    assert until(lambda: value(samples(scrape(watched.port)[1]), "vostrelld_peers", socket="processor") == 0)
    found = samples(scrape(watched.port)[1])
    assert value(found, "vostrelld_connections_total", socket="processor", event="lost") == 1
    assert value(found, "vostrelld_peers", socket="backyard") == 1
    again = watched.zsock(zmq.PULL, watched.keys["message_processor"][1:], bind=True)
    assert until(lambda: value(samples(scrape(watched.port)[1]), "vostrelld_peers", socket="processor") == 1)
    watched.push(b"#oldmp " + TS.encode() + b" 01")
    assert recv(again) == [bytes.fromhex(TS), b"\x01"]
    subscriber = watched.zsock(zmq.SUB, watched.keys["publisher"])
    assert until(lambda: value(samples(scrape(watched.port)[1]), "vostrelld_peers", socket="publisher") == 2)
    subscriber.close()
    assert until(lambda: value(samples(scrape(watched.port)[1]), "vostrelld_peers", socket="publisher") == 1)


def test_the_overflow_gauge_follows_the_latch(relay):
    port = free_port()
    relay.keys["message_processor"] = "@" + tcp(free_port())  # bound, nobody there: refuses at once
    relay.launch(config=metrics_config(port))
    relay.connect()
    relay.push(b"#oldmp " + TS.encode() + b" 01")
    relay.sync()
    assert value(samples(scrape(port)[1]), "vostrelld_overflow") == 1
    relay.push(b"#jwin x")  # the backyard socket connects, so it queues: the latch clears
    relay.sync()
    assert value(samples(scrape(port)[1]), "vostrelld_overflow") == 0


@pytest.mark.parametrize("config, source, admitted", [
    ('metrics_allow = "127.0.0.2"\n', "127.0.0.1", False),
    ('metrics_allow = "127.0.0.2, ::1"\n', "127.0.0.2", True),
    ('allow = "127.0.0.2"\n', "127.0.0.1", False),  # the allow list applies where nothing else is said
    ('allow = "127.0.0.2"\nmetrics_allow = "127.0.0.1"\n', "127.0.0.1", True),  # a scraper need not relay
])
def test_a_scrape_from_an_address_not_allowed_gets_403_and_is_counted(relay, config, source, admitted):
    port = free_port()
    relay.launch(config=metrics_config(port, config))
    status, body = scrape(port, source)
    assert status == (200 if admitted else 403) and ("vostrelld_" in body) == admitted
    allowed_source = source if admitted else "127.0.0.2"
    assert value(samples(scrape(port, allowed_source)[1]), "vostrelld_refused_total", reason="metrics") == \
        (0 if admitted else 1)


def test_junk_and_idle_connections_never_touch_relaying(relay):
    port = free_port()
    relay.launch(config=metrics_config(port))
    relay.connect()
    idle = [socket.socket() for _ in range(300)]  # more than the server takes in at once
    for sock in idle:
        sock.setblocking(False)
        sock.connect_ex(("127.0.0.1", port))
    assert until(lambda: select.select([], idle[:20], [], 0)[1] == idle[:20])
    for junk in idle[:20:2]:  # not HTTP, and a request line longer than any buffer
        with contextlib.suppress(BlockingIOError):
            junk.send(os.urandom(4096) + b"\r\n\r\nGET /" + b"x" * 65536)
    texts = [b"text %d" % n for n in range(2000)]
    relay.relay_all(texts, lambda: None)  # bounded by its own waits
    for sock in idle:
        sock.close()
    status, body = scrape(port, timeout=20)
    assert status == 200 and "vostrelld_received_messages_total" in body
    assert relay.stop() == 0


def test_an_idle_connection_is_cut_after_the_request_time_out(relay):
    port = free_port()
    relay.launch(config=metrics_config(port))
    with socket.create_connection(("127.0.0.1", port)) as idle:
        idle.settimeout(10)
        idle.sendall(b"GET /metr")
        assert idle.recv(4096) is not None  # returns once the server cut it: b"" or an error reply
        assert until(lambda: idle.recv(4096) == b"", 1)


def test_without_the_key_no_thread_is_added_and_with_it_signals_stay_with_the_loop(relay):
    relay.launch()
    plain = len(os.listdir("/proc/%d/task" % relay.daemon.pid))
    relay.stop()
    port = free_port()
    relay.launch(config=metrics_config(port))
    threads = os.listdir("/proc/%d/task" % relay.daemon.pid)
    assert len(threads) > plain
    for thread in threads:  # signals stay with the loop
        status = open("/proc/%d/task/%s/status" % (relay.daemon.pid, thread)).read()
        if "civetweb" in status.split("\n")[0]:
            for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGUSR1):
                assert int(re.search(r"SigBlk:\s+(\w+)", status)[1], 16) >> (sig - 1) & 1


BUSY = socket.socket()
BUSY.bind(("127.0.0.1", 0)), BUSY.listen()


@pytest.mark.parametrize("config, logged", [
    ('metrics = "127.0.0.1"\n', 'Parameter "/metrics": "127.0.0.1" is not an IPv4 address and a port'),
    ('metrics = "127.0.0.1:0"\n', 'Parameter "/metrics": "127.0.0.1:0" is not an IPv4 address and a port'),
    ('metrics = "127.0.0.1:65536"\n', 'Parameter "/metrics": "127.0.0.1:65536" is not an IPv4 address and a port'),
    ('metrics = "127.0.0.1:9x"\n', 'Parameter "/metrics": "127.0.0.1:9x" is not an IPv4 address and a port'),
    ('metrics = "localhost:9100"\n', 'Parameter "/metrics": "localhost:9100" is not an IPv4 address and a port'),
    ('metrics = "[::1]:9100"\n',
     'Parameter "/metrics": "[::1]:9100" is an IPv6 address; the metrics endpoint takes an IPv4 address only'),
    ('metrics = "127.0.0.1:%d"\nmetrics_allow = "127.0.0.1 nobody"\n' % free_port(),
     'Parameter "/metrics_allow": "nobody" is not an IP address'),
    ('metrics_allow = "127.0.0.1"\n', 'Parameter "/metrics_allow" needs "/metrics"'),
    ('metrics = "127.0.0.1:%d"\n' % BUSY.getsockname()[1],
     "create_metrics: bind 127.0.0.1:%d: 98, Address already in use" % BUSY.getsockname()[1])])
def test_each_unusable_metrics_key_stops_the_start(relay, config, logged):
    daemon = Daemon(["-c", relay.config(config)])
    assert daemon.wait() == 1 and daemon.lines() == [START, err(logged)] and daemon.err() == ""
    assert not os.path.exists(relay.keys["pidfile"])


@pytest.mark.skipif(not PROMTOOL, reason="promtool (Debian's prometheus package) is not installed")
@pytest.mark.parametrize("command", [["check", "rules", DIST + "/vostrelld.rules.yml"],
                                     ["check", "config", DIST + "/prometheus.yml"],
                                     ["test", "rules", DIST + "/vostrelld.rules.test.yml"]])
def test_the_shipped_rules_and_scrape_job_pass_promtool(command):
    checked = subprocess.run([PROMTOOL] + command, capture_output=True, text=True, cwd=DIST)
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_the_dashboard_asks_only_for_metrics_the_daemon_serves(relay):
    port = free_port()
    relay.launch(config=metrics_config(port, 'spool\n    directory = "%s"\n    message_processor = 1048576\n' % relay.tmp))
    served = {name for name, _ in samples(scrape(port)[1])}
    dashboard = open(os.path.join(os.environ["SOURCE_DIR"], "dist", "grafana", "vostrelld.json")).read()
    asked = set(re.findall(r"\b((?:vostrelld|process)_\w+)", dashboard))
    assert asked and asked <= served, asked - served


@pytest.mark.skipif(not shutil.which("prometheus"), reason="Debian's prometheus package is not installed")
def test_prometheus_scrapes_the_daemon_with_the_shipped_job_and_rules(relay, tmp_path):
    port, web = free_port(), free_port()
    relay.launch(config=metrics_config(port))
    job = open(DIST + "/prometheus.yml").read().replace("127.0.0.1:9578", "127.0.0.1:%d" % port)
    shutil.copy(DIST + "/vostrelld.rules.yml", tmp_path)
    (tmp_path / "prometheus.yml").write_text(job.replace("scrape_interval: 15s", "scrape_interval: 1s\n  evaluation_interval: 1s"))
    server = subprocess.Popen(["prometheus", "--config.file", str(tmp_path / "prometheus.yml"), "--storage.tsdb.path",
                               str(tmp_path / "data"), "--web.listen-address", "127.0.0.1:%d" % web],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    Process.running.append(server)

    def query(expression):
        with contextlib.suppress(OSError, ValueError):
            url = "http://127.0.0.1:%d/api/v1/query?query=%s" % (web, urllib.parse.quote(expression))
            return [float(r["value"][1]) for r in json.load(urllib.request.urlopen(url, timeout=2))["data"]["result"]]
    relay.connect()
    assert until(lambda: query('vostrelld_received_messages_total{job="vostrelld",input="udp"}') not in (None, [], [0.0]),
                 20), query("up")
    assert query('up{job="vostrelld"}') == [1.0]
    # Neither processor is there: that alert is pending for both sockets, and only that one.
    assert until(lambda: query('count by (alertname) (ALERTS{alertstate="pending"})') == [2.0], 10)
    rules = json.load(urllib.request.urlopen("http://127.0.0.1:%d/api/v1/rules" % web, timeout=2))
    assert len(rules["data"]["groups"][0]["rules"]) == 7
