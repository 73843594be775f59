// The zvthostd console: a page per section, each drawn from the admin API
// under /api/v1/. The session is the API's cookie (HttpOnly); the CSRF token
// every change carries is kept in memory only and asked for again after a
// reload. Text from the server is always set as text, never as markup.
"use strict";

const state = { profile: "", role: "", csrf: "", functions: null, statusTimer: 0 };

// An element with attributes and children (strings become text).
function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) {
    if (value === false || value === null || value === undefined) continue;
    if (key === "text") node.textContent = value;
    else node.setAttribute(key, value === true ? "" : value);
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(typeof child === "string" ? document.createTextNode(child) : child);
  }
  return node;
}

function say(text) {
  document.getElementById("message").textContent = text;
}

// A request to the API; resolves to the parsed answer, or throws an Error
// with the server's message. A 401 sends the page back to the sign-in.
async function api(method, path, body) {
  const headers = { Accept: "application/json" };
  if (body !== undefined) headers["Content-Type"] = "application/json";
  if (method !== "GET" && state.csrf) headers["X-CSRF-Token"] = state.csrf;
  const response = await fetch("/api/v1/" + path, {
    method,
    headers,
    credentials: "same-origin",
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  let answer = null;
  try {
    answer = await response.json();
  } catch (e) {
    answer = null;
  }
  if (response.status === 401 && path !== "session") {
    signedOut("Your session has ended; sign in again.");
  }
  if (!response.ok) {
    const error = new Error((answer && answer.error) || response.status + " " + response.statusText);
    error.status = response.status;
    throw error;
  }
  return answer;
}

function show(view) {
  for (const section of document.querySelectorAll("main > section")) {
    section.hidden = section.id !== "view-" + view;
  }
  for (const link of document.querySelectorAll("#nav a")) {
    const current = location.hash.startsWith(link.getAttribute("href"));
    if (current) link.setAttribute("aria-current", "page");
    else link.removeAttribute("aria-current");
  }
}

function signedIn(answer) {
  state.profile = answer.profile;
  state.role = answer.role;
  if (answer.csrf_token) state.csrf = answer.csrf_token;
  document.getElementById("nav").hidden = false;
  document.getElementById("who").textContent = "Signed in as " + answer.profile + " (" + answer.role + ")";
}

function signedOut(text) {
  state.profile = state.role = state.csrf = "";
  state.functions = null;
  document.getElementById("nav").hidden = true;
  show("signin");
  say(text || "");
  document.getElementById("profile").focus();
}

// ---- the function tree --------------------------------------------------

async function loadFunctions() {
  state.functions = await api("GET", "functions?counts=1");
  return state.functions;
}

// The functions as a tree: each node {f, children}, in registration order.
function buildTree(functions) {
  const nodes = new Map(functions.map((f) => [f.id, { f, children: [] }]));
  const top = [];
  for (const node of nodes.values()) {
    const parent = node.f.under ? nodes.get(node.f.under) : null;
    (parent ? parent.children : top).push(node);
  }
  return top;
}

// The nodes to show for a search: those whose ID, name or description hold
// every word searched for, and every ancestor of one (null: all).
function matching(tree, text) {
  const words = text.trim().toUpperCase().split(/\s+/).filter(Boolean);
  if (!words.length) return null;
  const keep = new Set();
  const visit = (node) => {
    const said = (node.f.id + " " + node.f.name + " " + node.f.description).toUpperCase();
    let any = words.every((w) => said.includes(w));
    for (const child of node.children) any = visit(child) || any;
    if (any) keep.add(node.f.id);
    return any;
  };
  tree.forEach(visit);
  return keep;
}

const kTypeNames = { 1: "root", 2: "group", 3: "item" };
const usageWord = (code) => (code === "1" ? "denied" : "allowed");

// Draws `tree` into `container` as nested lists; `lineOf(node)` gives the
// content of a node's line. Groups with children fold (details/summary), so
// the keyboard opens and closes them.
function drawTree(container, tree, keep, lineOf, open) {
  const list = (nodes, depth) => {
    const ul = el("ul", { class: depth ? "tree" : "tree top" });
    for (const node of nodes) {
      if (keep && !keep.has(node.f.id)) continue;
      const li = el("li", { "data-function": node.f.id });
      if (node.children.length) {
        const details = el("details", { open: open || !!keep });
        details.append(el("summary", {}, lineOf(node)), list(node.children, depth + 1));
        li.append(details);
      } else {
        li.append(el("div", { class: "leaf" }, lineOf(node)));
      }
      ul.append(li);
    }
    return ul;
  };
  container.replaceChildren(list(tree, 0));
}

// A line of the tree: the function's ID and name, then `parts`, spaced.
function line(f, ...parts) {
  const out = el("span", { class: "line" }, el("code", { text: f.id }), " ", el("span", { class: "name", text: f.name }));
  for (const part of parts) out.append(" ", part);
  return out;
}

function functionLine(node) {
  const f = node.f;
  return line(
    f,
    el("span", { class: "tag", text: kTypeNames[f.type] || "type " + f.type }),
    el("span", { class: "usage-" + usageWord(f.default_usage), text: "default " + usageWord(f.default_usage) }),
    el("span", { class: "count", text: "denied to " + f.denied_to + (f.denied_to === 1 ? " profile" : " profiles") })
  );
}

async function showFunctions() {
  show("functions");
  const functions = await loadFunctions();
  const tree = buildTree(functions);
  const search = document.getElementById("function-search");
  const draw = () => drawTree(document.getElementById("function-tree"), tree, matching(tree, search.value), functionLine, false);
  search.oninput = draw;
  draw();
}

// ---- profiles -----------------------------------------------------------

async function showProfiles() {
  show("profiles");
  const profiles = await api("GET", "profiles");
  const body = document.querySelector("#profile-list tbody");
  body.replaceChildren(
    ...profiles.map((p) => {
      const roles = [p.security_admin ? "security-admin" : "", p.auditor ? "auditor" : ""].filter(Boolean);
      return el(
        "tr",
        {},
        el("td", {}, el("a", { href: "#/profiles/" + encodeURIComponent(p.name), text: p.name })),
        el("td", { text: roles.join(", ") || "none" }),
        el("td", { text: p.groups.join(", ") })
      );
    })
  );
}

function reasonText(answer) {
  switch (answer.source) {
    case "own":
      return "its own setting";
    case "group":
      return (answer.denied ? "denied by group " : "allowed by group ") + answer.groups.join(", ");
    case "children":
      return "every function under it is denied";
    default:
      return "the function's default";
  }
}

async function showProfile(name) {
  show("profile");
  const [profile, answers] = await Promise.all([
    api("GET", "profiles/" + encodeURIComponent(name)),
    api("GET", "answers?profile=" + encodeURIComponent(name)),
  ]);
  const functions = state.functions || (await loadFunctions());
  document.getElementById("profile-title").textContent = "Profile " + profile.name;
  const roles = [profile.security_admin ? "security-admin" : "", profile.auditor ? "auditor" : ""].filter(Boolean);
  document.getElementById("profile-attributes").textContent =
    "Roles: " + (roles.join(", ") || "none") + ". Groups: " + (profile.groups.join(", ") || "none") + ".";
  document.getElementById("profile-note").textContent = answers.note;
  const byFunction = new Map(answers.answers.map((a) => [a.function, a]));
  const tree = buildTree(functions);
  const readOnly = state.role !== "security-admin";
  const profileLine = (node) => {
    const f = node.f;
    const a = byFunction.get(f.id) || { denied: false, source: "default", setting: "default" };
    const select = el(
      "select",
      { id: "usage-" + f.id, "data-function": f.id, disabled: readOnly, "aria-label": "Usage of " + f.id + " for " + profile.name },
      el("option", { value: "default", text: "default (" + usageWord(f.default_usage) + ")" }),
      el("option", { value: "denied", text: "deny" }),
      el("option", { value: "allowed", text: "allow" })
    );
    select.value = a.setting;
    select.addEventListener("change", () => setUsage(profile.name, f.id, select.value));
    // A click on the control must not fold its group.
    select.addEventListener("click", (e) => e.stopPropagation());
    select.addEventListener("keydown", (e) => e.stopPropagation());
    return line(
      f,
      el("strong", { class: a.denied ? "usage-denied" : "usage-allowed", "data-answer": a.denied ? "denied" : "allowed", text: a.denied ? "denied" : "allowed" }),
      el("span", { class: "reason", text: "(" + reasonText(a) + ")" }),
      select
    );
  };
  const search = document.getElementById("profile-search");
  const draw = () => drawTree(document.getElementById("profile-tree"), tree, matching(tree, search.value), profileLine, true);
  search.oninput = draw;
  draw();
}

async function setUsage(profile, id, usage) {
  try {
    await api("PUT", "usage", { profile, function: id, usage });
    state.functions = null;  // the counts have changed
    await showProfile(profile);
    say(id + " set to " + usage + " for " + profile + ".");
    const again = document.getElementById("usage-" + id);
    if (again) again.focus();
  } catch (e) {
    say("Not changed: " + e.message);
  }
}

// ---- audit trail --------------------------------------------------------

async function showAudit() {
  show("audit");
  const form = document.getElementById("audit-filter");
  const query = new URLSearchParams();
  for (const field of ["profile", "function", "since", "until", "limit"]) {
    const value = form.elements[field].value.trim();
    if (value) query.set(field, value);
  }
  const records = await api("GET", "audit?" + query.toString());
  const body = document.querySelector("#audit-table tbody");
  body.replaceChildren(
    ...records.map((r) =>
      el(
        "tr",
        {},
        ...[r.at, r.who, r.from, r.action, r.profile, r.function, r.before, r.after].map((v) => el("td", { text: v }))
      )
    )
  );
  say(records.length + (records.length === 1 ? " change" : " changes") + " shown.");
}

// ---- status -------------------------------------------------------------

async function showStatus() {
  show("status");
  const [status, host] = await Promise.all([
    fetch("/status", { headers: { Accept: "application/json" } }).then((r) => r.json()),
    api("GET", "host"),
  ]);
  const rows = [
    ["Readiness", status.ready ? "ready" : "not ready"],
    ["Host", host.name + " (version " + host.version + ", release " + host.release + ")"],
    ["Connections", String(status.connections) + " (" + status.signed_on + " signed on)"],
    ["Calls per second", Number(status.calls_per_second).toFixed(1)],
    ["Calls answered", String(status.calls)],
    ["Sign-on refusals", String(status.refusals)],
    ["Up for", String(status.uptime_seconds) + " s"],
  ];
  document.getElementById("status-list").replaceChildren(
    ...rows.flatMap(([term, value]) => [el("dt", { text: term }), el("dd", { text: value })])
  );
}

// ---- routing ------------------------------------------------------------

async function route() {
  clearInterval(state.statusTimer);
  if (!state.profile) return signedOut();
  const hash = location.hash || "#/functions";
  try {
    if (hash.startsWith("#/profiles/")) await showProfile(decodeURIComponent(hash.slice(11)));
    else if (hash === "#/profiles") await showProfiles();
    else if (hash === "#/audit") await showAudit();
    else if (hash === "#/status") {
      await showStatus();
      state.statusTimer = setInterval(() => showStatus().catch(() => {}), 5000);
    } else await showFunctions();
  } catch (e) {
    if (e.status !== 401) say("Could not load this page: " + e.message);
  }
}

async function start() {
  document.getElementById("signin").addEventListener("submit", async (event) => {
    event.preventDefault();
    const error = document.getElementById("signin-error");
    error.textContent = "";
    const password = document.getElementById("password");
    try {
      const answer = await api("POST", "session", {
        profile: document.getElementById("profile").value,
        password: password.value,
      });
      password.value = "";
      if (answer.role !== "security-admin" && answer.role !== "auditor") {
        await api("DELETE", "session").catch(() => {});
        error.textContent = "This profile is neither a security administrator nor an auditor.";
        return;
      }
      signedIn(answer);
      say("");
      if (!location.hash || location.hash === "#/") location.hash = "#/functions";
      else await route();
      document.getElementById("main").focus();
    } catch (e) {
      error.textContent = e.message;
    }
  });
  document.getElementById("signout").addEventListener("click", async () => {
    await api("DELETE", "session").catch(() => {});
    signedOut("Signed out.");
  });
  document.getElementById("audit-filter").addEventListener("submit", (event) => {
    event.preventDefault();
    showAudit().catch((e) => say("Could not load the audit trail: " + e.message));
  });
  document.getElementById("status-refresh").addEventListener("click", () => showStatus().catch(() => {}));
  window.addEventListener("hashchange", route);
  // A session the browser still holds carries on.
  try {
    signedIn(await api("GET", "session"));
  } catch (e) {
    state.profile = "";
  }
  await route();
}

document.addEventListener("DOMContentLoaded", start);
