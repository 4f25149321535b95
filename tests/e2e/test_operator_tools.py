"""Operator tools end to end: `algpolicy explain` against the sample policies and policies of
the suite's own, and against running gateways; `algctl serve --metrics` read back with the
Prometheus parser; `algctl serve --http` loaded in headless Chromium."""

import ftplib
import json
import os
import shutil
import socket
import subprocess
import time

import pytest

import algtest
import test_ftp
import test_http
import test_socks
from algtest import explain, wait_until

SOURCE = os.environ.get("ALG_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLES = os.path.join(SOURCE, "examples")

RULES = """
  <access userid="carol" loglevel="detail" action="reject"/>
  <access userid="" loglevel="detail" action="drop">
    <filterby name="Host" masktype="regexp">^10\\.0\\.0\\.[0-9]+$</filterby>
  </access>
  <access userid="" loglevel="detail" action="reject">
    <filterby name="URL" masktype="wild">*/private/*</filterby>
  </access>
  <access userid="" loglevel="detail" action="allow">
    <filterby name="Host" masktype="wild">127.0.0.*</filterby>
    <filterby name="METHOD" masktype="wild">GET</filterby>
  </access>"""
PROCESS = """
  <replace userid="" loglevel="detail">
    <option name="User-Agent" masktype="regexp" from="curl/[0-9.]+" to="agent"/>
    <body masktype="regexp" from="secret[0-9]" to="[x]"/>
  </replace>
  <cut userid="" loglevel="detail">
    <option name="X-Forbidden" masktype="wild" from="*"/>
    <body masktype="wild" from="*forbidden-word*"/>
  </cut>"""


def own_policy(tmp_path, name="alg_http"):
    path = tmp_path / "own.xml"
    path.write_text("""<?xml version="1.0" encoding="UTF-8"?>
<algpolicy><proxy name="%s"><general><listen_port>3128</listen_port>
<authsystem name="Stub"/></general><handshake>%s</handshake><process>%s</process></proxy>
</algpolicy>""" % (name, RULES, PROCESS))
    return path


def test_explain_decisions_and_rewrites(tmp_path):
    policy = own_policy(tmp_path)
    url = "URL=http://127.0.0.1/"
    cases = [  # (user, properties, action, deciding rule or None for the default reject)
        ("carol", ["Host=127.0.0.1", "METHOD=GET", url], "reject", 1),        # per-user
        ("alice", ["Host=10.0.0.7", "METHOD=GET", url], "drop", 2),          # regexp
        ("alice", ["Host=10.0.0.77x", "METHOD=GET", url], "reject", None),   # whole value only
        ("alice", ["Host=127.0.0.1", "URL=http://h/private/a"], "reject", 3),  # wildcard
        ("alice", ["Host=127.0.0.1", "METHOD=GET", url], "allow", 4),
        ("alice", ["Host=127.0.0.1", "METHOD=POST", url], "reject", None),
        ("alice", ["Host=127.0.0.1"], "reject", None),                      # METHOD absent
    ]
    for user, props, action, rule in cases:
        got = explain(policy, "alg_http", *props, user=user)
        assert (got["action"], got["rule"], got["default"]) == (action, rule, rule is None), props
        decided = [r["position"] for r in got["rules"] if r["decided"]]
        assert decided == ([rule] if rule else [])
        assert all(not r["reached"] for r in got["rules"][rule or 4:])
    matched = explain(policy, "alg_http", "Host=127.0.0.1", "METHOD=PUT", user="alice")
    last = matched["rules"][3]
    assert [(f["property"], f["value"], f["matched"]) for f in last["filters"]] == [
        ("Host", "127.0.0.1", True), ("METHOD", "PUT", False)]
    assert matched["rules"][0]["for_user"] is False and last["line"] > 0
    # socks-gateway sets no URL or METHOD: given or not, they are absent, as on the gateway.
    (tmp_path / "s").mkdir()
    socks = explain(own_policy(tmp_path / "s", "alg_socks"), "alg_socks", "Host=127.0.0.1",
                    "METHOD=GET", "URL=http://h/private/a", user="alice")
    assert (socks["action"], socks["rule"]) == ("reject", None)
    assert socks["rules"][2]["filters"][0] == dict(socks["rules"][2]["filters"][0], known=False,
                                                   value=None, matched=False)

    body = tmp_path / "body.txt"
    body.write_text("a secret1 and secret2\n")
    got = explain(policy, "alg_http", "Host=127.0.0.1", "--option", "User-Agent=curl/8.1.2",
                  "--option", "X-Forbidden=1", "--option", "Accept=*/*", "--body", str(body))
    agent, forbidden, accept = got["options"]
    assert (agent["result"], agent["hits"]) == (
        "agent", [{"kind": "replace", "section": 1, "rule": 1, "count": 1}])
    assert forbidden["refused"] and forbidden["hits"][0]["kind"] == "cut"
    assert (accept["hits"], accept["result"]) == ([], "*/*")
    assert got["body"]["result"] == "a [x] and [x]\n" and got["body"]["hits"][0]["count"] == 2
    body.write_text("a forbidden-word\n")
    assert explain(policy, "alg_http", "--body", str(body))["body"]["refused"]
    body.write_bytes(b"x\xc2\x9b[31m\x1b]0;t\x07")  # terminal controls stay escaped
    raw = subprocess.run([algtest.ALGPOLICY, "explain", str(policy), "alg_http", "--json",
                          "--body", str(body)], capture_output=True, timeout=30).stdout
    assert b"\xc2\x9b" not in raw and b"\x1b" not in raw
    assert json.loads(raw)["body"]["result"] == "x\u009b[31m\x1b]0;t\x07"

    text = subprocess.run([algtest.ALGPOLICY, "explain", str(policy), "alg_http", "--option",
                           "User-Agent=curl/1", "Host=10.0.0.1"], capture_output=True,
                          text=True, timeout=30)
    assert "decision: drop by rule 2" in text.stdout and "rewritten: agent" in text.stdout
    for bad in (["nosuch"], ["alg_http", "--user"], ["alg_http", "novalue"]):
        r = subprocess.run([algtest.ALGPOLICY, "explain", str(policy), *bad],
                           capture_output=True, timeout=30)
        assert r.returncode in (1, 2) and r.stderr

    # The sample policies, built as their gateways build them.
    http = explain(os.path.join(EXAMPLES, "http.xml"), "alg_http", "Host=www.example.org",
                   "--option", "Server=apache/2")
    assert (http["action"], http["rule"], http["options"][0]["result"]) == ("allow", 1, "")
    for user, hit in (("demo", True), ("bob", False)):
        ftp = explain(os.path.join(EXAMPLES, "ftp.xml"), "alg_ftp", "--option", "COMMAND=DELE",
                      user=user)
        assert ftp["options"][0]["refused"] is hit
    # smtp-gateway applies no body rules: the body is told so and left alone.
    smtp = explain(own_policy(tmp_path, "alg_smtp"), "alg_smtp", "--body", str(body))
    assert not smtp["body"]["refused"] and any("body rules" in n for n in smtp["notes"])


def _logged_decision(gateway, start):
    line = gateway.wait_for_line(r"action of filter \d+ - |Default Filter action", 10, start)
    if "Default Filter action" in line:
        return "reject", None
    number, action = line.split("action of filter ")[1].split(" - ")
    return action.split()[0], int(number)


def test_explain_agrees_with_running_gateways(launch, tmp_path):
    origin = algtest.HttpOrigin({"/ok": b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"})
    try:
        g = launch(test_http.Gateway, RULES, PROCESS)
        requests = [  # (request line target, Host property, method, what the client sees)
            ("http://127.0.0.1:%d/ok" % origin.port, "127.0.0.1", "GET", b"HTTP/1.0 200"),
            ("http://127.0.0.1:%d/private/a" % origin.port, "127.0.0.1", "GET",
             test_http.REJECTED),
            ("http://10.0.0.7/", "10.0.0.7", "GET", b""),
            ("http://127.0.0.1:%d/ok" % origin.port, "127.0.0.1", "POST", test_http.REJECTED),
        ]
        for target, host, method, seen in requests:
            start = g.count()
            answer = g.exchange(b"%s %s HTTP/1.0\r\n%s\r\n" % (method.encode(), target.encode(),
                                                                test_http.AUTH))
            assert answer.startswith(seen) and (seen or answer == b"")
            want = explain(g.settings, "alg_http", "Host=" + host, "METHOD=" + method,
                           "URL=" + target.split("?")[0], user="demo")
            assert _logged_decision(g, start) == (want["action"], want["rule"])
    finally:
        origin.close()

    # socks-gateway: a per-user rule on the destination port.
    with algtest.LoopbackServer(algtest.echo) as echo:
        rules = ('<access userid="demo" loglevel="detail" action="drop">'
                 '<filterby name="Port" masktype="regexp">%d</filterby></access>'
                 '<access userid="" loglevel="detail" action="allow"/>' % echo.port)
        s5 = launch(test_socks.Gateway, rules)
        start = s5.count()
        s = s5.connect()
        assert test_socks.socks5_login(s) == b"\x01\x00"
        test_socks.socks5_request(s, echo.port)
        assert test_socks.closed_without_reply(s)
        want = explain(s5.settings, "alg_socks", "Host=127.0.0.1", "Port=%d" % echo.port,
                       "IP=127.0.0.1", user="demo")
        assert (want["action"], want["rule"]) == ("drop", 1) == _logged_decision(s5, start)

    # smtp-gateway: a cut on a recipient, told by explain as the rule the gateway logs.
    smtp_process = ('<cut userid="" loglevel="detail"><option name="RCPT TO" masktype="wild" '
                    'from="*@blocked.example*"/></cut>')
    gw = launch(algtest.SmtpGateway, process=smtp_process)
    with algtest.SmtpSink() as sink:
        import smtplib
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=10) as c:
            c.login(gw.user_name(sink.port), gw.PASSWORD)
            refused = c.sendmail("a@example.org", ["b@example.org", "x@blocked.example"],
                                 b"Subject: s\r\n\r\nbody\r\n")
    assert list(refused) == ["x@blocked.example"]
    want = explain(gw.settings, "alg_smtp", "--option", "RCPT TO=<x@blocked.example>")
    hit = want["options"][0]["hits"][0]
    gw.wait_for("Cut option:%d.%d" % (hit["section"], hit["rule"]))

    # ftp-gateway: DELE cut for carol only; demo's DELE reaches the server.
    with algtest.FtpServer(tmp_path) as server:
        fg = launch(test_ftp.Gateway)
        for user in ("demo", "carol"):
            f = fg.ftp(server.port, proxy_user=user)
            with pytest.raises(ftplib.error_perm) as answer:
                f.sendcmd("DELE nothing-here")
            f.close()
            want = explain(fg.settings, "alg_ftp", "--option", "COMMAND=DELE", user=user)
            assert want["options"][0]["refused"] is (user == "carol")
            assert str(answer.value).startswith("550") is (user == "demo"), answer.value
            assert (fg.find("Cut option:1.1") >= 0) is (user == "carol")


def _metrics(address):
    from prometheus_client.parser import text_string_to_metric_families
    status, body = algtest.http_get(address, "/metrics")
    assert status == 200
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(body.decode())
            for s in family.samples}


def _value(metrics, name, **labels):
    return metrics.get((name, tuple(sorted(labels.items()))))


def test_metrics_and_status_page_follow_the_gateways(launch, tmp_path):
    chromium = shutil.which("chromium")
    if chromium is None:
        pytest.fail("chromium is not installed (scripts/deps.sh)")
    with algtest.ObservedService(tmp_path / "serve") as serve:
        env = {"ALG_RUNDIR": str(serve.run)}
        socks = launch(algtest.SocksGateway, '<authsystem name="Stub"/>', env_extra=env)
        smtp = launch(lambda base: algtest.Gateway(
            algtest.program("smtp/smtp-gateway"), base, "smtp.xml",
            open(os.path.join(EXAMPLES, "smtp.xml")).read().replace(
                "<listen_port>2525</listen_port>", "<listen_port>%d</listen_port>"
                % algtest.free_port()), {"passwd": open(os.path.join(EXAMPLES, "passwd")).read()},
            env_extra=env, encoding="cp1251"))
        names = {"alg_socks", "alg_smtp"}
        assert wait_until(lambda: {k[1][0][1] for k in _metrics(serve.metrics)
                                   if k[0] == "alg_gateway_stale"} >= names, 15), smtp.output()
        before = _metrics(serve.metrics)
        assert _value(before, "alg_gateway_listen_port", service="alg_socks") == socks.port
        assert _value(before, "alg_gateway_stale", service="alg_smtp") == 0
        info = [k for k in before if k[0] == "alg_gateway_info" and ("service", "alg_socks") in k[1]]
        assert info and ("console_level", "Verbose") in info[0][1]

        def sessions():
            return _value(_metrics(serve.metrics), "alg_gateway_sessions_total",
                          service="alg_socks") or 0

        def forwarded(m):
            return sum(v for k, v in m.items() if k[0] == "alg_forwarded_messages_total"
                       and ("service", "alg_socks") in k[1])

        for _ in range(3):  # accepted or refused, each login is a session
            socks.login("anyone", "x")
        assert wait_until(lambda: sessions() >= 3, 10)
        assert forwarded(_metrics(serve.metrics)) > forwarded(before)

        # The page in a real browser: one row per gateway, then the stale one marked.
        def dom():
            r = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu",
                                "--user-data-dir=%s" % (tmp_path / "chromium"),
                                "--dump-dom", "http://%s/" % serve.page],
                               capture_output=True, text=True, timeout=60)
            return r.stdout

        page = dom()
        for name in names:
            assert 'data-service="%s"' % name in page
        assert "<svg" in page and 'points=""' not in page  # every row has its samples
        assert "stale" not in page.split('id="status"')[1]
        shot = tmp_path / "page.png"
        subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu",
                        "--user-data-dir=%s" % (tmp_path / "chromium"),
                        "--screenshot=%s" % shot, "--window-size=1400,500",
                        "http://%s/" % serve.page], capture_output=True, timeout=60)
        assert shot.stat().st_size > 1000
        smtp.stop()
        assert wait_until(lambda: 'class="gateway stale" data-service="alg_smtp"' in dom(), 20)
        assert 'class="gateway" data-service="alg_socks"' in dom()

        # A record whose texts would break out of a label or into the page stays data.
        hostile = 'x"}\\ 1\n<script>'
        faker = algtest.BusSession(serve.socket)
        try:
            fields = [b"1", b"b", b"7", b"5", b"9", hostile.encode(), b"e", b"<b>", b"-"]
            assert faker.call(23, 6, algtest.status_record(hostile, b"<i>", fields))[0] == 0
        finally:
            faker.close()
        m = _metrics(serve.metrics)
        assert _value(m, "alg_gateway_active_sessions", service=hostile) == 5
        assert any(("auth_system", hostile) in k[1] for k in m if k[0] == "alg_gateway_info")
        page = dom()
        assert "<script>" not in page and "&lt;script&gt;" in page and "<i>" not in page

        # Only GET, bounded requests.
        host, port = serve.page.split(":")
        with socket.create_connection((host, int(port)), 10) as s:
            s.sendall(b"POST / HTTP/1.0\r\n\r\n")
            assert algtest.recv_all(s).startswith(b"HTTP/1.0 405")
        with socket.create_connection((host, int(port)), 10) as s:
            s.sendall(b"GET /" + b"a" * 9000)
            assert algtest.recv_all(s).startswith(b"HTTP/1.0 431")
