// The shell: makes sure the browser has a session, keeps telling the program that the window is
// open, and shows one screen at a time from the address's "#/..." part.
import * as api from "./api.js";
import { h, announce } from "./ui.js";
import businesses from "./businesses.js";
import catalogue from "./catalogue.js";
import menus from "./menus.js";
import editor from "./editor.js";
import logos from "./logos.js";
import { settingsScreen } from "./email.js";

const ALIVE_EVERY_MS = 5000;
const routes = [
  { pattern: /^\/businesses$/, screen: businesses, nav: "businesses" },
  { pattern: /^\/catalogue$/, screen: catalogue, nav: "catalogue" },
  { pattern: /^\/menus$/, screen: menus, nav: "menus" },
  { pattern: /^\/menus\/([\w-]+)$/, screen: menus, nav: "menus" },
  { pattern: /^\/menu\/([\w-]+)$/, screen: editor, nav: "menus" },
  { pattern: /^\/logos$/, screen: logos, nav: "logos" },
  { pattern: /^\/settings\/email$/, screen: settingsScreen, nav: "email" },
];

let current = null;      // the screen shown now, asked before leaving
let currentHash = null;

function routeOf(hash) {
  const path = hash.replace(/^#/, "") || "/businesses";
  for (const route of routes) {
    const match = route.pattern.exec(path);
    if (match) return { ...route, params: match.slice(1) };
  }
  return { ...routes[0], params: [] };
}

async function show() {
  if (window.location.hash === currentHash) return;
  if (current?.screen.canLeave && !(await current.screen.canLeave())) {
    history.replaceState(null, "", currentHash);    // stay: the owner chose not to lose changes
    return;
  }
  current?.screen.leave?.();
  currentHash = window.location.hash || "#/businesses";
  const route = routeOf(currentHash);
  for (const link of document.querySelectorAll("nav a")) {
    if (link.dataset.screen === route.nav) link.setAttribute("aria-current", "page");
    else link.removeAttribute("aria-current");
  }
  const main = document.getElementById("main");
  main.replaceChildren(h("p", { class: "loading" }, "Loading…"));
  current = route;
  try {
    await route.screen.render(main, route.params);
  } catch (error) {
    main.replaceChildren(h("div", { class: "problem" }, h("h1", {}, "This page could not be shown"),
      h("p", {}, String(error?.message || error))));
  }
  if (document.activeElement === document.body) main.focus({ preventScroll: true });
}

export function go(hash) {
  window.location.hash = hash;
}

async function keepAlive() {
  const answer = await api.get("api/status/checkalive");
  document.getElementById("connection").textContent = answer.ok ? "" : "Not connected";
}

async function start() {
  api.onConnectionChange((up) => {
    document.getElementById("offline").hidden = up;
    if (up) announce("Tavolex is answering again.");
  });
  const session = await api.get("api/account/issessionvalid");
  if (!session.ok && !session.redirected) {
    document.getElementById("main").replaceChildren(h("div", { class: "problem" },
      h("h1", {}, "Tavolex is not answering"), h("p", {}, session.message)));
    setTimeout(() => window.location.reload(), ALIVE_EVERY_MS);
    return;
  }
  let back = "";
  try { back = sessionStorage.getItem("tavolex.return") || ""; sessionStorage.removeItem("tavolex.return"); } catch { /* storage off */ }
  if (back && !window.location.hash) history.replaceState(null, "", back);
  setInterval(keepAlive, ALIVE_EVERY_MS);
  window.addEventListener("hashchange", show);
  window.addEventListener("beforeunload", (event) => {
    if (!api.isRedirecting() && current?.screen.hasUnsavedChanges?.()) { event.preventDefault(); event.returnValue = ""; }
  });
  await show();
}

start();
