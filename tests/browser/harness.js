// The real parts for the browser tests: build/tavolex started in a fresh TAVOLEX_HOME with a
// free port and no browser of its own, and Debian's chromium driven by playwright-core.
import { spawn } from "node:child_process";
import { mkdtempSync, writeFileSync, rmSync, mkdirSync, readdirSync, readFileSync } from "node:fs";
import { createServer, connect } from "node:net";
import { tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

// The build folder under test: TAVOLEX_BUILD_DIR (CTest passes it), else ../../build.
export const buildDir = path.resolve(process.env.TAVOLEX_BUILD_DIR || new URL("../../build", import.meta.url).pathname);
export const shotsDir = path.join(buildDir, "browser-screens");
mkdirSync(shotsDir, { recursive: true });

function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.on("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function accepts(port) {
  return new Promise((resolve) => {
    const socket = connect(port, "127.0.0.1");
    socket.on("connect", () => { socket.destroy(); resolve(true); });
    socket.on("error", () => resolve(false));
  });
}

export class Program {
  static async start() {
    const program = new Program();
    program.home = mkdtempSync(path.join(tmpdir(), "tavolex-browser-"));
    program.port = await freePort();
    writeFileSync(path.join(program.home, "settings.ini"), `[WebServer]\nPort=${program.port}\n`);
    await program.run();
    return program;
  }
  async run() {
    this.child = spawn(path.join(buildDir, "tavolex"), [], {
      env: { ...process.env, TAVOLEX_HOME: this.home, TAVOLEX_BROWSER: "none" }, stdio: ["ignore", "ignore", "pipe"],
    });
    this.stderr = "";
    this.child.stderr.on("data", (chunk) => { this.stderr += chunk; });
    this.exited = new Promise((resolve) => this.child.on("exit", resolve));
    // A test file that dies half-way must not leave the program running behind it.
    const child = this.child;
    process.once("exit", () => { if (child.exitCode === null && child.signalCode === null) child.kill("SIGKILL"); });
    for (let i = 0; i < 400; i++) {
      if (await accepts(this.port)) return;
      await new Promise((r) => setTimeout(r, 50));
    }
    throw new Error("tavolex did not listen on port " + this.port + ": " + this.stderr);
  }
  get url() { return `http://127.0.0.1:${this.port}/`; }
  // Ends the program as a desktop session would (SIGTERM) and throws unless it ended cleanly:
  // under the sanitizers a report at exit (a leak, say) shows as a failed status here.
  async stop() {
    if (!this.child || this.child.exitCode !== null || this.child.signalCode !== null) return;
    this.child.kill("SIGTERM");
    await this.exited;
    if (this.child.exitCode !== 0) {
      throw new Error(`tavolex ended with status ${this.child.exitCode ?? this.child.signalCode}: ${this.stderr.slice(-4000)}`);
    }
  }
  log() {
    const folder = path.join(this.home, "Logs");
    try { return readdirSync(folder).map((f) => readFileSync(path.join(folder, f), "utf8")).join(""); } catch { return ""; }
  }
  async remove() {
    try {
      await this.stop();
    } finally {
      rmSync(this.home, { recursive: true, force: true });
    }
  }
}

// Chromium as this machine allows it: headless, no sandbox (root), and none of the background
// connections that the closed network refuses.
export async function openBrowser({ viewport = { width: 1280, height: 800 }, deviceScaleFactor = 1 } = {}) {
  const profile = mkdtempSync(path.join(tmpdir(), "tavolex-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.TAVOLEX_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    viewport, deviceScaleFactor,
    acceptDownloads: true,
    locale: "en-GB",
  });
  context.setDefaultTimeout(10000);
  const page = context.pages()[0] || await context.newPage();
  const problems = [];
  page.on("pageerror", (error) => problems.push(String(error)));
  return {
    context, page, problems,
    async close() { await context.close(); rmSync(profile, { recursive: true, force: true }); },
  };
}

// The program started fresh with a browser on its first screen, as an owner first sees it.
export async function openFreshProgram({ viewport } = {}) {
  const program = await Program.start();
  const browser = await openBrowser(viewport ? { viewport } : {});
  const page = browser.page;
  await page.goto(program.url);
  await page.getByRole("heading", { name: "Start with your business" }).waitFor({ state: "visible" });
  return { program, browser, page };
}

export async function screenshot(page, name, { top = false } = {}) {
  if (top) await page.evaluate(() => window.scrollTo(0, 0));
  await page.waitForTimeout(150);     // let the last layout and fonts settle before the picture
  await page.screenshot({ path: path.join(shotsDir, name + ".png") });
}

// Sets up data through the program's own API, from inside the page (so with its session), for
// tests whose subject is not how that data was typed in.
export async function seed(page, businesses) {
  return page.evaluate(async (list) => {
    const post = async (route, body) => (await fetch(route, { method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) })).json();
    const made = [];
    for (const business of list) {
      const added = await post("api/business/add", { name: business.name, address: business.address || "", phone: "", email: "", website: "" });
      const menus = [];
      for (const menu of business.menus || []) {
        const answer = await post("api/menu/add", { name: menu.name, restaurant_id: added.id, settings: menu.settings || { papersize: "A4", columns: "1", font: "Lato" }, rcategories: menu.rcategories || [] });
        menus.push(answer.id);
        // Add leaves what the catalogue already had hidden in a new menu; show what was asked.
        const shown = new Map((menu.rcategories || []).filter((c) => !c.hidden).map((c) => [c.name, new Set(c.ritems.filter((i) => !i.hidden).map((i) => i.name))]));
        const got = await (await fetch("api/menu/get?id=" + answer.id)).json();
        for (const category of got.rcategories) {
          category.hidden = !shown.has(category.name);
          for (const item of category.ritems) item.hidden = category.hidden || !shown.get(category.name).has(item.name);
        }
        await post("api/menu/save", got);
      }
      made.push({ id: added.id, menus });
    }
    return made;
  }, businesses);
}

// Every visible form control on the page has a name an assistive technology reads out: a
// <label>, aria-label or aria-labelledby. Answers the controls that have none, described.
export async function unlabelledControls(page) {
  return page.evaluate(() => [...document.querySelectorAll("input, select, textarea, button")]
    .filter((control) => control.offsetParent !== null || control.closest("dialog[open]"))
    .filter((control) => {
      if (control.tagName === "BUTTON") return !(control.textContent.trim() || control.getAttribute("aria-label"));
      return !(control.labels?.length || control.getAttribute("aria-label") || control.getAttribute("aria-labelledby"));
    })
    .map((control) => control.outerHTML.slice(0, 120)));
}
