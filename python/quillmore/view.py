"""``quillmore view``: a live page on Bokeh's server.

The board (quillmore.view_state) is filled by the session loop on the main
thread; the server runs on a thread of its own with its own event loop.
Each page that opens is a Bokeh session with its own document: it starts
from the board's current state, then every ``TICK_MS`` takes what came
since and streams it into its ColumnDataSources (``rollover`` keeps them
at the window's size), the indicators and the slower plots every
``SLOW_TICKS`` ticks when something changed.  Nothing is drawn by our own
JavaScript: Bokeh's client draws what its sources hold.

Bokeh (and SciPy, for the filters) is an optional dependency, imported only
here and in view_state, only by ``quillmore view``.
"""

from __future__ import annotations

import asyncio
import html
import logging
import socket
import threading
from functools import partial
from typing import Any

from .constants import BANDS
from .errors import QuillmoreError, missing_extra
from .view_state import HISTORY_ROWS, LONGEST_WINDOW, NOTCHES, Board, Status, contact, variant

TICK_MS = 40
"""How often a page takes new samples: 25 redraws a second, so at least 20
reach the screen when a tick finds nothing new or two land in one frame."""
SLOW_TICKS = 12
"""Ticks between updates of the indicators and the 1 Hz plots."""
WINDOWS = (2, LONGEST_WINDOW)
SCALES = ("25", "50", "100", "200", "500", "1000", "2000", "5000")
"""Half-heights of the trace's vertical range, in microvolts."""
BAND_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f")


def require_bokeh() -> None:
    try:
        import bokeh  # noqa: F401  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise missing_extra("the live view", "bokeh", "view") from None


class Page:
    """One open page: its document, its sources and how far it has read."""

    def __init__(self, board: Board, doc: Any, notch: int, title: str) -> None:
        from bokeh.layouts import column, row
        from bokeh.models import (ColumnDataSource, DataRange1d, Div, RadioButtonGroup, Range1d, Select, Slider,
                                  Toggle)
        from bokeh.plotting import figure

        self.board = board
        self.doc = doc
        self.window = 10
        self.scale = 200
        self.band_pass = True
        self.notch = notch
        self.points = 0
        self.reset = True
        self.rows = 0
        self.version = -1
        self.ticks = 0

        # Each point carries when its bytes arrived (time.time()), for
        # measuring the way from a byte to its pixel.
        self.trace = ColumnDataSource({"t": [], "y": [], "arrival": []}, name="trace")
        self.history = ColumnDataSource({name: [] for name in ("t", "attention", "meditation", *BANDS)},
                                        name="history")

        self.trace_x = DataRange1d(follow="end", follow_interval=self.window, range_padding=0)
        self.trace_y = Range1d(-self.scale, self.scale)
        trace = figure(height=300, sizing_mode="stretch_width", x_range=self.trace_x, y_range=self.trace_y,
                       title="raw EEG", x_axis_label="stream time (s, the stream's own clock)",
                       y_axis_label="µV", tools="", toolbar_location=None, output_backend="canvas")
        trace.line("t", "y", source=self.trace, line_width=1, color="#1f3b73")

        low, high = board.band
        self.band_toggle = Toggle(label=f"band-pass {low:g}–{high:g} Hz", active=True, name="bandpass", width=170)
        self.notch_choice = RadioButtonGroup(labels=["no notch", "50 Hz notch", "60 Hz notch"],
                                             active=NOTCHES.index(notch), name="notch", width=300)
        self.window_slider = Slider(start=WINDOWS[0], end=WINDOWS[1], step=1, value=self.window,
                                    title="window (s)", name="window", width=220)
        self.scale_choice = Select(options=list(SCALES), value=str(self.scale), title="± µV", name="scale", width=90)
        self.band_toggle.on_change("active", self._switched)
        self.notch_choice.on_change("active", self._switched)
        self.window_slider.on_change("value_throttled", self._switched)
        self.scale_choice.on_change("value", self._scaled)

        derived = " (from the trace, µV²)" if board.derived_bands else ""
        bands = figure(height=240, sizing_mode="stretch_width", y_axis_type="log",
                       title=f"band powers{derived}", x_axis_label="stream time (s)", tools="",
                       toolbar_location=None)
        for name, colour in zip(BANDS, BAND_COLOURS):
            bands.line("t", name, source=self.history, color=colour, legend_label=name)
        bands.legend.label_text_font_size = "8pt"
        bands.legend.spacing = 0
        bands.add_layout(bands.legend[0], "right")
        plots = [bands]
        if not board.derived_bands:
            mind = figure(height=240, sizing_mode="stretch_width", y_range=(0, 100), x_range=bands.x_range,
                          title="attention and meditation", x_axis_label="stream time (s)", tools="",
                          toolbar_location=None)
            mind.line("t", "attention", source=self.history, color="#d62728", legend_label="attention")
            mind.line("t", "meditation", source=self.history, color="#2ca02c", legend_label="meditation")
            mind.legend.label_text_font_size = "8pt"
            mind.add_layout(mind.legend[0], "right")
            plots.append(mind)

        self.heading = Div(text=f"<b>{html.escape(title)}</b>", name="heading")
        self.contact = Div(text="", name="contact", width=260)
        self.figures = Div(text="", name="figures", sizing_mode="stretch_width")
        controls = row(self.band_toggle, self.notch_choice, self.window_slider, self.scale_choice)
        doc.title = "quillmore view"
        doc.add_root(column(row(self.heading, self.contact), controls, trace, row(*plots, sizing_mode="stretch_width"),
                            self.figures, sizing_mode="stretch_width"))
        self.tick()
        doc.add_periodic_callback(self.tick, TICK_MS)

    # ------------------------------------------------------------ controls

    def _switched(self, attr: str, old: Any, new: Any) -> None:
        self.band_pass = bool(self.band_toggle.active)
        self.notch = NOTCHES[self.notch_choice.active or 0]
        self.window = int(self.window_slider.value)
        self.trace_x.follow_interval = self.window
        self.points = 0   # the whole window again, as the switches now filter it
        self.reset = True
        self.tick()

    def _scaled(self, attr: str, old: Any, new: Any) -> None:
        self.scale = int(new)
        self.trace_y.start, self.trace_y.end = -self.scale, self.scale

    # ------------------------------------------------------------ updates

    def tick(self) -> None:
        board = self.board
        most = int(self.window * board.rate)
        with board.lock:
            data, fresh = board.trace.since(self.points, variant(self.band_pass, self.notch), most)
            self.points = board.trace.points
            slow = self.ticks % SLOW_TICKS == 0 and board.version != self.version
            if slow:
                self.version = board.version
                rows, all_rows = board.rows_since(self.rows)
                self.rows = board.rows
                status = board.snapshot()
        self.ticks += 1
        if fresh or self.reset:
            self.trace.data = data
            self.reset = False
        elif len(data["t"]):
            self.trace.stream(data, rollover=most)
        if slow:
            self._history(rows, all_rows)
            self._status(status)

    def _history(self, rows: list[tuple[float, ...]], whole: bool) -> None:
        if not rows and not whole:
            return
        names = ("t", "attention", "meditation", *BANDS)
        columns: dict[str, list[float]] = {name: [row[k] for row in rows] for k, name in enumerate(names)}
        for name in BANDS:   # a log axis has no place for 0
            columns[name] = [value if value > 0 else float("nan") for value in columns[name]]
        if whole:
            self.history.data = columns
        else:
            self.history.stream(columns, rollover=HISTORY_ROWS)

    def _status(self, status: Status) -> None:
        words, colour = contact(status.signal) if not self.board.derived_bands else ("not in this stream", "#888888")
        saturated = "–" if status.saturated is None else f"{status.saturated:.1%}"
        self.contact.text = (f'<span style="background:{colour};color:white;padding:4px 10px;border-radius:4px;'
                             f'font-weight:bold">contact: {words}</span> '
                             f'<span title="share of the last 10 s at full scale">saturated: {saturated}</span>')
        cells = [("stream time", f"{status.stream_time:.1f} s" + (" (end of the input)" if status.finished else ""))]
        if not self.board.derived_bands:
            cells += [
                ("battery", "–" if status.battery is None else f"{status.battery}"),
                ("heart rate (RR)", "–" if status.heart is None else f"{status.heart:.0f} bpm"),
                ("gyroscope x, y, z", "–" if status.gyro is None else ", ".join(map(str, status.gyro))),
            ]
        if status.loss_known:
            cells += [
                ("lost, last 10 s", f"{status.lost_recent} samples"),
                ("lost since the start", f"{status.lost_total} samples ({status.lost_total / self.board.rate:.2f} s)"),
                ("reconnects", f"{status.reconnects}"),
            ]
        else:
            cells += [("lost", "not known for this stream")]
        if status.capture is not None:
            name, size, elapsed = status.capture
            cells.append(("saving bytes", f"{html.escape(name)}: {size:,} bytes, {elapsed:.0f} s"))
        self.figures.text = ('<div style="display:flex;flex-wrap:wrap;gap:6px 28px;font-size:14px">'
                             + "".join(f'<span><span style="color:#666">{key}:</span> <b>{value}</b></span>'
                                       for key, value in cells) + "</div>")


class ViewServer:
    """Bokeh's server on a thread of its own, serving one page at "/" (and
    Bokeh's own scripts) on ``host``; ``port`` 0 takes a free one."""

    def __init__(self, board: Board, host: str, port: int, title: str, notch: int) -> None:
        require_bokeh()
        self._board = board
        self._title = title
        self._notch = notch
        self._host = host
        self._requested = port
        self.port = 0
        self._ready = threading.Event()
        self._failure: BaseException | None = None
        self._loop: Any = None
        self._server: Any = None
        self._thread = threading.Thread(target=self._serve, name="quillmore view server", daemon=True)

    @property
    def url(self) -> str:
        host = "127.0.0.1" if self._host in ("", "0.0.0.0", "::") else self._host
        return f"http://{host}:{self.port}/" if ":" not in host else f"http://[{host}]:{self.port}/"

    def start(self) -> None:
        self._thread.start()
        self._ready.wait()
        if self._failure is not None:
            raise QuillmoreError(f"cannot serve the view on {self._host}:{self._requested}: {self._failure}")

    def _document(self, doc: Any) -> None:
        Page(self._board, doc, self._notch, self._title)

    def _serve(self) -> None:
        try:
            asyncio.set_event_loop(asyncio.new_event_loop())
            from bokeh.application import Application
            from bokeh.application.handlers.function import FunctionHandler
            from bokeh.server.server import Server
            from tornado.ioloop import IOLoop

            # Requests the server turns away (a wrong path: 404) are no
            # news for the terminal; its errors still are.
            logging.getLogger("tornado.access").setLevel(logging.ERROR)
            # --host has been warned about in our words already.
            logging.getLogger("bokeh.server.util").setLevel(logging.ERROR)
            self._loop = IOLoop.current()
            self.port = self._requested or _free_port(self._host)
            loopback = self._host in ("127.0.0.1", "localhost", "::1")
            origins = [f"127.0.0.1:{self.port}", f"localhost:{self.port}"] if loopback else ["*"]
            self._server = Server({"/": Application(FunctionHandler(self._document))}, io_loop=self._loop,
                                  address=self._host, port=self.port, allow_websocket_origin=origins)
            self._server.start()
        except BaseException as error:   # reported on the main thread
            self._failure = error
            self._ready.set()
            return
        self._ready.set()
        self._loop.start()

    def stop(self) -> None:
        if self._loop is None or not self._thread.is_alive():
            return

        def shut() -> None:
            self._server.stop()
            self._loop.stop()

        self._loop.add_callback(shut)
        self._thread.join(10)


def _free_port(host: str) -> int:
    """A port that nothing listens on at ``host`` now."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        port: int = probe.getsockname()[1]
        return port
