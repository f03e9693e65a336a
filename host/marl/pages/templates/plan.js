(function () {
  var SVG = "http://www.w3.org/2000/svg";
  var box = document.getElementById("graph"), svg = null;
  var data = JSON.parse(document.getElementById("plan-data").textContent);
  var rows = data.nodes, children = rows.map(function () { return []; });
  rows.forEach(function (r, i) { r[5].forEach(function (d) { children[d].push(i); }); });

  function show(node) {
    var r = node.getBoundingClientRect(), b = box.getBoundingClientRect();
    box.scrollLeft += r.left - b.left - box.clientWidth / 2 + r.width / 2;
    box.scrollTop += r.top - b.top - box.clientHeight / 2 + r.height / 2;
  }

  // --- the whole graph: zoom and find ---------------------------------------
  var nodes = [];
  function wholeGraph() {
    var w = svg.width.baseVal.value, h = svg.height.baseVal.value, scale = 1;
    var zoom = function (to) {
      scale = Math.max(0.02, Math.min(4, to));
      svg.setAttribute("width", w * scale); svg.setAttribute("height", h * scale);
    };
    var fit = function () { zoom(Math.min(box.clientWidth / w, box.clientHeight / h, 1)); };
    document.querySelectorAll("[data-zoom]").forEach(function (b) {
      b.addEventListener("click", function () {
        var z = b.getAttribute("data-zoom");
        if (z === "fit") fit(); else if (z === "1") zoom(1); else zoom(scale * parseFloat(z));
      });
    });
    var find = document.getElementById("find"), count = document.getElementById("find-count");
    find.addEventListener("input", function () {
      var q = find.value.trim().toLowerCase(), first = null, n = 0;
      nodes.forEach(function (g) {
        var hit = q !== "" && g.querySelector("title").textContent.toLowerCase().indexOf(q) >= 0;
        g.classList.toggle("match", hit);
        if (hit) { n++; first = first || g; }
      });
      count.textContent = q ? n + " found" : "";
      if (first) show(first);
    });
    // Fit a graph that is somewhat larger than the box; a very large one stays
    // at full size (its labels would be unreadable), to be scrolled and searched.
    var fitScale = Math.min(box.clientWidth / w, box.clientHeight / h);
    if (fitScale < 1 && fitScale >= 0.35) fit();
  }

  // --- the neighbourhood of one model, laid out here ----------------------
  var LIMIT = 400, COL = 230, ROW = 40, BOXW = 190, BOXH = 32;
  var find2 = document.getElementById("focus-find"), depthBox = document.getElementById("focus-depth");
  var matches = document.getElementById("focus-matches"), status = document.getElementById("focus-status");
  var view = document.getElementById("focus-graph"), focused = -1, marked = {};
  var COLOURS = [["#d9f2e3", "#2e8b57"], ["#fde2cf", "#d2691e"], ["#e8eef9", "#4a6fa5"]];
  var KINDS = ["pushdown", "federated", "seed"];

  function el(name, attrs) {
    var e = document.createElementNS(SVG, name);
    for (var k in attrs) e.setAttribute(k, attrs[k]);
    return e;
  }

  function listMatches(indexes, more) {
    matches.textContent = "";
    indexes.forEach(function (i) {
      var li = document.createElement("li"), b = document.createElement("button");
      b.type = "button"; b.textContent = rows[i][0]; b.title = rows[i][0];
      b.setAttribute("data-index", i);
      b.addEventListener("click", function () { focus(i); });
      li.appendChild(b); matches.appendChild(li);
    });
    if (more) {
      var li = document.createElement("li"); li.className = "muted";
      li.textContent = "and " + more + " more: type more of the name";
      matches.appendChild(li);
    }
  }

  function search() {
    var q = find2.value.trim().toLowerCase(), found = [], total = 0;
    if (q) rows.forEach(function (r, i) {
      if (r[0].toLowerCase().indexOf(q) >= 0 || r[1].toLowerCase().indexOf(q) >= 0) {
        total++; if (found.length < 30) found.push(i);
      }
    });
    listMatches(found, total - found.length);
    return found;
  }

  // Breadth-first from the focus, upstream into negative columns and
  // downstream into positive ones, up to the depth and LIMIT models.
  function neighbourhood(start, depth) {
    var col = {}, order = [start], cut = 0;
    col[start] = 0;
    [[-1, function (i) { return rows[i][5]; }], [1, function (i) { return children[i]; }]].forEach(function (way) {
      var frontier = [start];
      for (var d = 1; d <= depth && frontier.length; d++) {
        var next = [];
        frontier.forEach(function (i) {
          way[1](i).forEach(function (j) {
            if (j in col) return;
            if (order.length >= LIMIT) { cut++; return; }
            col[j] = way[0] * d; order.push(j); next.push(j);
          });
        });
        frontier = next;
      }
    });
    return { col: col, order: order, cut: cut };
  }

  function focus(start) {
    focused = start;
    var depth = Math.max(1, Math.min(50, parseInt(depthBox.value, 10) || 1));
    var hood = neighbourhood(start, depth), col = hood.col;
    var columns = {}, y = {}, lo = 0, hi = 0;
    hood.order.forEach(function (i) {
      (columns[col[i]] = columns[col[i]] || []).push(i);
      lo = Math.min(lo, col[i]); hi = Math.max(hi, col[i]);
    });
    y[start] = 0;
    // Columns outward from the focus, each sorted by the mean row of its
    // neighbours already placed (fewer crossings).
    var sequence = [];
    for (var c = 1; c <= Math.max(-lo, hi); c++) { sequence.push(-c, c); }
    var tallest = 1;
    sequence.forEach(function (c) {
      var members = columns[c];
      if (!members) return;
      var weight = {};
      members.forEach(function (i) {
        var near = (c < 0 ? children[i] : rows[i][5]).filter(function (j) { return j in y; });
        weight[i] = near.length ? near.reduce(function (a, j) { return a + y[j]; }, 0) / near.length : 0;
      });
      members.sort(function (a, b) { return weight[a] - weight[b]; });
      members.forEach(function (i, r) { y[i] = r; });
      tallest = Math.max(tallest, members.length);
    });
    var width = (hi - lo + 1) * COL + 20, height = tallest * ROW + 20;
    var g = el("svg", { width: width, height: height, viewBox: "0 0 " + width + " " + height });
    function pos(i) {
      var members = columns[col[i]] || [i], top = (tallest - members.length) * ROW / 2;
      return [10 + (col[i] - lo) * COL, 10 + top + y[i] * ROW];
    }
    var edges = el("g", { "class": "edges" });
    g.appendChild(edges);
    hood.order.forEach(function (i) {
      rows[i][5].forEach(function (d) {
        if (!(d in col)) return;
        var a = pos(d), b = pos(i), x1 = a[0] + BOXW, y1 = a[1] + BOXH / 2, x2 = b[0], y2 = b[1] + BOXH / 2;
        var mid = (x1 + x2) / 2;
        edges.appendChild(el("path", { d: "M" + x1 + "," + y1 + " C" + mid + "," + y1 + " " + mid + "," + y2 + " " + x2 + "," + y2 }));
      });
    });
    hood.order.forEach(function (i) {
      var r = rows[i], p = pos(i), colours = COLOURS[r[2]] || COLOURS[0];
      var node = el("g", { "class": "focus-node " + KINDS[r[2]] + (i === start ? " focused" : "") +
                             (marked[i] ? " advice-unlock" : ""), "data-index": i });
      var title = el("title", {});
      title.textContent = r[0] + "\n" + data.reasons[r[4]];
      node.appendChild(title);
      node.appendChild(el("rect", { x: p[0], y: p[1], width: BOXW, height: BOXH, rx: 5, fill: colours[0], stroke: colours[1] }));
      var t1 = el("text", { x: p[0] + 8, y: p[1] + 13 }); t1.textContent = r[1];
      var t2 = el("text", { x: p[0] + 8, y: p[1] + 26, "class": "where" }); t2.textContent = r[3];
      node.appendChild(t1); node.appendChild(t2);
      node.addEventListener("click", function () { focus(i); });
      g.appendChild(node);
    });
    view.textContent = "";
    view.appendChild(g);
    var up = 0, down = 0;
    hood.order.forEach(function (i) { if (col[i] < 0) up++; else if (col[i] > 0) down++; });
    status.textContent = rows[start][0] + ": " + up + " upstream, " + down + " downstream within depth " + depth +
      (hood.cut ? "; " + hood.cut + " more not shown (lower the depth)" : "");
    var here = view.querySelector("g.focused");
    if (here) here.scrollIntoView({ block: "nearest", inline: "center" });
  }

  find2.addEventListener("input", search);
  find2.addEventListener("keydown", function (e) {
    if (e.key === "Enter") { var found = search(); if (found.length) focus(found[0]); }
  });
  depthBox.addEventListener("change", function () { if (focused >= 0) focus(focused); });

  // A model of the whole graph (m<index>) or a box of the overview.
  var members = {{ overview_members|safe }};
  function wire() {
    svg = box.querySelector("svg");
    nodes = svg ? Array.prototype.slice.call(svg.querySelectorAll("g.plan-node")) : [];
    if (svg && box.classList.contains("whole")) wholeGraph();
    nodes.forEach(function (g) {
      g.addEventListener("click", function () {
        var id = g.id;
        if (id.charAt(0) === "m") { focus(parseInt(id.slice(1), 10)); view.scrollIntoView(); }
        else if (members[id]) { listMatches(members[id].slice(0, 200), Math.max(0, members[id].length - 200)); find2.scrollIntoView(); }
      });
    });
    if (svg) document.dispatchEvent(new CustomEvent("plan-graph"));
  }
  document.querySelectorAll("[data-node]").forEach(function (a) {
    a.addEventListener("click", function (e) {
      e.preventDefault();
      var key = a.getAttribute("data-node"), g = document.getElementById(key);
      focus(parseInt(key.slice(1), 10));
      if (g) {
        nodes.forEach(function (x) { x.classList.remove("match"); });
        g.classList.add("match"); box.scrollIntoView(); show(g);
      } else view.scrollIntoView();
    });
  });

  // The advice panel marks a step's models in the neighbourhood view too,
  // and lists them there when the drawing has them in shared boxes.
  window.marlPlan = {
    mark: function (indexes, list) {
      marked = {};
      indexes.forEach(function (i) { marked[i] = true; });
      view.querySelectorAll("g.focus-node").forEach(function (g) {
        g.classList.toggle("advice-unlock", marked[g.getAttribute("data-index")] === true);
      });
      if (list && indexes.length) {
        listMatches(indexes.slice(0, 200), Math.max(0, indexes.length - 200));
        status.textContent = "The selected step's models: pick one to see its neighbourhood.";
      }
    }
  };

  // Without its drawing yet, the page asks for it until the layout is done.
  var pending = document.getElementById("graph-laying-out");
  function poll() {
    fetch(pending.getAttribute("data-layout"), { cache: "no-store" }).then(function (r) { return r.json(); }).then(function (s) {
      if (s.state === "done") { box.innerHTML = s.svg; wire(); }
      else if (s.state === "error") {
        var d = document.createElement("div");
        d.className = "error-box"; d.id = "graph-error"; d.textContent = s.error;
        box.textContent = ""; box.appendChild(d);
      } else if (s.state === "stale") location.reload();
      else setTimeout(poll, 1000);
    }, function () { setTimeout(poll, 2000); });
  }
  if (pending) setTimeout(poll, 300); else wire();
})();
