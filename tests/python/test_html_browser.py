"""The report page's chart script in a real browser (headless Chromium).

A test copy of the page gets two extra scripts: one before the chart script that
records the canvas calls, one after it that reads the canvas pixels, fires a burst of
resize events and writes its findings into the DOM, which Chromium's --dump-dom prints.
"""

import html
import json
import math
import os
import re
import shutil
import subprocess

import pytest

from brenvale import diffreport as dr

GROWTH = "#ec6d86"
SHRINK = "#61c98f"
MESSAGE = "No diff chart entries available."

RECORDER = """<script>
window.__bvCalls = [];
(function () {
  var proto = CanvasRenderingContext2D.prototype;
  var fillText = proto.fillText, fillRect = proto.fillRect;
  proto.fillText = function (text, x, y) {
    window.__bvCalls.push({op: "fillText", text: String(text), x: x, y: y, style: String(this.fillStyle)});
    return fillText.apply(this, arguments);
  };
  proto.fillRect = function (x, y, w, h) {
    window.__bvCalls.push({op: "fillRect", x: x, y: y, w: w, h: h, style: String(this.fillStyle)});
    return fillRect.apply(this, arguments);
  };
})();
</script>
"""

PROBE = """<script>
(function () {
  var canvas = document.getElementById("diff-impact-chart");
  var colours = {growth: [0xec, 0x6d, 0x86], shrink: [0x61, 0xc9, 0x8f]};
  // Rectangles of exactly the bar colours, fully opaque: consecutive bitmap rows with
  // the same runs form one block.
  function scan() {
    var w = canvas.width, h = canvas.height;
    var data = canvas.getContext("2d").getImageData(0, 0, w, h).data;
    var blocks = [], prev = null, ink = 0;
    function colourAt(x, y) {
      var i = (y * w + x) * 4;
      if (data[i + 3] !== 255) return null;
      for (var name in colours) {
        var c = colours[name];
        if (data[i] === c[0] && data[i + 1] === c[1] && data[i + 2] === c[2]) return name;
      }
      return null;
    }
    for (var y = 0; y < h; y++) {
      var runs = [];
      for (var x = 0; x < w;) {
        var name = colourAt(x, y);
        if (!name) {
          if (data[(y * w + x) * 4 + 3]) ink++;
          x++;
          continue;
        }
        var x0 = x;
        while (x < w && colourAt(x, y) === name) x++;
        runs.push([name, x0, x]);
      }
      var key = JSON.stringify(runs);
      if (runs.length && key === prev) blocks[blocks.length - 1].y1 = y + 1;
      else if (runs.length) blocks.push({y0: y, y1: y + 1, runs: runs});
      prev = runs.length ? key : null;
    }
    return {blocks: blocks, ink: ink};
  }
  function write(findings) {
    var pre = document.createElement("pre");
    pre.id = "bv-test-findings";
    pre.textContent = JSON.stringify(findings);
    document.body.appendChild(pre);
  }
  var findings = {
    dpr: window.devicePixelRatio,
    title: document.title,
    bitmap: [canvas.width, canvas.height],
    clientWidth: canvas.clientWidth,
    calls: window.__bvCalls.slice(),
    pixels: scan()
  };
  // A burst of resize events, the second part still inside the 80 ms window of the
  // first: exactly one redraw must follow, 80 ms after the last event.
  var redraws = 0, original = window.drawDiffChart;
  window.drawDiffChart = function () {
    redraws++;
    return original.apply(this, arguments);
  };
  function burst(n) {
    for (var i = 0; i < n; i++) window.dispatchEvent(new Event("resize"));
  }
  burst(10);
  setTimeout(function () { burst(5); }, 40);
  setTimeout(function () { findings.redrawsSoon = redraws; }, 100);
  setTimeout(function () {
    findings.redraws = redraws;
    findings.pixelsAfterRedraw = scan();
    write(findings);
  }, 600);
})();
</script>
"""


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable"):
        path = shutil.which(name)
        if path:
            return path
    return None


@pytest.fixture(scope="module")
def chromium():
    path = find_chromium()
    if path is None:
        message = "no Chromium found; install Debian's package: apt-get install -y chromium"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)
    return path


@pytest.fixture
def run_page(chromium, tmp_path):
    def run(page, *, scale=1, width=1280, island=None, extra_head=""):
        if island is not None:
            start = page.index('type="application/json">') + len('type="application/json">')
            page = page[:start] + island + page[page.index("</script>", start):]
        test_copy = page.replace("<head>\n", "<head>\n" + RECORDER + extra_head, 1)
        cut = test_copy.rindex("</body>")
        test_copy = test_copy[:cut] + PROBE + test_copy[cut:]
        path = tmp_path / "page.html"
        path.write_text(test_copy, encoding="utf-8", errors="surrogatepass")
        cmd = [
            chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
            "--no-first-run", f"--user-data-dir={tmp_path / 'profile'}", f"--window-size={width},1200",
            f"--force-device-scale-factor={scale}", "--virtual-time-budget=3000", "--dump-dom", path.as_uri(),
        ]
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
        m = re.search(r'<pre id="bv-test-findings">(.*?)</pre>', proc.stdout, re.S)
        assert m, f"no findings from the browser:\n{proc.stdout[-2000:]}\n{proc.stderr[-2000:]}"
        return json.loads(html.unescape(m.group(1)))

    return run


def expected_bars(entries, logical_width, dpr):
    """The bar rectangles the chart rules give, in bitmap pixels."""
    height, top = 280, 14
    center = math.floor(logical_width * 0.56)
    row = max(22, math.floor((height - top - 8) / len(entries)))
    bar = max(10, math.floor(row * 0.5))
    max_abs = max([1] + [abs(e["delta"]) for e in entries])
    rects = []
    for i, e in enumerate(entries):
        d = e["delta"]
        w = max(2, math.floor(math.floor(logical_width * 0.35) * abs(d) / max_abs))
        x = center if d > 0 else center - w
        y = top + i * row
        rects.append(("growth" if d > 0 else "shrink", x * dpr, (x + w) * dpr, y * dpr, (y + bar) * dpr))
    return center, row, bar, rects


def blocks_as_rects(pixels):
    out = []
    for b in pixels["blocks"]:
        assert len(b["runs"]) == 1, b  # one bar per row band
        name, x0, x1 = b["runs"][0]
        out.append((name, x0, x1, b["y0"], b["y1"]))
    return out


def js_label(label):
    chars = list(label)
    return "".join(chars[:25]) + "\u2026" if len(chars) > 28 else label


def js_fixed0(d):
    """Number.prototype.toFixed(0): the sign apart, halves round up."""
    return ("-" if d < 0 else "") + str(math.floor(abs(d) + 0.5))


def realistic_payload():
    regs = [
        {"kind": "symbol", "name": "z_impl_k_sleep", "delta": 4521, "status": "grew"},
        {"kind": "section", "name": ".text", "delta": 2048.0, "status": "grew"},
        {"kind": "symbol", "name": "spectrum_fft_radix4_butterfly_stage", "delta": 1536.4, "status": "added"},
        {"kind": "symbol", "name": "</script><!-- 'é' \U0001f600", "delta": 700, "status": "added"},
    ]
    reds = [
        {"kind": "symbol", "name": "log_backend_uart", "delta": -1280, "status": "shrank"},
        {"kind": "section", "name": ".rodata", "delta": -512, "status": "shrank"},
        {"kind": "symbol", "name": "tiny", "delta": -0.2, "status": "shrank"},
    ]
    return {
        "status": "ok", "flash_delta_bytes": 4521, "ram_delta_bytes": -1280,
        "top_regressions": regs, "top_reductions": reds,
        "regions": [{"kind": "region", "name": "FLASH", "delta": 4521, "current": 262144, "baseline": 257623}],
        "current_build": {"path": "build/zephyr.map", "target_name": "nrf52840dk", "total_flash": 262144},
        "baseline_build": {"path": "base/zephyr.map", "target_name": "nrf52840dk", "total_flash": 257623},
    }


class TestChartInBrowser:
    @pytest.mark.parametrize("scale", [1, 2])
    def test_bars_around_the_axis(self, run_page, scale):
        payload = realistic_payload()
        entries = dr._build_diff_chart_entries(payload["top_regressions"], payload["top_reductions"])
        f = run_page(dr.render_diff_html(payload), scale=scale)
        assert f["dpr"] == scale
        logical = max(320, f["clientWidth"])
        # a bitmap of device pixels: twice the logical size at a ratio of 2
        assert f["bitmap"] == [logical * scale, 280 * scale]
        center, row, bar, rects = expected_bars(entries, logical, scale)
        # exact-colour rectangles with edges on device pixels: growth red right of the
        # axis, shrinkage green left of it, in data order
        assert blocks_as_rects(f["pixels"]) == rects
        for name, x0, x1, _, _ in rects:
            assert (x0 >= center * scale) if name == "growth" else (x1 <= center * scale)
        texts = [c for c in f["calls"] if c["op"] == "fillText"]
        labels = texts[0::2]
        values = texts[1::2]
        assert [t["text"] for t in labels] == [js_label(e["label"]) for e in entries]
        assert [(t["x"], t["y"]) for t in labels] == [(8, 14 + i * row + bar) for i in range(len(entries))]
        assert [t["text"] for t in values] == [("+" if e["delta"] > 0 else "") + js_fixed0(e["delta"]) + " B"
                                               for e in entries]
        assert values[-1]["text"] == "-0 B"
        assert all(t["style"] == "#e8f0ff" for t in texts)

    def test_single_redraw_after_a_burst_of_resizes(self, run_page):
        f = run_page(dr.render_diff_html(realistic_payload()))
        assert f["redrawsSoon"] == 0
        assert f["redraws"] == 1
        assert f["pixelsAfterRedraw"]["blocks"] == f["pixels"]["blocks"]

    @pytest.mark.parametrize("island", [None, "", "not json", "[1,", "{}", "null", "42", '"text"'])
    def test_empty_or_malformed_data_shows_the_message(self, run_page, island):
        f = run_page(dr.render_diff_html({}), island=island)
        assert [c for c in f["calls"] if c["op"] == "fillRect"] == []
        assert f["calls"] == [{"op": "fillText", "text": MESSAGE, "x": 12, "y": 28, "style": "#a7b6cc"}]
        assert f["pixels"]["blocks"] == [] and f["pixels"]["ink"] > 0

    def test_narrow_canvas_keeps_the_minimum_width(self, run_page):
        payload = {"top_regressions": [{"kind": "symbol", "name": "a", "delta": 10}],
                   "top_reductions": [{"kind": "symbol", "name": "b", "delta": -5}]}
        entries = dr._build_diff_chart_entries(payload["top_regressions"], payload["top_reductions"])
        narrow = "<style>canvas { width: 200px !important; }</style>\n"
        f = run_page(dr.render_diff_html(payload), scale=2, extra_head=narrow)
        assert f["clientWidth"] == 200
        assert f["bitmap"] == [640, 560]
        _, row, bar, rects = expected_bars(entries, 320, 2)
        assert (row, bar) == (129, 64)
        assert blocks_as_rects(f["pixels"]) == rects

    def test_single_and_ten_entry_layouts(self, run_page):
        one = {"top_regressions": [{"kind": "k", "name": "x" * 28, "delta": 3}]}
        f = run_page(dr.render_diff_html(one))
        bars = [c for c in f["calls"] if c["op"] == "fillRect"]
        assert [(b["y"], b["h"]) for b in bars] == [(14, 129)]  # row 258, bar 129
        assert f["calls"][1]["text"] == "k:" + "x" * 23 + "\u2026"  # 30 characters: cut to 25 and an ellipsis
        regs = [{"kind": "k", "name": str(i), "delta": 100 - i} for i in range(6)]
        reds = [{"kind": "k", "name": str(i), "delta": -(50 - i)} for i in range(6)]
        f = run_page(dr.render_diff_html({"top_regressions": regs, "top_reductions": reds}))
        bars = [c for c in f["calls"] if c["op"] == "fillRect"]
        assert len(bars) == 10
        assert [b["y"] for b in bars] == [14 + 25 * i for i in range(10)] and {b["h"] for b in bars} == {12}

    def test_zero_delta_draws_a_small_shrinkage_bar(self, run_page):
        # only a hand-made island can carry a zero delta: the page itself leaves them out
        island = json.dumps([{"label": "k:big", "delta": -400}, {"label": "k:zero", "delta": 0},
                             {"label": "", "delta": "x"}])
        f = run_page(dr.render_diff_html({}), island=island)
        bars = [c for c in f["calls"] if c["op"] == "fillRect"]
        center = math.floor(max(320, f["clientWidth"]) * 0.56)
        assert [(b["x"], b["w"], b["style"]) for b in bars[1:]] == [(center - 2, 2, SHRINK)] * 2
        texts = [c["text"] for c in f["calls"] if c["op"] == "fillText"]
        assert texts == ["k:big", "-400 B", "k:zero", "0 B", "unknown", "0 B"]

    def test_hostile_text_stays_inside_the_page(self, run_page):
        payload = realistic_payload()
        evil = "</script><script>document.title='pwned'</script><!--"
        payload["status"] = evil
        payload["symbols"] = [evil, {"name": evil}]
        payload["top_regressions"][0]["name"] = evil
        f = run_page(dr.render_diff_html(payload))
        texts = [c["text"] for c in f["calls"] if c["op"] == "fillText"]
        assert js_label("symbol:" + evil) in texts
        assert len([c for c in f["calls"] if c["op"] == "fillRect"]) == 7
        assert f["title"] == "Brenvale Diff Report"
