# SPDX-License-Identifier: GPL-2.0-or-later
"""A small synchronous obs-websocket v5 client (no authentication).

Requests are answered in order on one connection; events that arrive while a
request waits for its answer are kept, so a test can wait for them later.
"""

import collections
import itertools
import json
import time

import websocket  # Debian package python3-websocket

from emulation import limit

OP_HELLO, OP_IDENTIFY, OP_IDENTIFIED = 0, 1, 2
OP_EVENT, OP_REQUEST, OP_REQUEST_RESPONSE = 5, 6, 7

# General | Config | Scenes | Inputs | Transitions | Filters | Outputs |
# SceneItems | MediaInputs | Vendors | Ui: everything except the
# high-volume subscriptions.
EVENTS_ALL_LOW_VOLUME = 0x7FF
EVENT_SCENE_ITEM_TRANSFORM_CHANGED = 1 << 19


class ObsWsError(Exception):
    """A request failed or the connection broke."""


class RequestFailed(ObsWsError):
    def __init__(self, request_type, status):
        self.code = status.get("code")
        self.comment = status.get("comment", "")
        super().__init__(f"{request_type} failed: code {self.code} {self.comment}".rstrip())


class ObsWebSocket:
    def __init__(self, port, host="127.0.0.1", timeout=10.0, events=EVENTS_ALL_LOW_VOLUME):
        timeout = limit(timeout)
        self.timeout = timeout
        self._ids = itertools.count(1)
        self.events = collections.deque()
        try:
            self._ws = websocket.create_connection(f"ws://{host}:{port}", timeout=timeout)
        except (OSError, websocket.WebSocketException) as exc:
            raise ObsWsError(f"cannot connect to obs-websocket on port {port}: {exc}") from exc
        try:
            hello = self._recv()
            if hello.get("op") != OP_HELLO:
                raise ObsWsError(f"expected Hello, got {hello}")
            if "authentication" in hello.get("d", {}):
                raise ObsWsError("obs-websocket asks for a password; the seeded config disables it")
            self._send(OP_IDENTIFY, {"rpcVersion": 1, "eventSubscriptions": events})
            deadline = time.monotonic() + timeout
            while True:
                msg = self._recv(deadline)
                if msg.get("op") == OP_IDENTIFIED:
                    break
                if msg.get("op") == OP_EVENT:
                    self.events.append(msg["d"])
        except Exception:
            self.close()
            raise

    def close(self):
        try:
            self._ws.close()
        except Exception:  # already gone with the host
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _send(self, op, data):
        try:
            self._ws.send(json.dumps({"op": op, "d": data}))
        except (OSError, websocket.WebSocketException) as exc:
            raise ObsWsError(f"connection lost while sending: {exc}") from exc

    def _recv(self, deadline=None):
        remaining = self.timeout if deadline is None else deadline - time.monotonic()
        if remaining <= 0:
            raise ObsWsError("timed out waiting for obs-websocket")
        self._ws.settimeout(remaining)
        try:
            raw = self._ws.recv()
        except websocket.WebSocketTimeoutException as exc:
            raise ObsWsError("timed out waiting for obs-websocket") from exc
        except (OSError, websocket.WebSocketException) as exc:
            raise ObsWsError(f"connection lost: {exc}") from exc
        if not raw:
            raise ObsWsError("connection closed by OBS")
        return json.loads(raw)

    def request(self, request_type, **data):
        """Sends one request and returns its responseData (a dict, maybe empty).

        Raises RequestFailed when OBS answers with a failed status."""
        request_id = str(next(self._ids))
        payload = {"requestType": request_type, "requestId": request_id}
        if data:
            payload["requestData"] = data
        self._send(OP_REQUEST, payload)
        deadline = time.monotonic() + self.timeout
        while True:
            msg = self._recv(deadline)
            op, d = msg.get("op"), msg.get("d", {})
            if op == OP_EVENT:
                self.events.append(d)
            elif op == OP_REQUEST_RESPONSE and d.get("requestId") == request_id:
                status = d.get("requestStatus", {})
                if not status.get("result"):
                    raise RequestFailed(request_type, status)
                return d.get("responseData") or {}

    def wait_event(self, event_type, predicate=lambda data: True, timeout=10.0):
        """Returns the eventData of the first matching event, kept or new."""
        deadline = time.monotonic() + limit(timeout)
        while True:
            for event in list(self.events):
                if event.get("eventType") == event_type and predicate(event.get("eventData", {})):
                    self.events.remove(event)
                    return event.get("eventData", {})
            msg = self._recv(deadline)
            if msg.get("op") == OP_EVENT:
                self.events.append(msg["d"])

    def clear_events(self):
        self.events.clear()
