// The page of an error, message or crash event.
"use strict";

function frameRow(frame, index) {
  const inApp = frame.in_app === true;
  const where = [frame.package ? String(frame.package).split("/").pop() : null,
                 frame.filename ? frame.filename + (frame.lineno ? ":" + frame.lineno : "") : null]
    .filter(Boolean).join(" · ");
  return el("li", { class: "frame " + (inApp ? "in-app" : "system") },
    el("span", { class: "frame-no" }, String(index)),
    el("span", { class: "function" }, frame.function || frame.symbol_addr || frame.instruction_addr || "?"),
    inApp ? el("span", { class: "badge in-app-badge" }, "in app") : null,
    el("span", { class: "where" }, where),
    el("span", { class: "address mono" }, frame.instruction_addr || ""));
}

// Frames arrive outermost caller first; the innermost is shown on top.
function stackTrace(stacktrace, options) {
  if (!isObject(stacktrace) || !Array.isArray(stacktrace.frames)) return el("p", { class: "muted" }, "no frames");
  const frames = stacktrace.frames.filter(isObject).slice().reverse();
  const inApp = frames.filter((f) => f.in_app === true).length;
  const list = el("ol", { class: "frames" + (options && options.onlyInApp ? " only-in-app" : "") },
    frames.map((frame, i) => frameRow(frame, i)));
  const toggle = el("label", { class: "toggle" },
    el("input", { type: "checkbox", onchange: (e) => list.classList.toggle("only-in-app", e.target.checked) }),
    " only in-app frames (" + inApp + " of " + frames.length + ")");
  return el("div", { class: "stacktrace" }, toggle, list);
}

function registersTable(registers) {
  if (!isObject(registers)) return null;
  return el("div", { class: "registers" },
    Object.entries(registers).map(([name, value]) =>
      el("div", { class: "register" }, el("span", { class: "reg-name" }, name), el("span", { class: "mono" }, text(value)))));
}

function exceptionChain(event) {
  const values = isObject(event.exception) && Array.isArray(event.exception.values) ?
    event.exception.values.filter(isObject) : [];
  if (values.length === 0) return null;
  // The last one is what happened; those before it are its causes, innermost first.
  const ordered = values.slice().reverse();
  return section("Exception" + (ordered.length > 1 ? " chain" : ""),
    ordered.map((exception, i) => {
      const mechanism = isObject(exception.mechanism) ? exception.mechanism : {};
      return el("div", { class: "exception" },
        i > 0 ? el("div", { class: "caused-by" }, "caused by") : null,
        el("h3", null, el("span", { class: "exc-type" }, exception.type || "(no type)"),
           exception.value ? el("span", { class: "exc-value" }, ": " + text(exception.value)) : null),
        el("div", { class: "facts" },
          mechanism.type ? el("span", null, "mechanism ", el("b", null, mechanism.type)) : null,
          mechanism.handled === false ? badge("unhandled", "level fatal") : mechanism.handled === true ? badge("handled") : null,
          exception.module ? el("span", null, "module " + text(exception.module)) : null,
          exception.thread_id !== undefined ? el("span", null, "thread " + text(exception.thread_id)) : null),
        mechanism.description ? el("p", null, text(mechanism.description)) : null,
        isObject(mechanism.meta) ? keyValueTable(mechanism.meta) : null,
        isObject(mechanism.data) ? keyValueTable(mechanism.data) : null,
        exception.stacktrace ? stackTrace(exception.stacktrace) : null);
    }));
}

function threadsSection(event, isCrash) {
  const values = isObject(event.threads) && Array.isArray(event.threads.values) ?
    event.threads.values.filter(isObject) : [];
  if (values.length === 0) return null;
  // The crashed (or current) thread first, open; the others folded.
  const ordered = values.slice().sort((a, b) =>
    (b.crashed === true) - (a.crashed === true) || (b.current === true) - (a.current === true));
  return section("Threads (" + values.length + ")",
    ordered.map((thread, i) => {
      const frames = isObject(thread.stacktrace) && Array.isArray(thread.stacktrace.frames) ? thread.stacktrace.frames.length : 0;
      const box = el("details", { class: "thread" + (thread.crashed === true ? " crashed" : "") },
        el("summary", null,
          el("b", null, thread.name ? text(thread.name) : "Thread " + text(thread.id)),
          el("span", { class: "muted" }, " id " + text(thread.id) + " · " + frames + " frames "),
          thread.crashed === true ? badge("crashed", "level fatal") : null,
          thread.current === true ? badge("current") : null,
          thread.main === true ? badge("main") : null),
        thread.crashed === true && isCrash && isObject(thread.stacktrace) && thread.stacktrace.registers ?
          el("div", { class: "registers-box" }, el("h3", null, "Registers"), registersTable(thread.stacktrace.registers)) : null,
        stackTrace(thread.stacktrace));
      if (i === 0) box.open = true;
      return box;
    }));
}

function breadcrumbTimeline(crumbs) {
  if (!Array.isArray(crumbs) || crumbs.length === 0) return null;
  return section("Breadcrumbs (" + crumbs.length + ")",
    el("ol", { class: "timeline" },
      crumbs.filter(isObject).map((crumb) => el("li", { class: "crumb level-" + String(crumb.level || "info").replace(/[^a-z]/g, "") },
        el("span", { class: "crumb-time mono" }, text(crumb.timestamp)),
        el("span", { class: "crumb-cat" }, text(crumb.category || crumb.type || "")),
        badge(crumb.level, "level"),
        el("span", { class: "crumb-msg" }, text(crumb.message)),
        isObject(crumb.data) ? keyValueTable(crumb.data, "crumb-data") : null))));
}

function contextsSection(contexts) {
  if (!isObject(contexts) || Object.keys(contexts).length === 0) return null;
  return section("Contexts",
    el("div", { class: "contexts" }, Object.entries(contexts).map(([name, value]) =>
      el("div", { class: "context" }, el("h3", null, name),
         isObject(value) ? keyValueTable(value) : el("pre", null, text(value))))));
}

function debugImages(event) {
  const images = isObject(event.debug_meta) && Array.isArray(event.debug_meta.images) ?
    event.debug_meta.images.filter(isObject) : [];
  if (images.length === 0) return null;
  return section("Debug images (" + images.length + ")",
    el("details", null, el("summary", null, "show"),
      el("table", { class: "images" },
        el("thead", null, el("tr", null, ["Name", "Address", "Size", "Debug id", "Code file"].map((h) => el("th", null, h)))),
        el("tbody", null, images.map((image) => el("tr", null,
          el("td", null, text(image.name)), el("td", { class: "mono" }, text(image.image_addr)),
          el("td", null, typeof image.image_size === "number" ? formatBytes(image.image_size) : text(image.image_size)),
          el("td", { class: "mono" }, text(image.debug_id || image.uuid)), el("td", null, text(image.code_file))))))));
}

function attachmentsSection(item) {
  if (!Array.isArray(item.attachments) || item.attachments.length === 0) return null;
  return section("Attachments",
    el("ul", { class: "attachments" }, item.attachments.map((attachment) => el("li", null,
      attachment.kept ?
        el("a", { href: "/api/items/" + Number(item.id) + "/attachments/" + Number(attachment.index), download: attachment.filename, class: "attachment-link" }, attachment.filename) :
        el("span", null, attachment.filename),
      el("span", { class: "muted" }, " " + formatBytes(attachment.size) + " " + text(attachment.content_type) +
        (attachment.kept ? "" : " (too large to keep)"))))),
    item.attachments_left_out ? el("p", { class: "muted" }, item.attachments_left_out + " more in the envelope, not kept") : null);
}

function showEvent(item) {
  const event = isObject(item.payload) ? item.payload : {};
  const isCrash = item.kind === "crash";
  show(
    itemHeader(item, event.platform ? el("span", null, "platform " + text(event.platform)) : null),
    isObject(event.message) && (event.message.formatted || event.message.message) ?
      section("Message", el("pre", { class: "message" }, text(event.message.formatted || event.message.message))) : null,
    exceptionChain(event),
    threadsSection(event, isCrash),
    event.stacktrace ? section("Stack trace", stackTrace(event.stacktrace)) : null,
    breadcrumbTimeline(event.breadcrumbs),
    section("Tags", keyValueTable(event.tags, "tags")),
    section("User", keyValueTable(event.user)),
    contextsSection(event.contexts),
    section("Request", keyValueTable(event.request)),
    section("Extra", keyValueTable(event.extra)),
    attachmentsSection(item),
    debugImages(event),
    section("Envelope header", keyValueTable(item.envelope_header)),
    rawJson(item.payload));
}
