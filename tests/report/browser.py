"""A small client of headless Chromium over the DevTools protocol, for the browser tests and the
report benchmark: start the browser, open pages, evaluate scripts, click, take screenshots, and
collect every script error and console.error the pages raise.

Needs Debian's `chromium` and the `websocket-client` package."""

from __future__ import annotations

import base64
import itertools
import json
import os
import shutil
import subprocess
import tempfile
import time
import urllib.request

BINARY = shutil.which("chromium") or shutil.which("chromium-browser")
REQUIRED = os.environ.get("SORVANI_REQUIRE_BROWSER") == "1"  # a missing browser fails, not skips


def for_tests(width=1280, height=900, frames=False):
    """A Chromium for a test module's fixture (yield from it): skips the tests without one, or
    fails them when SORVANI_REQUIRE_BROWSER=1. `frames`: attach to out-of-process frames too."""
    import pytest

    try:
        import websocket  # noqa: F401
    except ImportError as exc:
        if REQUIRED:
            pytest.fail(f"SORVANI_REQUIRE_BROWSER=1 but {exc}")
        pytest.skip(str(exc))
    if BINARY is None:
        if REQUIRED:
            pytest.fail("SORVANI_REQUIRE_BROWSER=1 but no chromium on PATH")
        pytest.skip("no chromium on PATH")
    with Chromium(width=width, height=height) as b:
        if frames:
            b.attach_frames()
        yield b


class BrowserError(RuntimeError):
    pass


class Chromium:
    """One headless browser with one page (tab)."""

    def __init__(self, binary=None, width=1280, height=900, timeout=60.0):
        import websocket

        self.binary = binary or BINARY
        if self.binary is None:
            raise BrowserError("no chromium on PATH")
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="sorvani-chromium-")
        # The browser runs without the sanitizer runtime a sanitized test run preloads.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        self.proc = subprocess.Popen(
            [
                self.binary,
                "--headless",
                "--no-sandbox",
                "--disable-gpu",
                "--no-first-run",
                "--no-default-browser-check",
                "--disable-extensions",
                "--disable-background-networking",
                "--mute-audio",
                "--hide-scrollbars",
                f"--user-data-dir={self.profile}",
                "--remote-debugging-port=0",
                "--remote-allow-origins=*",
                f"--window-size={width},{height}",
                "about:blank",
            ],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            env=env,
        )
        try:
            port = self._port()
            deadline = time.monotonic() + timeout
            while True:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10) as resp:
                    pages = [t for t in json.load(resp) if t.get("type") == "page"]
                if pages or time.monotonic() > deadline:
                    break
                time.sleep(0.05)
            if not pages:
                raise BrowserError("chromium opened no page")
            self.ws = websocket.create_connection(
                pages[0]["webSocketDebuggerUrl"], timeout=timeout, suppress_origin=True
            )
        except BaseException:
            self.close()
            raise
        self._ids = itertools.count(1)
        self.events = []
        self.errors = []
        for domain in ("Page", "Runtime", "Log"):
            self.send(f"{domain}.enable")
        self.send("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1, mobile=False)

    def _port(self):
        path = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise BrowserError(f"chromium exited with status {self.proc.returncode}")
            try:
                with open(path, encoding="ascii") as fh:
                    first = fh.readline().strip()
                if first:
                    return int(first)
            except (OSError, ValueError):
                pass
            time.sleep(0.05)
        raise BrowserError("chromium did not open its DevTools port")

    def close(self):
        ws = getattr(self, "ws", None)
        if ws is not None:
            try:
                ws.close()
            except Exception:  # noqa: BLE001 - closing anyway
                pass
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- protocol

    def _event(self, message):
        self.events.append(message)
        method, params = message.get("method"), message.get("params", {})
        if "sessionId" in message and method in (
            "Runtime.exceptionThrown",
            "Runtime.consoleAPICalled",
            "Log.entryAdded",
        ):
            before = len(self.errors)
            self._event({k: v for k, v in message.items() if k != "sessionId"})
            del self.events[-1]
            self.errors[before:] = [f"frame {e}" for e in self.errors[before:]]
            return
        if method == "Runtime.exceptionThrown":
            d = params["exceptionDetails"]
            text = d.get("exception", {}).get("description") or d.get("text")
            self.errors.append(f"error: {text}")
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            args = " ".join(str(a.get("value", a.get("description", ""))) for a in params.get("args", []))
            self.errors.append(f"console: {args}")
        elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
            entry = params["entry"]
            if entry.get("source") not in ("network",) or not entry.get("url", "").endswith("favicon.ico"):
                self.errors.append(f"log: {entry.get('text')}")
        elif method == "Target.attachedToTarget":
            self._attached(params)
        elif method == "Target.detachedFromTarget":
            getattr(self, "frames", {}).pop(params.get("sessionId"), None)
        elif method == "Runtime.executionContextCreated" and "sessionId" not in message:
            context = params["context"]
            if context.get("auxData", {}).get("isDefault") and context["auxData"].get("frameId"):
                self.contexts = getattr(self, "contexts", {})
                self.contexts[context["auxData"]["frameId"]] = context["id"]

    def send(self, method, **params):
        ident = next(self._ids)
        self.ws.send(json.dumps({"id": ident, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get("id") == ident:
                if "error" in message:
                    raise BrowserError(f"{method}: {message['error'].get('message')}")
                return message.get("result", {})
            self._event(message)

    def wait_event(self, method, timeout=None):
        """The params of the next `method` event not yet seen."""
        deadline = time.monotonic() + (timeout or self.timeout)
        for i, message in enumerate(self.events):
            if message.get("method") == method:
                del self.events[: i + 1]
                return message.get("params", {})
        self.events.clear()
        while time.monotonic() < deadline:
            self.ws.settimeout(max(0.01, deadline - time.monotonic()))
            message = json.loads(self.ws.recv())
            self._event(message)
            if message.get("method") == method:
                self.events.clear()
                return message.get("params", {})
        raise BrowserError(f"no {method} within the time allowed")

    # -- pages

    def open(self, url, wait="load"):
        """Opens `url` as a new document (even when only its fragment differs)."""
        self.events.clear()
        self.send("Page.navigate", url="about:blank")
        self.wait_event("Page.loadEventFired")
        self.send("Page.navigate", url=url)
        if wait == "load":
            self.wait_event("Page.loadEventFired")

    def evaluate(self, expression, await_promise=True):
        result = self.send(
            "Runtime.evaluate",
            expression=expression,
            awaitPromise=await_promise,
            returnByValue=True,
            userGesture=True,
            timeout=int(self.timeout * 1000),
        )
        if "exceptionDetails" in result:
            d = result["exceptionDetails"]
            raise BrowserError(d.get("exception", {}).get("description") or d.get("text"))
        return result["result"].get("value")

    def wait_for(self, expression, timeout=None, interval=0.02):
        """The first truthy value of `expression`, polled."""
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            value = self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError(f"still false after {timeout or self.timeout} s: {expression}")
            time.sleep(interval)

    def click(self, selector):
        """Clicks the centre of the first element matching `selector`, as a user would."""
        box = self.evaluate(
            "(() => { const e = document.querySelector(%s); if (!e) return null; e.scrollIntoView({block: 'center'});"
            " const r = e.getBoundingClientRect(); return [r.left + r.width / 2, r.top + r.height / 2]; })()"
            % json.dumps(selector)
        )
        if box is None:
            raise BrowserError(f"nothing matches {selector}")
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1], button="left", clickCount=1)

    def type_text(self, text):
        self.send("Input.insertText", text=text)

    def back(self):
        history = self.send("Page.getNavigationHistory")
        entry = history["entries"][history["currentIndex"] - 1]
        self.send("Page.navigateToHistoryEntry", entryId=entry["id"])

    def screenshot(self, path, full_page=False):
        params = {"format": "png"}
        if full_page:
            metrics = self.send("Page.getLayoutMetrics")
            size = metrics.get("cssContentSize") or metrics["contentSize"]
            params.update(
                captureBeyondViewport=True,
                clip={"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1},
            )
        data = self.send("Page.captureScreenshot", **params)["data"]
        with open(path, "wb") as fh:
            fh.write(base64.b64decode(data))
        return path

    # -- frames the page holds, each evaluated in its own execution context

    def attach_frames(self):
        """Makes the frames of the pages opened from now on reachable by frame(), also those that
        Chromium runs in a process of their own (a sandboxed iframe without allow-same-origin is
        one), and collects their script errors too, marked "frame". Call before open()."""
        self.frames = {}  # session id: target info, of the frames in other processes
        self.contexts = getattr(self, "contexts", {})  # frame id: its main world, of frames in this process
        self.send("Target.setAutoAttach", autoAttach=True, waitForDebuggerOnStart=True, flatten=True)

    def _attached(self, params):
        if params["targetInfo"].get("type") != "iframe" or not hasattr(self, "frames"):
            return
        session = params["sessionId"]
        self.frames[session] = params["targetInfo"]
        # The frame waits for these before it runs a script, so that no error goes unseen; the
        # answers come back as events, unread.
        for method in ("Runtime.enable", "Log.enable", "Runtime.runIfWaitingForDebugger"):
            self.ws.send(json.dumps({"id": next(self._ids), "sessionId": session, "method": method, "params": {}}))

    def frame(self, url="about:srcdoc", timeout=None):
        """The first child frame of the page whose address starts with `url`, once it exists."""
        import websocket

        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            for session, info in list(getattr(self, "frames", {}).items()):
                if info.get("url", "").startswith(url):
                    return Frame(self, info["targetId"], session=session)
            for child in self.send("Page.getFrameTree")["frameTree"].get("childFrames", []):
                frame = child["frame"]
                if frame.get("url", "").startswith(url) and frame["id"] in getattr(self, "contexts", {}):
                    return Frame(self, frame["id"], context=self.contexts[frame["id"]])
            if time.monotonic() > deadline:
                raise BrowserError(f"no frame at {url} within the time allowed")
            self.ws.settimeout(0.05)
            try:
                self._event(json.loads(self.ws.recv()))
            except websocket.WebSocketTimeoutException:
                pass
            finally:
                self.ws.settimeout(self.timeout)


class Frame:
    """One frame of a Chromium page, reached in its own main world: by its DevTools session when
    Chromium runs it in another process, else by its execution context. A page cannot reach
    the document of a sandboxed frame; this can."""

    def __init__(self, browser, frame_id, session=None, context=None):
        self.browser = browser
        self.id = frame_id
        self.session = session
        self.context = context

    def send(self, method, **params):
        b = self.browser
        if self.session is None:
            return b.send(method, **params)
        ident = next(b._ids)
        b.ws.send(json.dumps({"id": ident, "sessionId": self.session, "method": method, "params": params}))
        while True:
            message = json.loads(b.ws.recv())
            if message.get("id") == ident:
                if "error" in message:
                    raise BrowserError(f"{method}: {message['error'].get('message')}")
                return message.get("result", {})
            b._event(message)

    def evaluate(self, expression, await_promise=True):
        where = {} if self.context is None else {"contextId": self.context}
        result = self.send(
            "Runtime.evaluate",
            expression=expression,
            awaitPromise=await_promise,
            returnByValue=True,
            userGesture=True,
            timeout=int(self.browser.timeout * 1000),
            **where,
        )
        if "exceptionDetails" in result:
            d = result["exceptionDetails"]
            raise BrowserError(d.get("exception", {}).get("description") or d.get("text"))
        return result["result"].get("value")

    def wait_for(self, expression, timeout=None, interval=0.02):
        """The first truthy value of `expression` in the frame, polled."""
        deadline = time.monotonic() + (timeout or self.browser.timeout)
        while True:
            value = self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError(f"still false in the frame after {timeout or self.browser.timeout} s: {expression}")
            time.sleep(interval)

    def box(self):
        """The frame's element in the page: its left, top, width and height in the viewport."""
        b = self.browser
        b.send("DOM.getDocument", depth=0)
        owner = b.send("DOM.getFrameOwner", frameId=self.id)
        quad = b.send("DOM.getBoxModel", backendNodeId=owner["backendNodeId"])["model"]["border"]
        return quad[0], quad[1], quad[4] - quad[0], quad[5] - quad[1]
