// Switching template on a 120-item menu in headless chromium against the real program: the
// time from the owner's click on another template until its pages are in the DOM, measured in
// the page (median and worst over rounds through every template, fonts already loaded, as after
// the first look at each). Prints figures; the budget is 100 ms.
//
//     node bench/browser_templates.mjs [build folder]
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
process.env.TAVOLEX_BUILD_DIR = path.resolve(process.argv[2] || process.env.TAVOLEX_BUILD_DIR || path.join(here, "..", "build"));
const { Program, openBrowser, seed } = await import(path.join(here, "..", "tests", "browser", "harness.js"));
const { bigMenu } = await import(path.join(here, "..", "tests", "browser", "steps.js"));

const ROUNDS = 8;
const BUDGET_MS = 100;

const program = await Program.start();
const browser = await openBrowser({ viewport: { width: 1400, height: 1000 } });
const page = browser.page;
try {
  await page.goto(program.url);
  await page.waitForSelector("h1");
  const [shop] = await seed(page, [{ name: "Bench Bistro", address: "1 Long Road", menus: [bigMenu("Bench menu", { categories: 8, perCategory: 15 })] }]);
  await page.goto(program.url + "#/menu/" + shop.menus[0]);
  await page.waitForSelector("#page-views svg");
  const figures = await page.evaluate(async (rounds) => {
    const ids = [...document.querySelectorAll('input[name="template"]')].map((r) => r.value);
    const views = document.getElementById("page-views");
    // One click on a template's card; resolves when the new pages are in the DOM.
    const switchTo = (id) => new Promise((resolve) => {
      const start = performance.now();
      const observer = new MutationObserver(() => {
        if (document.getElementById("page-count").textContent.includes(document.querySelector(`label[for="template-${id}"] .template-name`).textContent)) {
          observer.disconnect();
          resolve({ ms: performance.now() - start, pages: views.children.length });
        }
      });
      observer.observe(views, { childList: true });
      document.querySelector(`label[for="template-${id}"]`).click();
    });
    const per = Object.fromEntries(ids.map((id) => [id, []]));
    const pages = {};
    const current = () => document.querySelector('input[name="template"]:checked').value;
    // First use of each (its fonts loaded once), starting with one other than the shown one.
    const order = [...ids.filter((id) => id !== current()), current()];
    for (const id of order) await switchTo(id);
    for (let round = 0; round < rounds; round++) {
      for (const id of order) {
        const result = await switchTo(id);
        per[id].push(result.ms);
        pages[id] = result.pages;
      }
    }
    return { per, pages };
  }, ROUNDS);
  const median = (values) => { const v = [...values].sort((a, b) => a - b); return v.length % 2 ? v[(v.length - 1) / 2] : (v[v.length / 2 - 1] + v[v.length / 2]) / 2; };
  const all = Object.values(figures.per).flat();
  for (const [id, values] of Object.entries(figures.per)) {
    console.log(`switch to ${id.padEnd(10)} (${String(figures.pages[id]).padStart(2)} A4 pages): median ${median(values).toFixed(1)} ms, worst ${Math.max(...values).toFixed(1)} ms`);
  }
  const overall = median(all);
  console.log(`switching template on a 120-item menu, click to new pages in the DOM: median ${overall.toFixed(1)} ms, worst ${Math.max(...all).toFixed(1)} ms ` +
    `over ${all.length} switches (budget ${BUDGET_MS} ms: ${overall < BUDGET_MS ? "met" : "MISSED"})`);
} finally {
  await browser.close();
  await program.remove();
}
