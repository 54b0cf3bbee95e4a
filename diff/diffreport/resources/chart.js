    // Diff Impact Chart: horizontal bars around a centre axis, growth to the right in
    // red, shrinkage to the left in green. The data comes from the page's JSON island.
    function parseChartData() {
      var node = document.getElementById("brenvale-diff-chart-data");
      if (!node || !node.textContent) {
        return [];
      }
      try {
        var data = JSON.parse(node.textContent);
        // Anything but an array (null, an object, a number) is as good as no data.
        return Array.isArray(data) ? data : [];
      } catch (err) {
        return [];
      }
    }

    function setupCanvas(id, minHeight) {
      var canvas = document.getElementById(id);
      if (!canvas) {
        return null;
      }
      var dpr = window.devicePixelRatio || 1;
      var width = Math.max(320, Math.floor(canvas.clientWidth || 320));
      var height = minHeight;
      // The bitmap follows the device pixels so the bars stay sharp on dense screens;
      // drawing itself works in CSS pixels through the scale below.
      canvas.width = Math.floor(width * dpr);
      canvas.height = Math.floor(height * dpr);
      var ctx = canvas.getContext("2d");
      if (!ctx) {
        return null;
      }
      ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
      return { ctx: ctx, width: width, height: height };
    }

    function drawDiffChart() {
      var entries = parseChartData();
      var setup = setupCanvas("diff-impact-chart", 280);
      if (!setup) {
        return;
      }
      var ctx = setup.ctx;
      var width = setup.width;
      var height = setup.height;
      ctx.clearRect(0, 0, width, height);
      if (!entries.length) {
        ctx.fillStyle = "#a7b6cc";
        ctx.font = "13px system-ui, -apple-system, Segoe UI, Roboto, sans-serif";
        ctx.fillText("No diff chart entries available.", 12, 28);
        return;
      }

      var centerX = Math.floor(width * 0.56);
      var top = 14;
      var rowHeight = Math.max(22, Math.floor((height - top - 8) / entries.length));
      var barHeight = Math.max(10, Math.floor(rowHeight * 0.5));
      var maxAbs = 1;
      entries.forEach(function (entry) {
        var value = Number(entry && entry.delta) || 0;
        maxAbs = Math.max(maxAbs, Math.abs(value));
      });

      ctx.strokeStyle = "#35506e";
      ctx.lineWidth = 1;
      ctx.beginPath();
      ctx.moveTo(centerX, 8);
      ctx.lineTo(centerX, height - 8);
      ctx.stroke();

      entries.forEach(function (entry, index) {
        var delta = Number(entry && entry.delta) || 0;
        var ratio = Math.abs(delta) / maxAbs;
        var maxBarWidth = Math.floor(width * 0.35);
        var barWidth = Math.max(2, Math.floor(maxBarWidth * ratio));
        var y = top + index * rowHeight;
        var label = String((entry && entry.label) || "unknown");
        // Counted in characters, not UTF-16 units, so no surrogate pair is cut in half.
        var chars = Array.from(label);
        if (chars.length > 28) {
          label = chars.slice(0, 25).join("") + "\u2026";
        }
        var grew = delta > 0;
        var x = grew ? centerX : centerX - barWidth;
        ctx.fillStyle = grew ? "#ec6d86" : "#61c98f";
        ctx.fillRect(x, y, barWidth, barHeight);

        ctx.fillStyle = "#e8f0ff";
        ctx.font = "12px system-ui, -apple-system, Segoe UI, Roboto, sans-serif";
        ctx.fillText(label, 8, y + barHeight);

        var text = (grew ? "+" : "") + delta.toFixed(0) + " B";
        if (grew) {
          ctx.fillText(text, x + barWidth + 6, y + barHeight);
        } else {
          ctx.fillText(text, x - 6 - ctx.measureText(text).width, y + barHeight);
        }
      });
    }

    // One shared timer: a burst of resize events ends in a single redraw 80 ms after
    // the last event.
    window.addEventListener("resize", function () {
      window.clearTimeout(window.__brenvaleDiffResizeTimer);
      window.__brenvaleDiffResizeTimer = window.setTimeout(drawDiffChart, 80);
    });
    drawDiffChart();
