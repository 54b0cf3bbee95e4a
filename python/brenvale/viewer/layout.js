// Draws the visualization contract held in the page's JSON island.  Every
// figure shown comes from the contract; the script only formats (hexadecimal
// addresses, digit grouping, percentages) and lays out (pixels, treemap
// rectangles, flow bands).  Names are always inserted as text, never as markup.
(function () {
  "use strict";

  var SVG_NS = "http://www.w3.org/2000/svg";
  var BAR_PAD = 8;          // pixels above and below a region bar
  var ROW_HEIGHT = 26;      // pixels per row of a region's range list
  var LINKS_PER_ISSUE = 24; // range links shown per policy issue before "and N more"
  var state = {
    contract: null,
    regions: [],            // per region: {data, canvas, list, geometry, hover, ...}
    selected: null,         // {ri, xi}
    panelOpener: null,
    colours: {},
    byIssue: {},            // issue id -> [{ri, xi}]
    runningCopy: {}         // region name + NUL + section name -> {ri, xi}
  };

  // ---------------------------------------------------------------- helpers

  function el(tag, attrs, text) {
    var node = document.createElement(tag);
    if (attrs) {
      for (var key in attrs) {
        if (Object.prototype.hasOwnProperty.call(attrs, key) && attrs[key] !== null && attrs[key] !== undefined) {
          node.setAttribute(key, String(attrs[key]));
        }
      }
    }
    if (text !== undefined && text !== null) node.textContent = String(text);
    return node;
  }

  function svg(tag, attrs) {
    var node = document.createElementNS(SVG_NS, tag);
    for (var key in attrs) {
      if (Object.prototype.hasOwnProperty.call(attrs, key)) node.setAttribute(key, String(attrs[key]));
    }
    return node;
  }

  function text(value) {
    return value === null || value === undefined ? "" : String(value);
  }

  // The contract states "address_format": "hex": addresses are shown in
  // hexadecimal, eight digits up to 4 GiB and sixteen above.
  function hex(value) {
    if (typeof value !== "number" || !isFinite(value)) return "\u2014";
    var negative = value < 0;
    var digits = Math.abs(Math.trunc(value)).toString(16).toUpperCase();
    var width = Math.abs(value) > 0xFFFFFFFF ? 16 : 8;
    while (digits.length < width) digits = "0" + digits;
    return (negative ? "-0x" : "0x") + digits;
  }

  function grouped(value) {
    if (typeof value !== "number" || !isFinite(value)) return text(value);
    return value.toLocaleString("en-US");
  }

  function bytes(value) {
    return grouped(value) + " B";
  }

  function signedBytes(value) {
    if (typeof value !== "number") return "\u2014";
    return (value > 0 ? "+" : "") + grouped(value) + " B";
  }

  function percent(ratio, digits) {
    if (typeof ratio !== "number" || !isFinite(ratio)) return "\u2014";
    var value = ratio * 100;
    // Small shares keep three significant digits instead of rounding to 0.00%.
    if (value !== 0 && Math.abs(value) < 0.1) return value.toPrecision(3) + "%";
    return value.toFixed(digits === undefined ? 2 : digits) + "%";
  }

  function kib(value) {
    if (typeof value !== "number" || !isFinite(value)) return "";
    return " (" + (value >= 1 ? value.toFixed(2) : value.toPrecision(3)) + " KiB)";
  }

  function signedPercent(value) {
    if (typeof value !== "number" || !isFinite(value)) return "\u2014";
    return (value > 0 ? "+" : "") + value.toFixed(3) + " pts";
  }

  function clear(node) {
    while (node.firstChild) node.removeChild(node.firstChild);
  }

  function isLoadImage(region, range) {
    if (range.is_synthetic) return false;
    if (range.kind === "load_image") return true;
    // A section range sits in the layout of the region it executes in; one
    // whose execution region names another region is the stored copy.
    return range.execution_region !== null && range.execution_region !== undefined &&
      range.execution_region !== region.name;
  }

  // The colour class of a range: section kinds and roles, padding, free
  // space, inter-section gap, load image.
  function rangeClass(region, range) {
    if (range.is_synthetic) {
      if (range.kind === "padding") return "padding";
      if (range.kind === "free") return range.is_inter_section_gap ? "gap" : "free";
      return "free";
    }
    if (isLoadImage(region, range)) return "load-image";
    if (range.kind && range.kind !== "section") return range.kind;
    return range.role || "section";
  }

  var CLASS_LABELS = [
    ["text", "code (text)"], ["rodata", "read-only data"], ["data", "data"], ["bss", "zero-initialised (bss)"],
    ["vectors", "vector table"], ["section", "other section"], ["stack", "stack"], ["heap", "heap"],
    ["protected", "protected"], ["reserved", "reserved"], ["load-image", "load image"],
    ["padding", "padding"], ["gap", "inter-section gap"], ["free", "free space"]
  ];

  function readColours() {
    var style = getComputedStyle(document.documentElement);
    CLASS_LABELS.forEach(function (entry) {
      state.colours[entry[0]] = style.getPropertyValue("--range-" + entry[0]).trim() || "#888888";
    });
    state.colours.selected = style.getPropertyValue("--range-selected").trim() || "#ffffff";
    state.colours.ink = style.getPropertyValue("--text").trim() || "#e8f0ff";
    state.colours.muted = style.getPropertyValue("--muted").trim() || "#a7b6cc";
    state.colours.line = style.getPropertyValue("--line").trim() || "#35506e";
    state.colours.error = style.getPropertyValue("--error").trim() || "#ec6d86";
    state.colours.accent = style.getPropertyValue("--accent").trim() || "#4f8cff";
  }

  function kindName(region, range) {
    var cls = rangeClass(region, range);
    for (var i = 0; i < CLASS_LABELS.length; i++) if (CLASS_LABELS[i][0] === cls) return CLASS_LABELS[i][1];
    return cls;
  }

  function rangeSummary(region, range) {
    return text(range.label) + ", " + hex(range.start_address) + " to " + hex(range.end_address) + ", " +
      bytes(range.size_bytes) + ", " + percent(range.utilization_ratio_in_region) + " of " + text(region.name);
  }

  // ---------------------------------------------------------------- regions

  function drawLegend() {
    var legend = document.getElementById("bv-legend");
    CLASS_LABELS.forEach(function (entry) {
      var item = el("li");
      var swatch = el("span", {"class": "swatch", "aria-hidden": "true"});
      swatch.style.background = state.colours[entry[0]];
      item.appendChild(swatch);
      item.appendChild(document.createTextNode(entry[1]));
      legend.appendChild(item);
    });
  }

  function badge(label, cls) {
    return el("span", {"class": "badge" + (cls ? " " + cls : "")}, label);
  }

  function buildRegion(region, ri) {
    var card = el("article", {"class": "bv-region", id: "bv-region-" + ri, "aria-label": "Region " + text(region.name)});
    var heading = el("h3");
    heading.appendChild(el("span", null, region.name));
    heading.appendChild(el("span", {"class": "appbar-chip"}, region.category));
    heading.appendChild(el("span", {"class": "bv-region-span is-mono"},
      hex(region.start_address) + " \u2013 " + hex(region.end_address)));
    card.appendChild(heading);

    var badges = el("div", {"class": "badge-row"});
    badges.appendChild(badge("Size " + bytes(region.size_bytes)));
    badges.appendChild(badge("Used " + bytes(region.used_bytes)));
    badges.appendChild(badge("Free " + bytes(region.free_bytes)));
    badges.appendChild(badge("Utilisation " + percent(region.utilization_ratio)));
    var overflow = region.overflow_bytes;
    if (typeof overflow === "number" && overflow > 0) {
      card.classList.add("is-overflow");
      var alarm = badge("OVERFLOW " + bytes(overflow), "is-alarm");
      alarm.setAttribute("role", "alert");
      badges.appendChild(alarm);
    } else {
      badges.appendChild(badge("Overflow " + bytes(overflow || 0)));
    }
    badges.appendChild(badge(grouped(region.range_count) + " ranges"));
    card.appendChild(badges);
    var tools = el("div", {"class": "bv-bar-tools", role: "group", "aria-label": "Zoom of region " + text(region.name)});
    card.appendChild(tools);

    var hints = region.render_hints || {};
    var barHeight = Math.max(hints.preferred_height_px || hints.min_height_px || 180, 1);
    var body = el("div", {"class": "bv-region-body"});
    var canvas = el("canvas", {
      "class": "bv-bar", tabindex: "0", role: "img",
      "aria-label": "Address bar of region " + text(region.name) + ": " + grouped((region.ranges || []).length) +
        " ranges; arrow keys choose a range, Enter opens it, plus and minus zoom",
      "data-region": region.id
    });
    canvas.style.height = (barHeight + 2 * BAR_PAD) + "px";
    canvas.style.width = "100%";
    body.appendChild(canvas);

    var list = el("div", {"class": "bv-range-list", role: "list", "aria-label": "Ranges of region " + text(region.name)});
    list.style.height = (barHeight + 2 * BAR_PAD) + "px";
    var spacer = el("div", {"aria-hidden": "true"});
    spacer.style.height = ((region.ranges || []).length * ROW_HEIGHT) + "px";
    list.appendChild(spacer);
    body.appendChild(list);
    card.appendChild(body);
    var status = el("p", {"class": "visually-hidden", "aria-live": "polite"});
    card.appendChild(status);

    var entry = {
      data: region, ri: ri, card: card, canvas: canvas, list: list, status: status,
      barHeight: barHeight, geometry: [], hover: -1, rows: {}, cursor: -1, focusIndex: -1,
      view: {lo: region.start_address, hi: region.end_address + 1}
    };
    canvas.addEventListener("wheel", function (event) {
      var g = barGeometry(entry);
      var rect = canvas.getBoundingClientRect();
      var y = Math.min(g.bottom, Math.max(g.top, event.clientY - rect.top));
      var at = entry.view.lo + (g.bottom - y) / (g.bottom - g.top) * (entry.view.hi - entry.view.lo);
      event.preventDefault();
      zoom(entry, event.deltaY < 0 ? 0.5 : 2, at);
    }, {passive: false});
    canvas.addEventListener("dblclick", function () { setView(entry, region.start_address, region.end_address + 1); });
    zoomButtons.forEach(function (spec) {
      var button = el("button", {type: "button", "class": "bv-button", "aria-label": spec[1] + " of region " + text(region.name)}, spec[0]);
      button.addEventListener("click", function () { spec[2](entry); });
      tools.appendChild(button);
    });
    canvas.addEventListener("mousemove", function (event) { onBarMove(entry, event); });
    canvas.addEventListener("mouseleave", function () { entry.hover = -1; hideTooltip(); drawBar(entry); });
    canvas.addEventListener("click", function (event) {
      var xi = hitTest(entry, event);
      if (xi >= 0) selectRange(entry.ri, xi, {open: true, opener: canvas});
    });
    canvas.addEventListener("keydown", function (event) { onBarKey(entry, event); });
    list.addEventListener("scroll", function () { renderRows(entry); });
    return entry;
  }

  var zoomButtons = [
    ["+", "Zoom in on the address bar", function (entry) { zoom(entry, 0.5, null); }],
    ["\u2212", "Zoom out of the address bar", function (entry) { zoom(entry, 2, null); }],
    ["Whole region", "Show the whole address span", function (entry) {
      setView(entry, entry.data.start_address, entry.data.end_address + 1);
    }],
    ["Fit sections", "Zoom to the span the sections occupy", function (entry) {
      var lo = Infinity, hi = -Infinity;
      (entry.data.ranges || []).forEach(function (r) {
        if (r.is_synthetic && r.kind === "free") return;
        lo = Math.min(lo, r.start_address);
        hi = Math.max(hi, r.end_address + 1);
      });
      if (lo < hi) setView(entry, lo, hi);
    }]
  ];

  function setView(entry, lo, hi) {
    var start = entry.data.start_address, end = entry.data.end_address + 1;
    lo = Math.max(start, Math.floor(lo));
    hi = Math.min(end, Math.ceil(hi));
    if (!(hi > lo)) return;
    entry.view = {lo: lo, hi: hi};
    drawBar(entry);
  }

  // Zooming keeps the address at the anchor (by default the middle of the
  // view, or the focused range) where it is on screen.
  function zoom(entry, factor, anchor) {
    var view = entry.view;
    var span = view.hi - view.lo;
    if (anchor === null) {
      var r = entry.cursor >= 0 ? entry.data.ranges[entry.cursor] : null;
      anchor = r ? (r.start_address + r.end_address + 1) / 2 : view.lo + span / 2;
    }
    var next = Math.max(16, span * factor);
    var share = span > 0 ? (anchor - view.lo) / span : 0.5;
    var lo = anchor - next * share;
    var start = entry.data.start_address, end = entry.data.end_address + 1;
    if (lo < start) lo = start;
    if (lo + next > end) lo = Math.max(start, end - next);
    setView(entry, lo, lo + next);
  }

  function ensureVisible(entry, xi) {
    var r = entry.data.ranges[xi], view = entry.view;
    if (!r || (r.start_address >= view.lo && r.end_address < view.hi)) return;
    var span = view.hi - view.lo;
    if (r.end_address + 1 - r.start_address > span) setView(entry, r.start_address, r.end_address + 1);
    else setView(entry, (r.start_address + r.end_address + 1) / 2 - span / 2, (r.start_address + r.end_address + 1) / 2 + span / 2);
  }

  function barGeometry(entry) {
    var canvas = entry.canvas;
    var width = Math.max(120, Math.floor(canvas.clientWidth || 190));
    var labelWidth = 84;
    return {width: width, height: entry.barHeight + 2 * BAR_PAD, x0: labelWidth, x1: width - 6,
            top: BAR_PAD, bottom: BAR_PAD + entry.barHeight};
  }

  function drawBar(entry) {
    var region = entry.data;
    var canvas = entry.canvas;
    var g = barGeometry(entry);
    var dpr = window.devicePixelRatio || 1;
    if (canvas.width !== Math.floor(g.width * dpr) || canvas.height !== Math.floor(g.height * dpr)) {
      canvas.width = Math.floor(g.width * dpr);
      canvas.height = Math.floor(g.height * dpr);
    }
    var ctx = canvas.getContext("2d");
    if (!ctx) return;
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, g.width, g.height);
    var ranges = region.ranges || [];
    var barH = g.bottom - g.top;
    entry.geometry = new Array(ranges.length);
    ctx.fillStyle = state.colours.free;
    ctx.fillRect(g.x0, g.top, g.x1 - g.x0, barH);
    var view = entry.view;
    var lo = view.lo, span = view.hi - view.lo;
    if (!(span > 0)) return;
    function yOf(address) {
      return g.bottom - (address - lo) / span * barH;
    }
    // Free space first, so that a sliver of a section is never hidden by it.
    for (var pass = 0; pass < 2; pass++) {
      for (var i = 0; i < ranges.length; i++) {
        var r = ranges[i];
        var isFree = r.is_synthetic && r.kind === "free" && !r.is_inter_section_gap;
        if ((pass === 0) !== isFree) continue;
        if (r.end_address + 1 <= view.lo || r.start_address >= view.hi) continue;
        var yLow = Math.min(g.bottom, Math.max(g.top, yOf(r.start_address)));
        var yHigh = Math.min(g.bottom, Math.max(g.top, yOf(r.end_address + 1)));
        var h = Math.max(1, yLow - yHigh);
        var y = Math.min(yHigh, g.bottom - h);
        entry.geometry[i] = {x: g.x0, y: y, w: g.x1 - g.x0, h: h};
        ctx.fillStyle = state.colours[rangeClass(region, r)] || state.colours.section;
        ctx.fillRect(g.x0, y, g.x1 - g.x0, h);
      }
    }
    // Hexadecimal labels: the first and last address in view, then the
    // region's boundaries wherever a label does not overlap another.
    ctx.font = "10px " + (getComputedStyle(document.body).getPropertyValue("--font-mono") || "monospace");
    ctx.textBaseline = "middle";
    ctx.textAlign = "right";
    ctx.strokeStyle = state.colours.line;
    ctx.lineWidth = 1;
    function label(address, y) {
      ctx.fillStyle = state.colours.muted;
      ctx.fillText(hex(address), g.x0 - 8, y);
      ctx.beginPath();
      ctx.moveTo(g.x0 - 5, Math.round(y) + 0.5);
      ctx.lineTo(g.x0, Math.round(y) + 0.5);
      ctx.stroke();
    }
    label(view.hi - 1, g.top);
    label(view.lo, g.bottom);
    var lastLabelY = g.bottom;
    var boundaries = region.boundaries || [];
    for (var k = 0; k < boundaries.length; k++) {
      var address = boundaries[k].address;
      if (address <= view.lo || address >= view.hi - 1) continue;
      var by = yOf(address);
      if (lastLabelY - by >= 12 && by - g.top >= 12) {
        label(address, by);
        lastLabelY = by;
      }
    }
    var marks = [entry.hover];
    if (state.selected && state.selected.ri === entry.ri) marks.push(state.selected.xi);
    marks.forEach(function (xi, index) {
      var box = entry.geometry[xi];
      if (!box) return;
      ctx.strokeStyle = index === 0 ? state.colours.accent : state.colours.selected;
      ctx.lineWidth = 2;
      ctx.strokeRect(box.x - 1, box.y - 1, box.w + 2, box.h + 2);
    });
  }

  function hitTest(entry, event) {
    var rect = entry.canvas.getBoundingClientRect();
    var y = event.clientY - rect.top, x = event.clientX - rect.left;
    var g = barGeometry(entry);
    if (x < g.x0 - 2 || x > g.x1 + 2) return -1;
    var ranges = entry.data.ranges || [];
    function isFree(i) { return ranges[i].is_synthetic && ranges[i].kind === "free"; }
    function pick(withSlack) {
      var best = -1, bestSize = Infinity, bestFree = true;
      for (var i = 0; i < entry.geometry.length; i++) {
        var box = entry.geometry[i];
        if (!box) continue;
        var slack = withSlack && box.h < 4 ? (4 - box.h) / 2 : 0;
        if (y < box.y - slack || y > box.y + box.h + slack) continue;
        var free = isFree(i);
        var size = typeof ranges[i].size_bytes === "number" ? ranges[i].size_bytes : 0;
        if ((bestFree && !free) || (free === bestFree && size < bestSize)) {
          best = i; bestSize = size; bestFree = free;
        }
      }
      return best;
    }
    // The range under the pointer wins; over free space, a sliver thinner
    // than 4 pixels within reach is taken instead, so that it can be hit.
    var exact = pick(false);
    if (exact >= 0 && !isFree(exact)) return exact;
    var near = pick(true);
    return near >= 0 ? near : exact;
  }

  function onBarMove(entry, event) {
    var xi = hitTest(entry, event);
    if (xi !== entry.hover) {
      entry.hover = xi;
      drawBar(entry);
    }
    if (xi < 0) { hideTooltip(); return; }
    showTooltip(entry.data, entry.data.ranges[xi], event.clientX, event.clientY);
  }

  function onBarKey(entry, event) {
    var ranges = entry.data.ranges || [];
    if (!ranges.length) return;
    var cursor = entry.cursor;
    if (event.key === "ArrowUp" || event.key === "ArrowRight") cursor = Math.min(ranges.length - 1, cursor + 1);
    else if (event.key === "ArrowDown" || event.key === "ArrowLeft") cursor = Math.max(0, cursor - 1);
    else if (event.key === "Home") cursor = 0;
    else if (event.key === "End") cursor = ranges.length - 1;
    else if (event.key === "+" || event.key === "=") { event.preventDefault(); zoom(entry, 0.5, null); return; }
    else if (event.key === "-") { event.preventDefault(); zoom(entry, 2, null); return; }
    else if (event.key === "0") { event.preventDefault(); setView(entry, entry.data.start_address, entry.data.end_address + 1); return; }
    else if (event.key === "Enter" || event.key === " ") {
      if (cursor < 0) cursor = 0;
      event.preventDefault();
      selectRange(entry.ri, cursor, {open: true, opener: entry.canvas});
      return;
    } else return;
    event.preventDefault();
    entry.cursor = cursor;
    entry.hover = cursor;
    ensureVisible(entry, cursor);
    drawBar(entry);
    entry.status.textContent = rangeSummary(entry.data, ranges[cursor]);
    var box = entry.geometry[cursor];
    var rect = entry.canvas.getBoundingClientRect();
    if (box) showTooltip(entry.data, ranges[cursor], rect.left + box.x + box.w, rect.top + box.y + box.h / 2);
  }

  function renderRows(entry) {
    var ranges = entry.data.ranges || [];
    var list = entry.list;
    var first = Math.max(0, Math.floor(list.scrollTop / ROW_HEIGHT) - 4);
    var last = Math.min(ranges.length, Math.ceil((list.scrollTop + list.clientHeight) / ROW_HEIGHT) + 4);
    // The rows next to a focused row exist as well, so that Tab and
    // Shift+Tab always find the neighbour before the list has scrolled.
    if (entry.focusIndex >= 0) {
      first = Math.min(first, Math.max(0, entry.focusIndex - 1));
      last = Math.max(last, Math.min(ranges.length, entry.focusIndex + 2));
    }
    var keep = {};
    for (var i = first; i < last; i++) {
      keep[i] = true;
      if (!entry.rows[i]) entry.rows[i] = makeRow(entry, i);
      var selected = state.selected && state.selected.ri === entry.ri && state.selected.xi === i;
      entry.rows[i].classList.toggle("is-selected", !!selected);
    }
    for (var key in entry.rows) {
      if (!keep[key] && entry.rows[key] !== document.activeElement) {
        list.removeChild(entry.rows[key]);
        delete entry.rows[key];
      }
    }
  }

  function makeRow(entry, xi) {
    var region = entry.data, range = region.ranges[xi];
    var row = el("button", {
      type: "button", "class": "bv-range-row", role: "listitem", "aria-label": rangeSummary(region, range),
      "data-range-id": range.id
    });
    row.style.top = (xi * ROW_HEIGHT) + "px";
    var swatch = el("span", {"class": "swatch", "aria-hidden": "true"});
    swatch.style.background = state.colours[rangeClass(region, range)];
    row.appendChild(swatch);
    row.appendChild(el("span", {"class": "name"}, range.label));
    row.appendChild(el("span", {"class": "addr"}, hex(range.start_address)));
    row.addEventListener("click", function () { selectRange(entry.ri, xi, {open: true, opener: row}); });
    row.addEventListener("focus", function () { entry.focusIndex = xi; renderRows(entry); });
    row.addEventListener("blur", function () { if (entry.focusIndex === xi) entry.focusIndex = -1; });
    row.addEventListener("mouseenter", function () { entry.hover = xi; drawBar(entry); });
    row.addEventListener("mouseleave", function () { entry.hover = -1; drawBar(entry); });
    // Rows stay in address order in the document, which is the Tab order.
    var next = null;
    for (var key in entry.rows) {
      var index = Number(key);
      if (index > xi && (next === null || index < next)) next = index;
    }
    entry.list.insertBefore(row, next === null ? null : entry.rows[next]);
    return row;
  }

  function selectRange(ri, xi, options) {
    var previous = state.selected;
    state.selected = {ri: ri, xi: xi};
    var entry = state.regions[ri];
    entry.cursor = xi;
    ensureVisible(entry, xi);
    if (previous && previous.ri !== ri) {
      drawBar(state.regions[previous.ri]);
      renderRows(state.regions[previous.ri]);
    }
    drawBar(entry);
    // The panel narrows the page on wide screens: open it before scrolling.
    if (options && options.open) openPanel(ri, xi, options.opener || null);
    if (options && options.reveal) {
      entry.card.scrollIntoView({block: "nearest"});
      var list = entry.list;
      var top = xi * ROW_HEIGHT;
      if (top < list.scrollTop || top > list.scrollTop + list.clientHeight - ROW_HEIGHT) {
        list.scrollTop = Math.max(0, top - list.clientHeight / 2);
      }
    }
    renderRows(entry);
  }

  // Redraws what depends on the page width (after a resize or when the
  // panel opens or closes).
  function relayout() {
    state.regions.forEach(function (entry) { drawBar(entry); renderRows(entry); });
    if (window.__bvReady) drawTreemap();
  }

  // ------------------------------------------------------------ tooltip

  function showTooltip(region, range, x, y) {
    var tip = document.getElementById("bv-tooltip");
    clear(tip);
    tip.appendChild(el("div", {"class": "t-label"}, range.label));
    tip.appendChild(el("div", {"class": "t-row"}, hex(range.start_address) + " \u2013 " + hex(range.end_address)));
    tip.appendChild(el("div", {"class": "t-row"}, bytes(range.size_bytes) + kib(range.size_kib)));
    tip.appendChild(el("div", {"class": "t-row"}, percent(range.utilization_ratio_in_region) + " of " + text(region.name)));
    tip.appendChild(el("div", {"class": "t-row"}, kindName(region, range)));
    tip.hidden = false;
    var w = tip.offsetWidth, h = tip.offsetHeight;
    var left = x + 14, top = y + 14;
    if (left + w > window.innerWidth - 4) left = Math.max(4, x - w - 14);
    if (top + h > window.innerHeight - 4) top = Math.max(4, y - h - 14);
    tip.style.left = left + "px";
    tip.style.top = top + "px";
  }

  function hideTooltip() {
    document.getElementById("bv-tooltip").hidden = true;
  }

  // ------------------------------------------------------------ side panel

  function fields(pairs) {
    var dl = el("dl", {"class": "bv-fields"});
    pairs.forEach(function (pair) {
      dl.appendChild(el("dt", null, pair[0]));
      dl.appendChild(el("dd", null, pair[1]));
    });
    return dl;
  }

  function issueLink(id) {
    var index = state.contract.policy_issue_index || {};
    var issue = index[id];
    var button = el("button", {type: "button", "class": "bv-link",
                               "aria-label": "Policy issue " + text(id) + (issue ? ": " + text(issue.title) : "")},
                    text(id) + (issue ? " \u2014 " + text(issue.title) : ""));
    button.addEventListener("click", function () { revealIssue(id); });
    return button;
  }

  function openPanel(ri, xi, opener) {
    var region = state.regions[ri].data, range = region.ranges[xi];
    var panel = document.getElementById("bv-panel");
    var body = document.getElementById("bv-panel-body");
    document.getElementById("bv-panel-title").textContent = text(range.label);
    clear(body);
    body.appendChild(fields([
      ["Kind", kindName(region, range) + (range.role ? " (role " + range.role + ")" : "")],
      ["Region", text(region.name)],
      ["Start", hex(range.start_address)],
      ["End", hex(range.end_address)],
      ["Size", bytes(range.size_bytes) + kib(range.size_kib)],
      ["Share of region", percent(range.utilization_ratio_in_region, 3)]
    ]));
    if (isLoadImage(region, range)) {
      body.appendChild(el("h3", null, "Load image"));
      var target = state.runningCopy[text(range.execution_region) + "\u0000" + text(range.section_name)];
      var p = el("p", null, "Stored copy of " + text(range.section_name) + "; it runs in " + text(range.execution_region) + ". ");
      if (target) {
        var go = el("button", {type: "button", "class": "bv-link", id: "bv-running-copy",
                               "aria-label": "Go to the running copy of " + text(range.section_name)},
                    "Go to the running copy");
        go.addEventListener("click", function () {
          selectRange(target.ri, target.xi, {open: true, reveal: true, opener: opener});
        });
        p.appendChild(go);
      } else {
        p.appendChild(document.createTextNode("The running copy is not in this contract."));
      }
      body.appendChild(p);
    }
    var data = range.panel || {};
    if (range.is_synthetic || !data.section) {
      body.appendChild(el("p", {"class": "bv-empty"}, range.is_synthetic
        ? "No section attribution: this range is " + kindName(region, range) + "."
        : "This range carries no panel data."));
    } else {
      var s = data.section;
      body.appendChild(el("h3", null, "Section"));
      body.appendChild(fields([
        ["Name", text(s.name)], ["Execution region", text(s.execution_region)], ["Load region", text(s.load_region)],
        ["VMA", hex(s.vma)], ["LMA", hex(s.lma)], ["Size", bytes(s.size_bytes)],
        ["Padding before", bytes(s.padding_before)], ["Padding after", bytes(s.padding_after)]
      ]));
      body.appendChild(el("h3", null, "Symbols (largest first)"));
      var rows = data.symbol_breakdown || [];
      if (!rows.length) body.appendChild(el("p", {"class": "bv-empty"}, "No symbols in this section."));
      else {
        var scroll = el("div", {"class": "table-scroll"});
        var table = el("table");
        var head = el("tr");
        ["Symbol", "Size", "Address", "Object", "Archive"].forEach(function (h, i) {
          head.appendChild(el("th", {scope: "col", "class": i === 1 ? "num" : null}, h));
        });
        table.appendChild(el("thead")).appendChild(head);
        var tbody = el("tbody");
        rows.forEach(function (row) {
          var tr = el("tr");
          tr.appendChild(el("td", {"class": "is-mono"}, row.name));
          tr.appendChild(el("td", {"class": "num"}, grouped(row.size)));
          tr.appendChild(el("td", {"class": "is-mono"}, hex(row.address)));
          tr.appendChild(el("td", null, row.object_file));
          tr.appendChild(el("td", null, row.archive));
          tbody.appendChild(tr);
        });
        table.appendChild(tbody);
        scroll.appendChild(table);
        body.appendChild(scroll);
      }
      var owners = data.owners || {};
      body.appendChild(el("h3", null, "Owners"));
      body.appendChild(fields([
        ["Objects", (owners.objects || []).join(", ") || "\u2014"],
        ["Archives", (owners.archives || []).join(", ") || "\u2014"],
        ["Sources", (owners.sources || []).join(", ") || "\u2014"]
      ]));
      var baseline = data.baseline || {};
      body.appendChild(el("h3", null, "Baseline"));
      body.appendChild(fields([
        ["Delta", baseline.status === "available" ? signedBytes(baseline.delta_bytes) : "no baseline value"],
        ["Status", text(baseline.status)]
      ]));
      var policy = data.policy || {};
      body.appendChild(el("h3", null, "Policy issues (" + grouped(policy.violations_count || 0) + ")"));
      var ids = policy.issue_ids || [];
      if (!ids.length) body.appendChild(el("p", {"class": "bv-empty"}, "None."));
      var ul = el("ul");
      ids.forEach(function (id) { ul.appendChild(el("li")).appendChild(issueLink(id)); });
      if (ids.length) body.appendChild(ul);
    }
    state.panelOpener = opener;
    panel.hidden = false;
    if (!document.body.classList.contains("bv-panel-open")) {
      document.body.classList.add("bv-panel-open");
      relayout();
    }
    document.getElementById("bv-panel-close").focus();
  }

  function closePanel() {
    var panel = document.getElementById("bv-panel");
    if (panel.hidden) return;
    panel.hidden = true;
    document.body.classList.remove("bv-panel-open");
    relayout();
    var opener = state.panelOpener;
    state.panelOpener = null;
    if (opener && document.body.contains(opener)) opener.focus();
  }

  // ------------------------------------------------------------ issues

  function revealIssue(id) {
    var node = document.querySelector('[data-issue-id="' + CSS.escape(String(id)) + '"]');
    if (!node) return;
    node.scrollIntoView({block: "start"});
    node.focus();
  }

  function drawIssues() {
    var host = document.getElementById("bv-issues");
    var index = state.contract.policy_issue_index || {};
    var ids = Object.keys(index);
    if (!ids.length) {
      host.appendChild(el("p", {"class": "bv-empty"}, "No policy issues in this contract."));
      return;
    }
    host.appendChild(el("p", {"class": "summary-note"}, grouped(ids.length) + " issues; each lists the ranges whose policy issue ids name it."));
    var listBox = el("div", {"class": "bv-issue-list"});
    host.appendChild(listBox);
    ids.forEach(function (id) {
      var issue = index[id];
      var box = el("article", {"class": "bv-issue" + (issue.is_policy_violation ? " is-violation" : ""),
                               tabindex: "-1", "data-issue-id": id, "aria-label": "Issue " + text(id)});
      var h = el("h3");
      h.appendChild(el("span", {"class": "bv-sev sev-" + text(issue.severity)}, issue.severity));
      h.appendChild(document.createTextNode(text(issue.title)));
      box.appendChild(h);
      box.appendChild(el("div", {"class": "is-mono bv-region-span"},
        text(id) + " \u00b7 " + text(issue.category) + (issue.is_policy_violation ? " \u00b7 policy violation" : "")));
      box.appendChild(el("p", {"class": "summary-note"}, issue.description));
      box.appendChild(el("div", {"class": "bv-region-span"},
        "Affects: " + ((issue.affected_entities || []).map(text).join(", ") || "\u2014")));
      var links = el("div", {"class": "bv-links"});
      var targets = state.byIssue[id] || [];
      targets.slice(0, LINKS_PER_ISSUE).forEach(function (t) {
        var region = state.regions[t.ri].data, range = region.ranges[t.xi];
        var link = el("button", {type: "button", "class": "bv-link",
                                 "aria-label": "Show range " + text(range.label) + " in " + text(region.name)},
                      text(region.name) + ": " + text(range.label));
        link.addEventListener("click", function () {
          selectRange(t.ri, t.xi, {open: true, reveal: true, opener: link});
        });
        links.appendChild(link);
      });
      if (targets.length > LINKS_PER_ISSUE) {
        links.appendChild(el("span", {"class": "bv-empty"}, "and " + grouped(targets.length - LINKS_PER_ISSUE) + " more ranges"));
      }
      if (!targets.length) links.appendChild(el("span", {"class": "bv-empty"}, "No range names this issue."));
      box.appendChild(links);
      listBox.appendChild(box);
    });
  }

  // ------------------------------------------------------------ ownership

  var OWNER_TABLES = [
    {key: "by_component", title: "Components", columns: [
      ["name", "Component"], ["total_flash_bytes", "Flash B", true], ["total_ram_bytes", "RAM B", true],
      ["objects_count", "Objects", true], ["symbols_count", "Symbols", true]]},
    {key: "by_object", title: "Objects", columns: [
      ["name", "Object"], ["component_name", "Component"], ["total_bytes", "Total B", true],
      ["flash_bytes", "Flash B", true], ["ram_bytes", "RAM B", true], ["other_bytes", "Other B", true]]},
    {key: "by_symbol", title: "Symbols", columns: [
      ["name", "Symbol"], ["size_bytes", "Size B", true], ["section_name", "Section"], ["region_name", "Region"],
      ["object_file", "Object"], ["component_name", "Component"]]}
  ];

  function compareValues(a, b) {
    if (a === b) return 0;
    if (a === null || a === undefined) return 1;
    if (b === null || b === undefined) return -1;
    if (typeof a === "number" && typeof b === "number") return a - b;
    a = String(a); b = String(b);
    return a < b ? -1 : a > b ? 1 : 0;
  }

  function drawOwnershipTables() {
    var ownership = state.contract.ownership || {};
    var tabs = document.getElementById("bv-owner-tabs");
    var host = document.getElementById("bv-owner-table");
    var panels = [];
    OWNER_TABLES.forEach(function (spec, ti) {
      var rows = ownership[spec.key] || [];
      var tab = el("button", {type: "button", role: "tab", "class": "bv-button", id: "bv-tab-" + spec.key,
                              "aria-controls": "bv-table-" + spec.key, "aria-selected": ti === 0 ? "true" : "false",
                              tabindex: ti === 0 ? "0" : "-1"},
                   spec.title + " (" + grouped(rows.length) + ")");
      tabs.appendChild(tab);
      var panel = el("div", {role: "tabpanel", id: "bv-table-" + spec.key, "aria-labelledby": "bv-tab-" + spec.key,
                             "class": "table-scroll"});
      panel.hidden = ti !== 0;
      var table = el("table", {"data-table": spec.key});
      var headRow = el("tr");
      var tbody = el("tbody");
      var order = rows.map(function (_, i) { return i; });
      var sort = {column: null, descending: false};
      function fill() {
        clear(tbody);
        var fragment = document.createDocumentFragment();
        order.forEach(function (i) {
          var row = rows[i], tr = el("tr");
          spec.columns.forEach(function (c) {
            tr.appendChild(el("td", {"class": c[2] ? "num" : null}, c[2] ? grouped(row[c[0]]) : text(row[c[0]])));
          });
          fragment.appendChild(tr);
        });
        tbody.appendChild(fragment);
      }
      spec.columns.forEach(function (c) {
        var th = el("th", {scope: "col", "class": c[2] ? "num" : null, "aria-sort": "none"});
        var button = el("button", {type: "button", "aria-label": "Sort " + spec.title.toLowerCase() + " by " + c[1]}, c[1]);
        button.addEventListener("click", function () {
          sort.descending = sort.column === c[0] ? !sort.descending : !!c[2];
          sort.column = c[0];
          order.sort(function (a, b) {
            var d = compareValues(rows[a][c[0]], rows[b][c[0]]);
            return (sort.descending ? -d : d) || a - b;
          });
          Array.prototype.forEach.call(headRow.children, function (cell) { cell.setAttribute("aria-sort", "none"); });
          th.setAttribute("aria-sort", sort.descending ? "descending" : "ascending");
          fill();
        });
        th.appendChild(button);
        headRow.appendChild(th);
      });
      table.appendChild(el("thead")).appendChild(headRow);
      table.appendChild(tbody);
      fill();
      if (!rows.length) panel.appendChild(el("p", {"class": "bv-empty"}, "No rows."));
      panel.appendChild(table);
      host.appendChild(panel);
      panels.push([tab, panel]);
      tab.addEventListener("click", function () {
        panels.forEach(function (pair) {
          var on = pair[0] === tab;
          pair[0].setAttribute("aria-selected", on ? "true" : "false");
          pair[0].tabIndex = on ? 0 : -1;
          pair[1].hidden = !on;
        });
      });
      tab.addEventListener("keydown", function (event) {
        var step = event.key === "ArrowRight" ? 1 : event.key === "ArrowLeft" ? -1 : 0;
        if (!step) return;
        var next = panels[(ti + step + panels.length) % panels.length][0];
        next.click();
        next.focus();
      });
    });
  }

  // Squarified treemap (Bruls, Huizing, van Wijk): rows of tiles whose
  // aspect ratios stay close to 1.
  function squarify(items, x, y, w, h) {
    var total = 0;
    items.forEach(function (it) { total += it.value; });
    var out = [];
    if (!(total > 0) || w <= 0 || h <= 0) return out;
    var scale = w * h / total;
    var areas = items.map(function (it) { return it.value * scale; });
    function worst(sum, min, max, side) {
      var s2 = sum * sum, side2 = side * side;
      return Math.max(side2 * max / s2, s2 / (side2 * min));
    }
    var i = 0;
    while (i < items.length) {
      var side = Math.min(w, h);
      var sum = areas[i], min = areas[i], max = areas[i], j = i + 1;
      while (j < items.length) {
        var a = areas[j];
        var nextSum = sum + a, nextMin = Math.min(min, a), nextMax = Math.max(max, a);
        if (worst(nextSum, nextMin, nextMax, side) > worst(sum, min, max, side)) break;
        sum = nextSum; min = nextMin; max = nextMax; j++;
      }
      var thick = sum / side;
      var offset = 0;
      for (var k = i; k < j; k++) {
        var length = areas[k] / thick;
        if (w >= h) out.push({item: items[k], x: x, y: y + offset, w: thick, h: length});
        else out.push({item: items[k], x: x + offset, y: y, w: length, h: thick});
        offset += length;
      }
      if (w >= h) { x += thick; w -= thick; } else { y += thick; h -= thick; }
      i = j;
    }
    return out;
  }

  var treemap = {stack: []};

  function drawTreemap() {
    var host = document.getElementById("bv-treemap");
    var up = document.getElementById("bv-treemap-up");
    var path = document.getElementById("bv-treemap-path");
    clear(host);
    var top = (state.contract.ownership || {}).treemap_hierarchy || [];
    var level = treemap.stack.length;
    var nodes = level ? (treemap.stack[level - 1].children || []) : top;
    var names = ["All components"].concat(treemap.stack.map(function (n) { return text(n.name); }));
    path.textContent = names.join(" \u203a ");
    up.disabled = level === 0;
    host.setAttribute("data-level", String(level));
    var items = nodes.filter(function (n) { return typeof n.value === "number" && n.value > 0; });
    if (!items.length) {
      host.appendChild(el("p", {"class": "bv-empty", style: "padding: 12px"}, "Nothing to show at this level."));
      return;
    }
    var w = host.clientWidth || 600, h = host.clientHeight || 420;
    var tiles = squarify(items, 0, 0, w, h);
    var hueBase = level === 0 ? 210 : level === 1 ? 160 : 30;
    tiles.forEach(function (t, index) {
      var node = t.item;
      var leaf = level >= 2 || !node.children || !node.children.length;
      var label = text(node.name) + ", " + bytes(node.value);
      var tile = el(leaf ? "div" : "button", leaf
        ? {"class": "bv-tile is-leaf", title: label + (node.section_name ? ", section " + text(node.section_name) : "")}
        : {type: "button", "class": "bv-tile", "aria-label": label + "; open"});
      tile.style.left = t.x + "px";
      tile.style.top = t.y + "px";
      tile.style.width = Math.max(0, t.w) + "px";
      tile.style.height = Math.max(0, t.h) + "px";
      tile.style.background = "hsl(" + ((hueBase + index * 37) % 360) + ", 45%, 38%)";
      if (t.w > 30 && t.h > 16) {
        tile.appendChild(el("span", null, node.name));
        if (t.h > 30) tile.appendChild(el("span", null, bytes(node.value)));
      }
      if (!leaf) {
        tile.addEventListener("click", function () {
          treemap.stack.push(node);
          drawTreemap();
          var first = host.querySelector("button");
          if (first) first.focus(); else up.focus();
        });
      }
      host.appendChild(tile);
    });
  }

  // ------------------------------------------------------------ diff

  function drawDiff() {
    var host = document.getElementById("bv-diff");
    var diff = state.contract.diff || {};
    if (!diff.status || diff.status === "not_requested") {
      host.appendChild(el("p", {"class": "bv-empty"}, "No baseline comparison in this contract (status not_requested)."));
      return;
    }
    var badges = el("div", {"class": "badge-row"});
    badges.appendChild(badge("Status " + text(diff.status), diff.status === "ok" ? null : "is-warn"));
    badges.appendChild(badge("Flash delta " + signedBytes(diff.flash_delta_bytes)));
    badges.appendChild(badge("RAM delta " + signedBytes(diff.ram_delta_bytes)));
    host.appendChild(badges);
    var rows = diff.regions || [];
    var maxAbs = 0;
    rows.forEach(function (r) { maxAbs = Math.max(maxAbs, Math.abs(r.delta_ratio || 0)); });
    var table = el("table", {"data-table": "diff-regions"});
    var head = el("tr");
    ["Region", "Now", "Baseline", "Change (points)", ""].forEach(function (h, i) {
      head.appendChild(el("th", {scope: "col", "class": i > 0 && i < 4 ? "num" : null}, h));
    });
    table.appendChild(el("thead")).appendChild(head);
    var tbody = el("tbody");
    rows.forEach(function (r) {
      var tr = el("tr");
      var d = r.delta_ratio || 0;
      tr.appendChild(el("td", {"class": "is-mono"}, r.region_name));
      tr.appendChild(el("td", {"class": "num"}, percent(r.current_ratio, 3)));
      tr.appendChild(el("td", {"class": "num"}, percent(r.baseline_ratio, 3)));
      tr.appendChild(el("td", {"class": "num " + (d > 0 ? "delta-pos" : d < 0 ? "delta-neg" : "")},
                        (d > 0 ? "+" : "") + (d * 100).toFixed(3)));
      var rail = el("div", {"class": "bv-delta-rail", "aria-hidden": "true"});
      var bar = el("span");
      var width = maxAbs > 0 ? Math.abs(d) / maxAbs * 50 : 0;
      bar.style.width = width + "%";
      bar.style.left = d >= 0 ? "50%" : (50 - width) + "%";
      bar.style.background = d > 0 ? state.colours.error : "var(--ok)";
      rail.appendChild(bar);
      tr.appendChild(el("td")).appendChild(rail);
      tbody.appendChild(tr);
    });
    table.appendChild(tbody);
    host.appendChild(el("h3", {"class": "section-title"}, "Utilisation per region"));
    host.appendChild(el("div", {"class": "table-scroll"})).appendChild(table);
    var grid = el("div", {"class": "bv-diff-grid"});
    [["top_growth", "Largest growth"], ["top_shrink", "Largest shrink"]].forEach(function (spec) {
      var box = el("div");
      box.appendChild(el("h3", {"class": "section-title"}, spec[1]));
      var list = diff[spec[0]] || [];
      if (!list.length) box.appendChild(el("p", {"class": "bv-empty"}, "None."));
      var ol = el("ol", {"data-list": spec[0]});
      list.forEach(function (row) {
        var li = el("li");
        li.appendChild(el("span", {"class": "is-mono"}, row.name));
        li.appendChild(document.createTextNode(" "));
        li.appendChild(el("span", {"class": row.delta_ratio > 0 ? "delta-pos" : "delta-neg"}, signedPercent(row.delta_percent)));
        li.appendChild(el("span", {"class": "bv-region-span"},
          " (" + percent(row.baseline_ratio, 3) + " \u2192 " + percent(row.current_ratio, 3) + ")"));
        ol.appendChild(li);
      });
      if (list.length) box.appendChild(ol);
      grid.appendChild(box);
    });
    host.appendChild(grid);
    var ranking = diff.impact_ranking || [];
    host.appendChild(el("p", {"class": "summary-note"}, "Impact ranking (largest absolute change first): " +
      (ranking.map(function (r) { return text(r.name) + " " + signedPercent(r.delta_percent); }).join(", ") || "none")));
  }

  // ------------------------------------------------------------ relationship views

  function statsLine(view) {
    var stats = view.stats || {};
    var parts = Object.keys(stats).map(function (k) { return k.replace(/_/g, " ") + " " + grouped(stats[k]); });
    var row = el("div", {"class": "badge-row"});
    row.appendChild(badge(view.truncated ? "truncated: the contract keeps only the largest entries" : "complete (not truncated)",
                          view.truncated ? "is-warn" : null));
    if (view.source_basis) row.appendChild(badge("basis " + text(view.source_basis)));
    parts.forEach(function (p) { row.appendChild(badge(p)); });
    return row;
  }

  function drawSankey() {
    var host = document.getElementById("bv-sankey");
    var view = (state.contract.relationships || {}).sankey;
    if (!view) {
      host.appendChild(el("p", {"class": "bv-empty"}, "This contract carries no Sankey view (build it with --sankey)."));
      return;
    }
    host.appendChild(statsLine(view));
    var nodes = view.nodes || [], links = view.links || [];
    var columns = {input_section: [], output_section: [], memory_region: []};
    nodes.forEach(function (n) { (columns[n.kind] || (columns[n.kind] = [])).push(n); });
    var kinds = Object.keys(columns);
    var width = Math.max(640, host.clientWidth || 900), gap = 3, nodeWidth = 12;
    var tallest = 0;
    kinds.forEach(function (k) { tallest = Math.max(tallest, columns[k].length); });
    var height = Math.min(1600, Math.max(360, tallest * 9));
    var scale = Infinity;
    kinds.forEach(function (k) {
      var total = 0;
      columns[k].forEach(function (n) { total += n.value_bytes; });
      if (total > 0) scale = Math.min(scale, (height - 20 - gap * (columns[k].length - 1)) / total);
    });
    if (!isFinite(scale)) scale = 0;
    var place = {};
    kinds.forEach(function (k, ci) {
      var x = 10 + ci * (width - 20 - nodeWidth) / Math.max(1, kinds.length - 1);
      var y = 10;
      columns[k].forEach(function (n) {
        var h = Math.max(1, n.value_bytes * scale);
        place[n.id] = {x: x, y: y, h: h, out: 0, into: 0, node: n, column: ci};
        y += h + gap;
      });
    });
    var root = svg("svg", {"class": "bv-flow", viewBox: "0 0 " + width + " " + height, width: width, height: height,
                           role: "img", "aria-label": "Sankey diagram of " + nodes.length + " nodes and " + links.length + " links"});
    root.style.width = width + "px";
    links.forEach(function (link) {
      var s = place[link.source], t = place[link.target];
      if (!s || !t) return;
      var w = Math.max(1, link.value_bytes * scale);
      var y0 = s.y + s.out + w / 2, y1 = t.y + t.into + w / 2;
      s.out += w; t.into += w;
      var x0 = s.x + nodeWidth, x1 = t.x, xm = (x0 + x1) / 2;
      var path = svg("path", {d: "M" + x0 + "," + y0 + " C" + xm + "," + y0 + " " + xm + "," + y1 + " " + x1 + "," + y1,
                              fill: "none", stroke: state.colours.accent, "stroke-opacity": "0.35", "stroke-width": w});
      var title = svg("title", {});
      title.textContent = text(s.node.display_name) + " \u2192 " + text(t.node.display_name) + ": " + bytes(link.value_bytes) + kib(link.value_kib);
      path.appendChild(title);
      root.appendChild(path);
    });
    Object.keys(place).forEach(function (id) {
      var p = place[id];
      var rect = svg("rect", {x: p.x, y: p.y, width: nodeWidth, height: p.h, fill: p.column === 2 ? state.colours.error : state.colours.accent});
      var title = svg("title", {});
      title.textContent = text(p.node.display_name) + ": " + bytes(p.node.value_bytes);
      rect.appendChild(title);
      root.appendChild(rect);
      if (p.h >= 9) {
        var label = svg("text", {x: p.column === kinds.length - 1 ? p.x - 4 : p.x + nodeWidth + 4, y: p.y + p.h / 2,
                                 "dominant-baseline": "middle", "text-anchor": p.column === kinds.length - 1 ? "end" : "start",
                                 fill: state.colours.ink, "font-size": "10"});
        label.textContent = text(p.node.display_name);
        root.appendChild(label);
      }
    });
    host.appendChild(el("div", {"class": "bv-flow-wrap"})).appendChild(root);
  }

  function drawGraph() {
    var host = document.getElementById("bv-graph");
    var view = (state.contract.relationships || {}).graph;
    if (!view) {
      host.appendChild(el("p", {"class": "bv-empty"}, "This contract carries no relationship graph (build it with --graph)."));
      return;
    }
    host.appendChild(statsLine(view));
    var nodes = view.nodes || [], links = view.links || [];
    var kinds = ["component", "object", "memory_region", "symbol"];
    var columns = {};
    kinds.forEach(function (k) { columns[k] = []; });
    nodes.forEach(function (n) { (columns[n.kind] || (columns[n.kind] = [])).push(n); });
    var tallest = 0;
    Object.keys(columns).forEach(function (k) { tallest = Math.max(tallest, columns[k].length); });
    var width = Math.max(640, host.clientWidth || 900);
    var height = Math.min(1400, Math.max(360, tallest * 6));
    var canvas = el("canvas", {"class": "bv-flow", role: "img",
                               "aria-label": "Relationship graph: " + nodes.length + " nodes, " + links.length + " links; components, objects, regions and symbols in columns"});
    canvas.style.height = height + "px";
    canvas.style.width = width + "px";
    host.appendChild(el("div", {"class": "bv-flow-wrap"})).appendChild(canvas);
    var dpr = window.devicePixelRatio || 1;
    canvas.width = Math.floor(width * dpr);
    canvas.height = Math.floor(height * dpr);
    var ctx = canvas.getContext("2d");
    if (!ctx) return;
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    var place = {};
    var colourOf = {component: state.colours.vectors, object: state.colours.accent, memory_region: state.colours.error, symbol: state.colours.ok || "#61c98f"};
    var columnKinds = Object.keys(columns).filter(function (k) { return columns[k].length; });
    columnKinds.forEach(function (k, ci) {
      var list = columns[k];
      var x = 90 + ci * (width - 180) / Math.max(1, columnKinds.length - 1);
      var step = (height - 20) / Math.max(1, list.length);
      var max = 1;
      list.forEach(function (n) { max = Math.max(max, n.value_bytes); });
      list.forEach(function (n, i) {
        place[n.id] = {x: x, y: 10 + step * (i + 0.5), r: 2 + 6 * Math.sqrt(n.value_bytes / max), node: n, step: step, column: ci};
      });
    });
    ctx.globalAlpha = 0.25;
    ctx.strokeStyle = state.colours.muted;
    links.forEach(function (link) {
      var s = place[link.source], t = place[link.target];
      if (!s || !t) return;
      ctx.lineWidth = Math.max(0.5, Math.log(1 + link.value_bytes) / 4);
      ctx.beginPath();
      ctx.moveTo(s.x, s.y);
      ctx.lineTo(t.x, t.y);
      ctx.stroke();
    });
    ctx.globalAlpha = 1;
    ctx.font = "10px system-ui, sans-serif";
    ctx.textBaseline = "middle";
    Object.keys(place).forEach(function (id) {
      var p = place[id];
      ctx.fillStyle = colourOf[p.node.kind] || state.colours.section;
      ctx.beginPath();
      ctx.arc(p.x, p.y, p.r, 0, Math.PI * 2);
      ctx.fill();
      if (p.step >= 11) {
        ctx.fillStyle = state.colours.ink;
        var left = p.column === 0;
        ctx.textAlign = left ? "right" : "left";
        var name = text(p.node.display_name);
        if (name.length > 28) name = name.slice(0, 27) + "\u2026";
        ctx.fillText(name, left ? p.x - p.r - 4 : p.x + p.r + 4, p.y);
      }
    });
    canvas.addEventListener("mousemove", function (event) {
      var rect = canvas.getBoundingClientRect();
      var x = event.clientX - rect.left, y = event.clientY - rect.top;
      var hit = null;
      Object.keys(place).forEach(function (id) {
        var p = place[id];
        if (Math.abs(p.x - x) <= p.r + 3 && Math.abs(p.y - y) <= Math.max(p.r, p.step / 2)) hit = p;
      });
      var tip = document.getElementById("bv-tooltip");
      if (!hit) { tip.hidden = true; return; }
      clear(tip);
      tip.appendChild(el("div", {"class": "t-label"}, hit.node.display_name));
      tip.appendChild(el("div", {"class": "t-row"}, text(hit.node.kind).replace("_", " ") + ", " + bytes(hit.node.value_bytes)));
      tip.hidden = false;
      tip.style.left = (event.clientX + 14) + "px";
      tip.style.top = (event.clientY + 14) + "px";
    });
    canvas.addEventListener("mouseleave", hideTooltip);
  }

  // ------------------------------------------------------------ start

  function indexRanges() {
    state.regions.forEach(function (entry, ri) {
      var region = entry.data;
      (region.ranges || []).forEach(function (range, xi) {
        (range.policy_issue_ids || []).forEach(function (id) {
          (state.byIssue[id] || (state.byIssue[id] = [])).push({ri: ri, xi: xi});
        });
        if (!range.is_synthetic && !isLoadImage(region, range)) {
          var key = text(region.name) + "\u0000" + text(range.section_name);
          if (!state.runningCopy[key]) state.runningCopy[key] = {ri: ri, xi: xi};
        }
      });
    });
  }

  function fail(message) {
    var host = document.getElementById("bv-regions");
    host.appendChild(el("p", {"class": "bv-empty", role: "alert"}, message));
    window.__bvReady = true;
  }

  function start() {
    var island = document.getElementById("brenvale-layout-contract");
    var contract;
    try {
      contract = JSON.parse(island ? island.textContent : "");
    } catch (error) {
      fail("This page holds no readable contract: " + error.message);
      return;
    }
    if (!contract || typeof contract !== "object" || !Array.isArray(contract.regions)) {
      fail("This page holds no visualization contract.");
      return;
    }
    state.contract = contract;
    document.getElementById("bv-schema").textContent = text(contract.schema_version);
    readColours();
    drawLegend();
    var host = document.getElementById("bv-regions");
    if (!contract.regions.length) host.appendChild(el("p", {"class": "bv-empty"}, "The contract declares no memory regions."));
    contract.regions.forEach(function (region, ri) {
      var entry = buildRegion(region, ri);
      state.regions.push(entry);
      host.appendChild(entry.card);
    });
    state.regions.forEach(function (entry) { drawBar(entry); renderRows(entry); });
    performance.mark("bv-first-draw");
    window.__bvFirstDrawMs = performance.now();
    document.getElementById("bv-panel-close").addEventListener("click", closePanel);
    document.addEventListener("keydown", function (event) { if (event.key === "Escape") closePanel(); });
    document.getElementById("bv-treemap-up").addEventListener("click", function () {
      treemap.stack.pop();
      drawTreemap();
      if (!treemap.stack.length) document.getElementById("bv-treemap-up").focus();
    });
    var rest = [indexRanges, drawIssues, drawOwnershipTables, drawTreemap, drawDiff, drawSankey, drawGraph, function () {
      document.getElementById("bv-notes").textContent = (contract.notes || []).map(text).join(" ");
      window.__bvReady = true;
      performance.mark("bv-ready");
    }];
    // The first view is on screen; the other views follow one per task so
    // that the page stays responsive while they are built.
    (function next() {
      var step = rest.shift();
      if (!step) return;
      step();
      setTimeout(next, 0);
    })();
    var resizeTimer = null;
    window.addEventListener("resize", function () {
      clearTimeout(resizeTimer);
      resizeTimer = setTimeout(relayout, 80);
    });
  }

  window.__bvState = state;
  start();
})();
