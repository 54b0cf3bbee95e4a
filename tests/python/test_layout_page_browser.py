"""The layout page in a real browser: headless Chromium driven by Selenium.

One browser session serves the whole module.  Each page is a file written
by the package itself and opened from file://, as a user would open it.
"""

import copy
import json
import os
import shutil

import pytest

from brenvale.layout_page import render_layout_page
from brenvale.pipeline import build_contract, compare_files, load_input
from brenvale.records import IssueCategory, IssueSeverity
from brenvale.samples import BASELINE_SAMPLE, sample_path

MAPS = os.path.join(os.path.dirname(__file__), "data", "maps")
BAR_PAD = 8  # the page's margin above and below a bar, in CSS pixels


def _need(message):
    if os.environ.get("CI"):
        pytest.fail(message)
    pytest.skip(message)


@pytest.fixture(scope="module")
def driver():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        _need("selenium is missing: pip install selenium (it is in the test extras)")
    chromedriver = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not os.path.exists(chromedriver) or not (shutil.which("chromium") or shutil.which("chromium-browser")):
        _need("chromium and chromium-driver are missing: apt-get install -y chromium chromium-driver")
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,1000", "--force-device-scale-factor=1"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    session = webdriver.Chrome(service=Service(chromedriver), options=options)
    try:
        yield session
    finally:
        session.quit()


@pytest.fixture(scope="module")
def pages(tmp_path_factory):
    """Write a contract's page once; open() loads it and waits for every view."""
    folder = tmp_path_factory.mktemp("layout")
    written = {}

    def page_for(name, contract):
        if name not in written:
            path = folder / f"{name}.html"
            path.write_text(render_layout_page(contract), encoding="utf-8")
            written[name] = path.as_uri()
        return written[name]

    return page_for


def open_page(driver, url, width=1280):
    driver.set_window_size(width, 1000)
    driver.get_log("browser")  # drop what earlier pages logged
    driver.get(url)
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(driver, 20).until(lambda d: d.execute_script("return window.__bvReady === true"))


def console_errors(driver):
    return [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]


def sample_contract():
    current, baseline = str(sample_path()), str(sample_path(BASELINE_SAMPLE))
    build = load_input(current)
    _, regressions = compare_files(load_input(baseline), build, baseline_path=baseline, current_path=current)
    return build_contract(build, sankey=True, graph=True, regressions=regressions)


def map_contract(name):
    return build_contract(load_input(os.path.join(MAPS, name)), sankey=True, graph=True)


CONTRACTS = {
    "sample": sample_contract,
    "tfm": lambda: map_contract("nrf9161-tfm-secure.map"),
    "teensy": lambda: map_contract("imxrt1062-teensy41-dart.map"),
}


@pytest.fixture(scope="module")
def contracts():
    return {name: make() for name, make in CONTRACTS.items()}


def expected_box(region, range_):
    """Where the page must draw a range in its region's bar (whole-region view)."""
    height = region["render_hints"]["preferred_height_px"]
    span = region["end_address"] - region["start_address"] + 1
    bottom = BAR_PAD + height

    def y_of(address):
        return min(bottom, max(BAR_PAD, bottom - (address - region["start_address"]) / span * height))

    low, high = y_of(range_["start_address"]), y_of(range_["end_address"] + 1)
    h = max(1, low - high)
    return min(high, bottom - h), h


def known_ranges(contract):
    """Three ranges of a contract: its three largest sections, in different regions where possible."""
    sections = [(region_index, range_index, range_)
                for region_index, region in enumerate(contract["regions"])
                for range_index, range_ in enumerate(region["ranges"]) if not range_["is_synthetic"]]
    sections.sort(key=lambda item: -item[2]["size_bytes"])
    chosen, regions_used = [], set()
    for item in sections:
        if item[0] not in regions_used:
            chosen.append(item)
            regions_used.add(item[0])
    chosen += [item for item in sections if item not in chosen]
    return chosen[:3]


PIXEL_AT = """
const [ri, x, y] = arguments;
const canvas = window.__bvState.regions[ri].canvas;
const dpr = window.devicePixelRatio || 1;
const d = canvas.getContext("2d").getImageData(Math.floor(x * dpr), Math.floor(y * dpr), 1, 1).data;
return [d[0], d[1], d[2]];
"""

COLOUR_OF = """
const probe = document.createElement("span");
probe.style.color = getComputedStyle(document.documentElement).getPropertyValue(arguments[0]);
document.body.appendChild(probe);
const rgb = getComputedStyle(probe).color.match(/\\d+/g).slice(0, 3).map(Number);
probe.remove();
return rgb;
"""


def range_colour_token(region, range_):
    if range_["is_synthetic"]:
        return "--range-gap" if range_.get("is_inter_section_gap") else "--range-" + range_["kind"]
    if range_["execution_region"] not in (None, region["name"]):
        return "--range-load-image"  # the stored copy of a section that runs elsewhere
    if range_["kind"] != "section":
        return "--range-" + range_["kind"]
    return "--range-" + (range_["role"] or "section")


@pytest.mark.parametrize("name", list(CONTRACTS))
class TestRealContracts:
    def test_known_ranges_are_drawn_at_their_address_spans(self, driver, pages, contracts, name):
        contract = contracts[name]
        open_page(driver, pages(name, contract))
        chosen = known_ranges(contract)
        assert len(chosen) == 3
        for region_index, range_index, range_ in chosen:
            region = contract["regions"][region_index]
            box = driver.execute_script(
                "return window.__bvState.regions[arguments[0]].geometry[arguments[1]]", region_index, range_index)
            y, h = expected_box(region, range_)
            assert box["y"] == pytest.approx(y, abs=1e-6) and box["h"] == pytest.approx(h, abs=1e-6), range_["id"]
            if h >= 3:  # a sliver shares its pixel row with its neighbours
                colour = driver.execute_script(PIXEL_AT, region_index, box["x"] + box["w"] / 2, y + h / 2)
                expected = driver.execute_script(COLOUR_OF, range_colour_token(region, range_))
                # Within a few levels: the canvas may blend a boundary tick into the sampled pixel.
                assert max(abs(a - b) for a, b in zip(colour, expected)) <= 4, (range_["id"], colour, expected)
        assert console_errors(driver) == []

    def test_clicking_a_range_opens_its_panel(self, driver, pages, contracts, name):
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By

        contract = contracts[name]
        open_page(driver, pages(name, contract))
        region_index, range_index, range_ = known_ranges(contract)[0]
        box = driver.execute_script(
            "return window.__bvState.regions[arguments[0]].geometry[arguments[1]]", region_index, range_index)
        canvas = driver.find_elements(By.CSS_SELECTOR, "canvas.bv-bar")[region_index]
        driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", canvas)
        ActionChains(driver).move_to_element_with_offset(
            canvas, int(box["x"] + box["w"] / 2 - canvas.size["width"] / 2),
            int(box["y"] + box["h"] / 2 - canvas.size["height"] / 2)).click().perform()
        panel = driver.find_element(By.ID, "bv-panel")
        assert panel.is_displayed()
        assert driver.find_element(By.ID, "bv-panel-title").text == range_["label"]
        assert range_["section_name"] in panel.text
        assert driver.execute_script("return document.activeElement.id") == "bv-panel-close"
        driver.find_element(By.TAG_NAME, "body").send_keys("\ue00c")  # Escape
        assert not panel.is_displayed()
        assert console_errors(driver) == []

    def test_treemap_draws_and_drills_down(self, driver, pages, contracts, name):
        from selenium.webdriver.common.by import By

        contract = contracts[name]
        open_page(driver, pages(name, contract))
        top = [n for n in contract["ownership"]["treemap_hierarchy"] if n["value"] > 0]
        treemap = driver.find_element(By.ID, "bv-treemap")
        driver.execute_script("arguments[0].scrollIntoView()", treemap)
        tiles = treemap.find_elements(By.CSS_SELECTOR, ".bv-tile")
        assert len(tiles) == len(top)
        # squarified tiles fill the area and the largest comes first
        area = driver.execute_script("""
            const host = document.getElementById("bv-treemap");
            return [...host.querySelectorAll(".bv-tile")].reduce((s, t) => s + t.offsetWidth * t.offsetHeight, 0)
              / (host.clientWidth * host.clientHeight);""")
        assert area == pytest.approx(1.0, abs=0.03)
        first = treemap.find_elements(By.CSS_SELECTOR, "button.bv-tile")[0]
        assert first.get_attribute("aria-label").startswith(top[0]["name"] + ", ")
        first.click()
        assert treemap.get_attribute("data-level") == "1"
        objects = [n for n in top[0]["children"] if n["value"] > 0]
        assert len(treemap.find_elements(By.CSS_SELECTOR, ".bv-tile")) == len(objects)
        assert driver.find_element(By.ID, "bv-treemap-path").text.endswith(top[0]["name"])
        treemap.find_elements(By.CSS_SELECTOR, "button.bv-tile")[0].click()
        assert treemap.get_attribute("data-level") == "2"
        assert len(treemap.find_elements(By.CSS_SELECTOR, ".bv-tile.is-leaf")) == len(objects[0]["children"])
        up = driver.find_element(By.ID, "bv-treemap-up")
        up.click()
        up.click()
        assert treemap.get_attribute("data-level") == "0" and not up.is_enabled()
        assert console_errors(driver) == []


def test_views_follow_the_contract(driver, pages, contracts):
    from selenium.webdriver.common.by import By

    contract = contracts["sample"]
    open_page(driver, pages("sample", contract))
    assert contract["diff"]["status"] == "ok"
    growth = driver.find_element(By.CSS_SELECTOR, '[data-list="top_growth"]').text
    assert [row["name"] for row in contract["diff"]["top_growth"]] == [line.split(" ")[0] for line in growth.splitlines()]
    sankey = contract["relationships"]["sankey"]
    assert len(driver.find_elements(By.CSS_SELECTOR, "#bv-sankey path")) == len(sankey["links"])
    graph_text = driver.find_element(By.ID, "bv-graph").text
    assert ("truncated" in graph_text) and f"links count {contract['relationships']['graph']['stats']['links_count']}" in graph_text
    # the flash region's figures, as the contract gives them
    flash = driver.find_element(By.ID, "bv-region-0").text
    assert "Used 22,980 B" in flash and "0x000FFFFF" in flash and "Utilisation 2.19%" in flash
    # zooming to the sections keeps every range at its address span, on the new scale
    driver.find_element(By.CSS_SELECTOR, '[aria-label="Zoom to the span the sections occupy of region FLASH"]').click()
    region = contract["regions"][0]
    occupied = [r for r in region["ranges"] if not (r["is_synthetic"] and r["kind"] == "free")]
    lo, hi = min(r["start_address"] for r in occupied), max(r["end_address"] + 1 for r in occupied)
    assert driver.execute_script("return window.__bvState.regions[0].view") == {"lo": lo, "hi": hi}
    height = region["render_hints"]["preferred_height_px"]
    for index, range_ in enumerate(region["ranges"]):
        box = driver.execute_script("return window.__bvState.regions[0].geometry[arguments[0]]", index)
        if range_["start_address"] >= hi or range_["end_address"] < lo:
            assert box is None  # wholly outside the view: not drawn
            continue
        top = BAR_PAD + height - (min(range_["end_address"] + 1, hi) - lo) / (hi - lo) * height
        bottom = BAR_PAD + height - (max(range_["start_address"], lo) - lo) / (hi - lo) * height
        h = max(1, bottom - top)
        assert box["y"] == pytest.approx(min(top, BAR_PAD + height - h)) and box["h"] == pytest.approx(h)
    driver.find_elements(By.CSS_SELECTOR, "canvas.bv-bar")[0].send_keys("0")
    assert driver.execute_script("return window.__bvState.regions[0].view") == {
        "lo": region["start_address"], "hi": region["end_address"] + 1}
    # a table sorts by the column asked for, both ways
    button = driver.find_element(By.CSS_SELECTOR, '[aria-label="Sort components by RAM B"]')
    # Clicked from script: on a loaded machine a pointer click can land while
    # the page is still scrolling the button into view, and miss it.
    driver.execute_script("arguments[0].click()", button)
    assert button.find_element(By.XPATH, "..").get_attribute("aria-sort") == "descending"
    cells = driver.find_elements(By.CSS_SELECTOR, '[data-table="by_component"] tbody tr td:nth-child(3)')
    values = [int(c.text.replace(",", "")) for c in cells]
    assert values == sorted(values, reverse=True)
    driver.execute_script("arguments[0].click()", button)
    cells = driver.find_elements(By.CSS_SELECTOR, '[data-table="by_component"] tbody tr td:nth-child(3)')
    assert [int(c.text.replace(",", "")) for c in cells] == sorted(values)
    assert button.find_element(By.XPATH, "..").get_attribute("aria-sort") == "ascending"
    # a policy issue links to the range it affects, which opens its panel
    link = driver.find_element(By.CSS_SELECTOR, '[data-issue-id="stacks-in-noinit"] .bv-links button')
    driver.execute_script("arguments[0].click()", link)  # as the sort buttons above
    assert driver.find_element(By.ID, "bv-panel-title").text == "noinit"
    assert console_errors(driver) == []

    plain = map_contract("nrf9161-tfm-secure.map")
    plain["relationships"] = {}
    open_page(driver, pages("plain", plain))
    assert "not_requested" in driver.find_element(By.ID, "bv-diff").text
    assert "no Sankey view" in driver.find_element(By.ID, "bv-sankey").text


def test_load_image_links_to_its_running_copy(driver, pages, contracts):
    from selenium.webdriver.common.by import By

    contract = copy.deepcopy(contracts["sample"])
    flash = contract["regions"][0]
    ram = contract["regions"][1]
    running = next(r for r in ram["ranges"] if r["section_name"] == "datas")
    lma = running["panel"]["section"]["lma"]
    image = dict(running, id=f"FLASH:datas:{lma}", label="datas (load image)", start_address=lma,
                 end_address=lma + running["size_bytes"] - 1)
    flash["ranges"] = sorted(flash["ranges"] + [image], key=lambda r: (r["start_address"], r["end_address"], r["id"]))
    open_page(driver, pages("load-image", contract))
    index = flash["ranges"].index(image)
    row = driver.find_element(By.CSS_SELECTOR, f'#bv-region-0 [data-range-id="FLASH:datas:{lma}"]')
    driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", row)
    row.click()
    assert "it runs in RAM" in driver.find_element(By.ID, "bv-panel-body").text
    colour = driver.execute_script("return window.__bvState.colours[arguments[0]]", "load-image")
    assert colour == driver.execute_script("return getComputedStyle(document.documentElement)"
                                           ".getPropertyValue('--range-load-image').trim()")
    assert driver.execute_script("return window.__bvState.regions[0].geometry[arguments[0]] !== undefined", index)
    driver.find_element(By.ID, "bv-running-copy").click()
    assert driver.execute_script("return window.__bvState.selected") == {"ri": 1, "xi": ram["ranges"].index(running)}
    assert driver.find_element(By.ID, "bv-panel-title").text == "datas"
    assert console_errors(driver) == []


HOSTILE = [
    "</script><script>window.__pwned = 1</script>",
    "<!--<script>window.__pwned = 2</script>",
    "<img src=x onerror=\"window.__pwned = 3\">",
    "&amp; &lt;b&gt; \u2028 \U0001f600",
]


def hostile_contract():
    from brenvale import plotspec
    from brenvale.analysis import padding_waste, region_usage
    from brenvale.records import (ComponentGroup, Issue, MemoryRegion, NormalizedBuildModel, RegionCategory,
                                  SectionPlacement, SymbolEntry)

    sections = [SectionPlacement(name, "FLASH", "FLASH", 0x100 * (i + 1), 0x100 * (i + 1), 0x80, 0, 0)
                for i, name in enumerate(HOSTILE)]
    symbols = [SymbolEntry(name=name, demangled_name=None, address=0x100 * (i + 1), size=0x40, section_name=name,
                           object_file=name, archive=name, source_file=None, compilation_unit=None)
               for i, name in enumerate(HOSTILE)]
    sections.append(SectionPlacement(".data.big", "TINY", "TINY", 0x2000, 0x2000, 0x80, 0, 0))
    regions = [MemoryRegion("FLASH", 0, 0xFFF, 0x1000, RegionCategory.FLASH),
               MemoryRegion("TINY", 0x2000, 0x200F, 0x10, RegionCategory.RAM)]
    model = NormalizedBuildModel(sections, symbols, regions, {"stack_sections": [], "heap_sections": []})
    issues = [Issue(HOSTILE[0], HOSTILE[1], HOSTILE[2], IssueSeverity.WARNING, IssueCategory.POLICY, HOSTILE)]
    return plotspec.build_visualization_contract(
        model, region_usage=region_usage(model), padding_waste=padding_waste(model),
        components=[ComponentGroup(HOSTILE[2], HOSTILE, 1, 1, [])], issues=issues, regressions={},
        features={"sankey_enabled": True, "relationship_graph_enabled": True})


def test_hostile_names_are_shown_as_text(driver, pages):
    from selenium.webdriver.common.by import By

    contract = hostile_contract()
    open_page(driver, pages("hostile", contract))
    assert driver.execute_script("return window.__pwned") is None
    assert driver.find_elements(By.CSS_SELECTOR, "main img, aside img") == []
    names = driver.execute_script(
        "return [...document.querySelectorAll('#bv-region-0 .bv-range-row .name')].map(n => n.textContent)")
    assert [n for n in names if n in HOSTILE] == HOSTILE
    issue = driver.find_element(By.CSS_SELECTOR, ".bv-issue")
    assert driver.execute_script("return arguments[0].querySelector('h3').lastChild.textContent", issue) == HOSTILE[1]
    tiles = driver.execute_script("return [...document.querySelectorAll('#bv-treemap .bv-tile')].map(t => t.getAttribute('aria-label'))")
    assert tiles == [HOSTILE[2] + ", 256 B; open"]
    # the overflowing region raises the alarm, the other does not
    assert contract["regions"][1]["overflow_bytes"] == 0x70
    alarms = [r.get_attribute("class") for r in driver.find_elements(By.CSS_SELECTOR, ".bv-region")]
    assert ["is-overflow" in a for a in alarms] == [False, True]
    assert driver.find_element(By.CSS_SELECTOR, "#bv-region-1 [role=alert]").text == "OVERFLOW 112 B"
    assert console_errors(driver) == []


CONTROLS = "a[href], button, input, select, textarea, canvas[tabindex], [tabindex]:not([tabindex='-1']), [role='tab']"

ACCESSIBLE_NAMES = """
const controls = [...document.querySelectorAll(arguments[0])].filter(e => e.getClientRects().length);
function name(e) {
  if (e.getAttribute("aria-label")) return e.getAttribute("aria-label");
  const by = e.getAttribute("aria-labelledby");
  if (by) return by.split(" ").map(id => (document.getElementById(id) || {}).textContent || "").join(" ");
  return e.textContent;
}
return controls.map(e => ({tag: e.tagName, id: e.id, name: (name(e) || "").trim(),
                          tabbable: e.tabIndex >= 0 && !e.disabled, roving: e.getAttribute("role") === "tab"}));
"""


def test_every_control_has_a_label_and_is_reached_by_keyboard(driver, pages, contracts):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    open_page(driver, pages("sample", contracts["sample"]))
    controls = driver.execute_script(ACCESSIBLE_NAMES, CONTROLS)
    assert len(controls) > 40
    assert [c for c in controls if not c["name"]] == []
    # a tab that is not the current one is reached with the arrow keys from the current one
    assert [c for c in controls if not c["tabbable"] and not c["roving"] and c["id"] != "bv-treemap-up"] == []
    driver.execute_script("""
        window.__bvVisited = new Set();
        document.addEventListener("focusin", e => window.__bvVisited.add(e.target));""")
    tabbable = sum(1 for c in controls if c["tabbable"])
    ActionChains(driver).send_keys(*([Keys.TAB] * (tabbable + 5))).perform()
    missed = driver.execute_script("""
        const sel = arguments[0];
        return [...document.querySelectorAll(sel)].filter(e => e.getClientRects().length && e.tabIndex >= 0
                 && !e.disabled && !window.__bvVisited.has(e)).map(e => e.outerHTML.slice(0, 120));""", CONTROLS)
    assert missed == []
    # the focused bar answers the keyboard: a range, then its panel
    bar = driver.find_elements(By.CSS_SELECTOR, "canvas.bv-bar")[1]
    bar.send_keys(Keys.ARROW_UP, Keys.ARROW_UP, Keys.ENTER)
    assert driver.find_element(By.ID, "bv-panel-title").text == contracts["sample"]["regions"][1]["ranges"][1]["label"]


def test_phone_width_and_dark_theme(driver, pages, contracts):
    url = pages("sample", contracts["sample"])
    open_page(driver, url, width=390)
    overflow = driver.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
    assert overflow <= 0
    widths = driver.execute_script("return [...document.querySelectorAll('.bv-region')].map(r => r.getBoundingClientRect().right)")
    assert max(widths) <= 390
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
    try:
        open_page(driver, url)
        assert driver.execute_script("return getComputedStyle(document.body).backgroundColor") == "rgb(15, 19, 26)"
    finally:
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
    assert console_errors(driver) == []
