// A 120-item menu in headless chromium against the real program: the layout from menu data to
// SVG pages (median of 20, in the page, with the bundled fonts), and the whole download (layout,
// posting the pages, the PDF made and received) measured in the browser. Prints figures; the
// budgets are 50 ms for the layout and 1.5 s for the download.
//
//     node bench/browser_menu.mjs [build folder]
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
process.env.TAVOLEX_BUILD_DIR = path.resolve(process.argv[2] || process.env.TAVOLEX_BUILD_DIR || path.join(here, "..", "build"));
const { Program, openBrowser } = await import(path.join(here, "..", "tests", "browser", "harness.js"));

const CATEGORIES = 8;
const PER_CATEGORY = 15;
const RUNS = 20;
const DOWNLOADS = 10;

const program = await Program.start();
const browser = await openBrowser();
const page = browser.page;
try {
  await page.goto(program.url);
  await page.waitForSelector("h1");
  const menuId = await page.evaluate(async ({ categories, perCategory }) => {
    const post = async (route, body) => (await fetch(route, { method: "POST", body: JSON.stringify(body) })).json();
    const business = await post("api/business/add", { name: "Bench Bistro", address: "1 Long Road", phone: "555 0100", email: "", website: "" });
    const menu = await post("api/menu/add", { name: "Bench menu", restaurant_id: business.id, settings: { papersize: "A4", columns: "2", font: "Lato" },
      rcategories: Array.from({ length: categories }, (_, c) => ({ name: "Category " + (c + 1), description: "Dishes of the house, group " + (c + 1), hidden: false,
        ritems: Array.from({ length: perCategory }, (_, i) => ({ name: "Dish " + (c + 1) + "." + (i + 1) + " of the day", hidden: false,
          detail: "Slow-cooked with seasonal vegetables, herbs from the garden and a sauce of the day", extras: i % 3 ? "" : "vegetarian", price: String(450 + 37 * i) })) })) });
    return menu.id;
  }, { categories: CATEGORIES, perCategory: PER_CATEGORY });
  await page.goto(program.url + "#/menu/" + menuId);
  await page.waitForSelector("#page-views svg");
  const figures = await page.evaluate(async ({ runs, downloads, id }) => {
    const { layOut } = await import("./js/editor.js");
    const { canvasMeasure, loadPageFonts } = await import("./js/layout.js");
    const { completeSettings } = await import("./js/templates/index.js");
    const { normalCurrency } = await import("./js/money.js");
    const { downloadPdf } = await import("./js/pdf.js");
    const answer = await (await fetch("api/menu/get?id=" + id)).json();
    const currency = normalCurrency(null);
    const model = { ...answer, settings: completeSettings({ papersize: "A4", columns: "2", font: "Lato", ...answer.settings }) };
    await loadPageFonts("Lato");
    const median = (values) => { const v = [...values].sort((a, b) => a - b); return v.length % 2 ? v[(v.length - 1) / 2] : (v[v.length / 2 - 1] + v[v.length / 2]) / 2; };
    const layouts = [];
    let result;
    for (let i = 0; i < runs; i++) {
      const measure = canvasMeasure();            // a fresh cache each run: every line measured anew
      const start = performance.now();
      result = layOut(model, currency, measure);
      layouts.push(performance.now() - start);
    }
    const whole = [];
    let bytes = 0;
    for (let i = 0; i < downloads; i++) {
      const start = performance.now();
      const pages = layOut(model, currency, canvasMeasure()).pages;
      const done = await downloadPdf({ name: "Bench menu", paper: "A4", pages });
      whole.push(performance.now() - start);
      if (!done.ok) throw new Error(done.message);
      bytes = done.bytes;
    }
    return { layoutMedian: median(layouts), layoutBest: Math.min(...layouts), pages: result.pages.length,
      svgBytes: result.pages.reduce((n, p) => n + p.length, 0), downloadMedian: median(whole), downloadBest: Math.min(...whole), pdfBytes: bytes };
  }, { runs: RUNS, downloads: DOWNLOADS, id: menuId });
  const items = CATEGORIES * PER_CATEGORY;
  console.log(`layout of a ${items}-item menu to SVG (${figures.pages} A4 pages, ${figures.svgBytes} bytes of SVG): ` +
    `median ${figures.layoutMedian.toFixed(1)} ms, best ${figures.layoutBest.toFixed(1)} ms over ${RUNS} runs (budget 50 ms)`);
  console.log(`whole download in the browser (layout, post, PDF of ${figures.pdfBytes} bytes received): ` +
    `median ${figures.downloadMedian.toFixed(0)} ms, best ${figures.downloadBest.toFixed(0)} ms over ${DOWNLOADS} runs (budget 1500 ms)`);
} finally {
  await browser.close();
  await program.remove();
}
