// Transactions as a waterfall of their spans; profiles as flame graphs.
"use strict";

function statusClass(status) {
  if (!status || status === "ok") return "status-ok";
  if (status === "deadline_exceeded" || status === "cancelled" || status === "undefined") return "status-warn";
  return "status-error";
}

function finiteOr(value, fallback) {
  return typeof value === "number" && isFinite(value) ? value : fallback;
}

// Spans ordered depth first under their parents; spans whose parent is not
// here hang under the root.
function spanTree(root, spans) {
  const byParent = new Map();
  const ids = new Set([root.span_id, ...spans.map((s) => s.span_id)]);
  for (const span of spans) {
    const parent = ids.has(span.parent_span_id) && span.parent_span_id !== span.span_id ? span.parent_span_id : root.span_id;
    if (!byParent.has(parent)) byParent.set(parent, []);
    byParent.get(parent).push(span);
  }
  for (const children of byParent.values()) children.sort((a, b) => finiteOr(a.start_timestamp, 0) - finiteOr(b.start_timestamp, 0));
  const rows = [];
  const seen = new Set();
  const visit = (span, depth) => {
    if (seen.has(span)) return;
    seen.add(span);
    rows.push({ span, depth });
    for (const child of byParent.get(span.span_id) || []) visit(child, depth + 1);
  };
  visit(root, 0);
  // Cycles in parent ids leave spans unvisited; show them anyway.
  for (const span of spans) if (!seen.has(span)) visit(span, 1);
  return rows;
}

function waterfall(event) {
  const contexts = isObject(event.contexts) ? event.contexts : {};
  const trace = isObject(contexts.trace) ? contexts.trace : {};
  const root = Object.assign({}, trace, {
    description: event.transaction,
    start_timestamp: event.start_timestamp,
    timestamp: event.timestamp,
    span_id: trace.span_id || "(transaction)",
  });
  const spans = Array.isArray(event.spans) ? event.spans.filter(isObject) : [];
  const rows = spanTree(root, spans);
  const starts = rows.map((r) => finiteOr(r.span.start_timestamp, NaN)).filter(isFinite);
  const ends = rows.map((r) => finiteOr(r.span.timestamp, NaN)).filter(isFinite);
  const start = starts.length ? Math.min(...starts) : 0;
  const end = Math.max(start + 1e-6, ends.length ? Math.max(...ends) : start);
  const total = end - start;
  const percent = (value) => Math.max(0, Math.min(100, ((value - start) / total) * 100));

  const axis = el("div", { class: "axis" });
  for (let i = 0; i <= 4; i++) {
    axis.appendChild(el("span", { class: "tick", style: null, "data-at": i }, formatDuration((total * i) / 4)));
  }
  const body = rows.map(({ span, depth }) => {
    const from = percent(finiteOr(span.start_timestamp, start));
    const to = percent(finiteOr(span.timestamp, end));
    const bar = el("div", { class: "span-bar " + statusClass(span.status), title: text(span.status || "ok") });
    // Positions are numbers computed here, set through the style object.
    bar.style.left = from + "%";
    bar.style.width = Math.max(0.3, to - from) + "%";
    const label = el("div", { class: "span-label" },
      el("span", { class: "op" }, text(span.op || "")), " ",
      el("span", { class: "desc" }, text(span.description || "")));
    label.style.paddingLeft = Math.min(depth, 30) * 14 + "px";
    const duration = finiteOr(span.timestamp, NaN) - finiteOr(span.start_timestamp, NaN);
    return el("div", { class: "span-row", "data-span-id": text(span.span_id) },
      label,
      el("div", { class: "span-track" }, bar),
      el("div", { class: "span-time" }, formatDuration(duration), " ", badge(span.status, "status " + statusClass(span.status))));
  });
  return section("Spans (" + spans.length + ", " + formatDuration(total) + ")",
    el("div", { class: "waterfall" },
      el("div", { class: "span-row header" }, el("div", { class: "span-label" }, "operation"),
         el("div", { class: "span-track" }, axis), el("div", { class: "span-time" }, "duration")),
      body),
    el("p", { class: "legend" }, badge("ok", "status status-ok"), " ", badge("deadline_exceeded", "status status-warn"), " ",
       badge("internal_error", "status status-error")));
}

function measurementsTable(measurements) {
  if (!isObject(measurements)) return null;
  const flat = {};
  for (const [name, value] of Object.entries(measurements)) {
    flat[name] = isObject(value) ? text(value.value) + (value.unit ? " " + text(value.unit) : "") : text(value);
  }
  return keyValueTable(flat);
}

async function showTransaction(item) {
  const event = isObject(item.payload) ? item.payload : {};
  const profileItem = (item.related || []).find((other) => other.kind === "profile");
  const flame = el("div", { id: "flame-slot" });
  show(itemHeader(item),
    waterfall(event),
    section("Measurements", measurementsTable(event.measurements)),
    flame,
    breadcrumbTimeline(event.breadcrumbs),
    section("Tags", keyValueTable(event.tags, "tags")),
    section("User", keyValueTable(event.user)),
    contextsSection(event.contexts),
    section("Extra", keyValueTable(event.extra)),
    attachmentsSection(item),
    rawJson(item.payload));
  if (profileItem) {
    const profile = await fetchJson("/api/items/" + Number(profileItem.id));
    flame.replaceWith(section("Profile", flameGraph(profile.payload)));
  }
}

function frameName(frame) {
  if (!isObject(frame)) return "?";
  return text(frame.function || frame.instruction_addr || "?");
}

// Samples merged into one tree per thread; width is the share of samples.
function profileTree(profile) {
  const data = isObject(profile) && isObject(profile.profile) ? profile.profile : {};
  const samples = Array.isArray(data.samples) ? data.samples : [];
  const stacks = Array.isArray(data.stacks) ? data.stacks : [];
  const frames = Array.isArray(data.frames) ? data.frames : [];
  const threads = isObject(data.thread_metadata) ? data.thread_metadata : {};
  const root = { name: "all threads", count: 0, children: new Map() };
  for (const sample of samples) {
    if (!isObject(sample)) continue;
    const stack = stacks[sample.stack_id];
    if (!Array.isArray(stack)) continue;
    const threadId = text(sample.thread_id);
    const threadName = isObject(threads[threadId]) && threads[threadId].name ? text(threads[threadId].name) : "";
    let node = root;
    node.count++;
    // Stacks list the innermost frame first.
    const path = ["thread " + threadId + (threadName ? " (" + threadName + ")" : ""),
                  ...stack.slice().reverse().map((index) => frameName(frames[index]))];
    for (const name of path.slice(0, 256)) {
      if (!node.children.has(name)) node.children.set(name, { name, count: 0, children: new Map() });
      node = node.children.get(name);
      node.count++;
    }
  }
  return root;
}

function flameGraph(profile) {
  const root = profileTree(profile);
  if (root.count === 0) return el("p", { class: "muted" }, "no samples");
  const width = 1000, row = 18;
  const rects = [];
  let depthMax = 0;
  const place = (node, x, depth) => {
    const w = (node.count / root.count) * width;
    if (w < 0.5) return;
    depthMax = Math.max(depthMax, depth);
    const share = ((node.count / root.count) * 100).toFixed(1);
    const hue = 20 + ((node.name.length * 37 + depth * 13) % 40);
    rects.push(svg("g", { class: "flame-node" },
      svg("title", null, node.name + " — " + node.count + " samples (" + share + "%)"),
      svg("rect", { x: x.toFixed(2), y: depth * row, width: Math.max(0.5, w - 0.5).toFixed(2), height: row - 1, fill: "hsl(" + hue + ",85%,60%)" }),
      w > 40 ? svg("text", { x: (x + 3).toFixed(2), y: depth * row + 13 }, node.name.slice(0, Math.floor(w / 7))) : null));
    let offset = x;
    for (const child of node.children.values()) {
      place(child, offset, depth + 1);
      offset += (child.count / root.count) * width;
    }
  };
  place(root, 0, 0);
  return el("div", { class: "flame" },
    el("p", { class: "muted" }, root.count + " samples; wider is more time, callers above callees."),
    svg("svg", { class: "flame-graph", viewBox: "0 0 " + width + " " + (depthMax + 1) * row, preserveAspectRatio: "none", width: "100%", height: (depthMax + 1) * row }, rects));
}

function showProfile(item) {
  const profile = isObject(item.payload) ? item.payload : {};
  show(itemHeader(item),
    section("Flame graph", flameGraph(profile)),
    section("Transaction", keyValueTable(profile.transaction)),
    section("Device", keyValueTable(profile.device)),
    section("OS", keyValueTable(profile.os)),
    rawJson(item.payload));
}
