"""The host over a real socket, with a wire-level add-in double: files,
authentication, sessions, releases, callbacks and faults."""

import concurrent.futures
import http.client
import inspect
import threading

import pytest
from websockets.exceptions import InvalidStatus
from websockets.sync.client import connect

import com_like
from com_like_host import config, serve, server
from host_support import STANDIN, WireAddin, wait_until, ws_url


def get(h, path):
    conn = http.client.HTTPConnection("127.0.0.1", h.port, timeout=5)
    conn.request("GET", path)
    resp = conn.getresponse()
    body = resp.read()
    conn.close()
    return resp.status, resp.getheader("Content-Type") or "", body


def active_sheet():
    return com_like.Context.workbook.worksheets.getActiveWorksheet()


def test_serve_takes_every_option_of_host_with_its_default():
    assert inspect.signature(serve).parameters == inspect.signature(server.Host).parameters


@pytest.mark.parametrize("path, status, ctype", [
    ("/taskpane.html", 200, "text/html"),
    ("/taskpane.mjs", 200, "text/javascript"),
    ("/frames.mjs", 200, "text/javascript"),
    ("/icon-32.png", 200, "image/png"),
    ("/", 302, ""),
    ("/../server.py", 404, ""),
    ("/..%2fserver.py", 404, ""),
    ("/%2e%2e/config.py", 404, ""),
    ("/addin/../../core.py", 404, ""),
    ("//etc/passwd", 404, ""),
    ("/.hidden", 404, ""),
    ("/nothing.html", 404, ""),
    ("/office/office.js", 404, ""),       # no stand-in configured
])
def test_static_files_only_from_the_addin_folder(host, path, status, ctype):
    code, content_type, _ = get(host, path)
    assert code == status and content_type.startswith(ctype)


def test_office_js_is_served_with_its_folder_instead_of_the_hosted_one():
    if not STANDIN.is_file():
        pytest.skip("the stand-in is not in this checkout yet")
    with serve(office_js=STANDIN) as h:
        _, _, page = get(h, "/taskpane.html")
        assert b"\"office/office.js\"" in page and config.HOSTED_OFFICE_JS.encode() not in page
        assert get(h, "/office/office.js")[0] == 200
        assert get(h, "/office/../server.py")[0] == 404
    with serve() as h:
        assert config.HOSTED_OFFICE_JS.encode() in get(h, "/taskpane.html")[2]


@pytest.mark.parametrize("token, origin", [
    ("wrong", "own"),
    ("", "own"),
    (None, "http://evil.example"),
    (None, "null"),
    (None, None),              # no browser page: with the token, still no pane
])
def test_bad_token_or_foreign_origin_is_refused_before_messaging(wire, host, token, origin):
    guid = com_like.messaging._guid
    origin = host.origin if origin == "own" else origin
    url = ws_url(host, token) if token != "" else ws_url(host).split("?")[0]
    with pytest.raises(InvalidStatus) as info:
        with connect(url, origin=origin):
            pass
    assert info.value.response.status_code == 403
    assert host.stats["refused"] == 1 and com_like.messaging._guid == guid
    assert active_sheet().name == "Sheet1"      # the live session is untouched


def test_allowed_origin_is_accepted():
    with serve(allowed_origins=["https://pane.example"]) as h:
        double = WireAddin(h, origin="https://pane.example")
        assert h.wait_connected(5) and active_sheet().name == "Sheet1"
        double.close()


def test_no_session_is_a_clear_error(host):
    with pytest.raises(RuntimeError, match="no add-in is connected.*taskpane.html") as info:
        active_sheet()
    assert host.token not in str(info.value)
    assert not host.wait_connected(0.05)


def test_releases_travel_in_batches(wire, host):
    rng = active_sheet().getRange("A1:B10000")
    rows = rng.values              # an array of 10,000 row arrays, each an object id
    assert len(rows) == 10000 and wire.addin.object_count > 10000
    before = host.stats["frames_out"]
    del rows, rng
    assert wait_until(lambda: wire.addin.object_count <= 6)
    # One or two frames normally (bench/transport.py); a loaded machine may
    # split the stream of DELs once or twice more, never into thousands.
    assert host.stats["frames_out"] - before <= 5
    assert sum(len(f.get("ids", ())) for f in wire.frames if f["kind"] == "release") >= 10001


def test_release_rides_with_the_next_request(wire, host):
    a1 = active_sheet().getRange("A1")
    oid = a1._internal_id % (1 << 32)       # as the add-in knows it
    n = len(wire.frames)
    del a1
    active_sheet()
    first = wire.frames[n]
    assert first["kind"] == "request" and oid in first["release"]


def test_callbacks_run_on_workers_and_answer_the_add_in(wire, host):
    seen = []

    def on_changed(event):
        sheet = com_like.Context.workbook.worksheets.getItem(event.worksheetId)
        seen.append((threading.current_thread().name, event.address,
                     sheet.getRange(event.address).values))

    def broken(event):
        raise ValueError("no good")

    ws = active_sheet()
    ws.onChanged.add(on_changed)
    reg = ws.onChanged.add(broken)
    ws.getRange("B2").values = [[5]]
    assert wait_until(lambda: len(wire.addin.callback_reports) == 2)
    assert seen == [(seen[0][0], "B2", [[5]])] and seen[0][0].startswith("host-callback")
    reports = sorted(wire.addin.callback_reports, key=lambda r: r["ok"])
    assert reports[0]["error"] == "ValueError: no good" and reports[1]["ok"]
    (cid, exc), = host.callback_errors
    host.callback_errors.clear()
    reg.remove()
    assert wait_until(lambda: com_like.messaging.get_callable(cid) is None)


def test_callable_unknown_to_messaging_is_answered_with_an_error(wire, host):
    wire.send({"kind": "callback", "callId": 77, "callableId": "pyfunc_nope_1", "args": []})
    assert wait_until(lambda: any(f["kind"] == "callback_result" for f in wire.frames))
    result, = [f for f in wire.frames if f["kind"] == "callback_result"]
    assert result["callId"] == 77 and not result["ok"] and "not registered" in result["error"]["message"]
    host.callback_errors.clear()


def waiting_request(wire):
    """A request parked in the double, and the future of its caller."""
    wire.hold.set()
    seen = len(wire.frames)
    pool = concurrent.futures.ThreadPoolExecutor(1)
    fut = pool.submit(lambda: com_like.Context.workbook)
    assert wait_until(lambda: any(f["kind"] == "request" for f in wire.frames[seen:]))
    pool.shutdown(wait=False)
    return fut


@pytest.mark.parametrize("fault", ["malformed", "oversized", "new_connection", "closed_socket",
                                   "host_closed"])
def test_faults_cancel_waiting_callers_at_once(monkeypatch, fault):
    monkeypatch.setattr(server, "MAX_FRAME", 1000)
    with serve() as h:
        wire = WireAddin(h)
        assert h.wait_connected(5)
        old = active_sheet()
        fut = waiting_request(wire)
        if fault == "malformed":
            wire.send_raw("{not json")
        elif fault == "oversized":
            wire.send_raw('{"kind": "excel_response", "requestId": "%s"}' % ("x" * 2000))
        elif fault == "new_connection":
            wire2 = WireAddin(h)
        elif fault == "closed_socket":
            wire.ws.close()
        else:
            h.close()
        with pytest.raises(concurrent.futures.CancelledError):
            fut.result(5)     # well before the 30 s time-out
        wire.hold.clear()
        if fault == "host_closed":
            with pytest.raises(RuntimeError, match="No send handler"):
                active_sheet()
            return
        if fault != "new_connection":
            wire2 = WireAddin(h)
        assert h.wait_connected(5) and active_sheet().name == "Sheet1"
        with pytest.raises(RuntimeError, match="used after messaging context was stopped"):
            old.name
        if fault in ("malformed", "oversized"):
            assert h.stats["bad_frames"] + (fault == "oversized") >= 1 and h.last_error
        wire2.close()


def test_response_for_an_unknown_request_is_dropped(wire, host):
    wire.send({"kind": "excel_response", "requestId": "0" * 32, "ok": True,
               "result": {"type": "Int", "value": 1, "isSpec": False}})
    assert active_sheet().name == "Sheet1" and host.connected


def test_request_on_the_listener_thread_is_refused(wire, host):
    errors = []
    original = host.core.on_release_callables

    def on_release(ids):
        try:
            com_like.Context.workbook.name
        except RuntimeError as e:
            errors.append(str(e))
        original(ids)

    host.core.on_release_callables = on_release
    wire.send({"kind": "release_callables", "ids": []})
    assert wait_until(lambda: errors)
    assert "would wait forever" in errors[0]


def test_proxies_of_an_earlier_page_never_reach_the_new_one(host):
    first = WireAddin(host)
    assert host.wait_connected(5)
    stale_sheet = active_sheet()
    old = stale_sheet.getRange("A1")
    first.close()
    second = WireAddin(host)           # a reloaded page: its ids count from 6 again
    assert wait_until(lambda: host.connected)
    new = active_sheet().getRange("A1")
    assert new._internal_id % (1 << 32) == old._internal_id % (1 << 32)
    new.values = [[1]]
    del old                            # its DEL must not release the new page's range
    with pytest.raises(RuntimeError, match="used after messaging context was stopped"):
        com_like.Union(new, stale_sheet)
    assert new.values == [[1]]
    second.close()


def test_office_js_folder_serves_its_siblings_but_no_link_out(tmp_path):
    (tmp_path / "office.js").write_text("globalThis.Office = {};")
    (tmp_path / "part.mjs").write_text("export const x = 1;")
    secret = tmp_path.parent / ("secret-%s.txt" % tmp_path.name)
    secret.write_text("not for the browser")
    (tmp_path / "leak.js").symlink_to(secret)
    with serve(office_js=tmp_path / "office.js") as h:
        assert get(h, "/office/part.mjs")[:2] == (200, "text/javascript; charset=utf-8")
        assert get(h, "/office/leak.js")[0] == 404
        assert get(h, "/office/../" + secret.name)[0] == 404


def rec(tag, value, **extra):
    return dict({"type": tag, "value": value, "isSpec": False}, **extra)


@pytest.mark.parametrize("announced", [2, 3])
def test_an_answer_in_parts_is_joined_before_anyone_sees_it(wire, host, announced):
    fut = waiting_request(wire)
    rid = [f for f in wire.frames if f["kind"] == "request"][-1]["requestId"]
    rows = [rec("Array", [rec("Float", float(i))], id=50 + i) for i in range(5)]
    wire.send({"kind": "part", "key": rid, "value": rec("Array", rows[:2])})
    wire.send({"kind": "part", "key": rid, "value": {"@": "F", "v": [9.5]}})   # compact slice
    wire.send({"kind": "excel_response", "requestId": rid, "ok": True, "parts": announced,
               "result": rec("Array", rows[2:], id=40)})
    if announced == 2:
        value = fut.result(5)
        assert [list(r) if isinstance(r, list) else r for r in value] == [
            [0.0], [1.0], 9.5, [2.0], [3.0], [4.0]]
        assert host.connected
    else:
        with pytest.raises(concurrent.futures.CancelledError):
            fut.result(5)
        assert "parts for an answer" in host.last_error
    wire.hold.clear()


def test_a_frame_over_the_limit_ends_the_session_cleanly(wire, host):
    fut = waiting_request(wire)
    with pytest.raises(Exception):
        wire.send_raw('{"kind": "echo", "x": "%s"}' % ("x" * (server.MAX_FRAME + 10)))
        wire.ws.recv(timeout=5)
    with pytest.raises(concurrent.futures.CancelledError):
        fut.result(5)
    assert wait_until(lambda: not host.connected) and "over %d bytes" % server.MAX_FRAME in \
        host.last_error
    wire.hold.clear()
