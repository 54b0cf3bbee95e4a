"""Time to first draw of the layout page for the large generated contract.

    python bench/layout_page.py [--repeat N] [--quick] [--keep DIR]

Builds the contract of the large model of bench/generate.py (200,000 symbols,
2,000 sections, both relationship views on) with the direct JSON path, writes
its layout page, and opens the page from file:// in headless Chromium
(Selenium with Debian's chromedriver).  Prints, as medians of N loads:

* first draw: performance.now() when the page has drawn its region bars, the
  first view (the script sets the mark "bv-first-draw" there), measured from
  the start of navigation, so it includes reading the file, parsing the HTML
  and the JSON island;
* all views: the same when the last view (relationship graph) is drawn;
* the longest and the 90th percentile frame while the page scrolls from top
  to bottom and while a range list scrolls through all its rows, a screen or
  more per frame (frames are software-rendered here, and share the cores).

--quick uses the medium model.  Target: first draw under 2 s for the large one.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import generate  # noqa: E402
from brenvale import plotspec  # noqa: E402
from brenvale.layout_page import render_layout_page_json  # noqa: E402

SCROLL_PROBE = """
const done = arguments[arguments.length - 1];
const list = document.querySelector(".bv-range-list");
let frames = [], last = performance.now(), step = 0;
const pageSteps = 60, listSteps = 60;
const pageEnd = document.documentElement.scrollHeight - innerHeight;
const listEnd = list ? list.scrollHeight - list.clientHeight : 0;
function tick(now) {
  frames.push(now - last);
  last = now;
  step++;
  if (step <= pageSteps) window.scrollTo(0, pageEnd * step / pageSteps);
  else if (step <= pageSteps + listSteps && list) {
    window.scrollTo(0, 0);
    list.scrollTop = listEnd * (step - pageSteps) / listSteps;
  } else {
    const sorted = frames.slice(1).sort((a, b) => a - b);
    done([sorted[sorted.length - 1], sorted[Math.floor(sorted.length * 0.9)]]);
    return;
  }
  requestAnimationFrame(tick);
}
requestAnimationFrame(tick);
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--keep", metavar="DIR", help="keep the page in DIR")
    args = parser.parse_args()

    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.ui import WebDriverWait

    size = "medium" if args.quick else "large"
    model, kw = generate.contract_inputs(size)
    started = time.perf_counter()
    contract = plotspec.build_visualization_contract_json(model, **kw).decode("utf-8", "surrogatepass")
    page = render_layout_page_json(contract)
    build_s = time.perf_counter() - started
    folder = Path(args.keep) if args.keep else Path(tempfile.mkdtemp(prefix="brenvale-layout-"))
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / "layout.html"
    path.write_text(page, encoding="utf-8")
    print(f"model '{size}': {len(model.symbols):,} symbols, {len(model.sections):,} sections; "
          f"contract {len(contract.encode()) / 1e6:.1f} MB of JSON, page {path.stat().st_size / 1e6:.1f} MB, "
          f"built in {build_s * 1000:.0f} ms")

    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,1000"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                              options=options)
    driver.set_script_timeout(60)
    first, ready, frames = [], [], []
    try:
        for _ in range(args.repeat):
            driver.get("about:blank")
            driver.get(path.as_uri())
            WebDriverWait(driver, 60).until(lambda d: d.execute_script("return window.__bvReady === true"))
            first.append(driver.execute_script("return window.__bvFirstDrawMs"))
            ready.append(driver.execute_script("return performance.getEntriesByName('bv-ready')[0].startTime"))
            frames.append(driver.execute_async_script(SCROLL_PROBE))
    finally:
        driver.quit()
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)
    median_first = statistics.median(first)
    print(f"{'time to first draw (region bars)':<44} {median_first:8.0f} ms   target < 2000 ms "
          f"({'met' if median_first < 2000 else 'MISSED'})")
    print(f"{'all views drawn':<44} {statistics.median(ready):8.0f} ms")
    print(f"{'longest frame while scrolling':<44} {statistics.median(f[0] for f in frames):8.0f} ms")
    print(f"{'90th percentile frame while scrolling':<44} {statistics.median(f[1] for f in frames):8.0f} ms")
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"median of {args.repeat} loads in headless Chromium, {os.cpu_count()} cores, load average {load:.1f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
