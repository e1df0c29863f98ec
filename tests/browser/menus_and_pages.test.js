// The menus list (add, copy, move, delete several), deleting a business with the menus that go
// with it, reordering by drag and drop, and the pages: paper size, two columns, categories kept
// whole across pages, page numbers, and a dish too long for a page flagged instead of cut.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import path from "node:path";
import { openBrowser, screenshot, seed, shotsDir, unlabelledControls, openFreshProgram } from "./harness.js";
import { expect } from "./expect.js";
import { newMenu, itemRow } from "./steps.js";

let program;
let browser;
let page;
let uno;
let due;
const dishes = (prefix, count, detail) => Array.from({ length: count }, (_, i) => ({
  name: `${prefix} ${i + 1}`, detail, extras: "", price: String(800 + 50 * i), hidden: false }));

before(async () => {
  ({ program, browser, page } = await openFreshProgram());
  [uno, due] = await seed(page, [
    { name: "Trattoria Uno", address: "Via Roma 1", menus: [
      { name: "Pranzo", rcategories: [
        { name: "Antipasti", description: "", hidden: false, ritems: dishes("Antipasto", 3, "Olive oil and bread") },
        { name: "Pasta", description: "", hidden: false, ritems: dishes("Pasta", 2, "Fresh every morning") }] },
      { name: "Cena" }, { name: "Vini" }] },
    { name: "Trattoria Due", menus: [{ name: "Colazione" }] },
  ]);
});
after(async () => { await browser?.close(); await program?.remove(); });

test("menus are listed per business, copied, moved and deleted several at once", async () => {
  await page.goto(program.url + "#/menus/" + uno.id);
  await expect(page.locator("tbody tr")).toHaveCount(3);
  const pranzo = page.locator("tr", { hasText: "Pranzo" });
  await pranzo.getByRole("button", { name: "Copy Pranzo" }).click();
  const dialog = page.getByRole("dialog");
  await expect(dialog.getByLabel("Name of the copy")).toHaveValue("Pranzo - Copy");
  await dialog.getByLabel("Name of the copy").fill("Pranzo estate");
  await dialog.getByRole("button", { name: "Copy menu" }).click();
  await expect(page.locator("tbody tr")).toHaveCount(4);
  // The copy shows what the original shows.
  await page.locator("tr", { hasText: "Pranzo estate" }).getByRole("link", { name: "Open Pranzo estate" }).click();
  await expect(page.locator(".edit-item input.show:checked")).toHaveCount(5);
  await page.goBack();
  await expect(page.locator("tbody tr")).toHaveCount(4);

  await page.locator("tr", { hasText: "Vini" }).getByRole("button", { name: "Move Vini" }).click();
  await page.getByRole("dialog").getByLabel("To the business").selectOption(due.id);
  await page.getByRole("dialog").getByRole("button", { name: "Move menu" }).click();
  await expect(page.locator("tbody tr")).toHaveCount(3);
  await page.getByLabel("Business").selectOption("");
  await expect(page.locator("tr", { hasText: "Vini" })).toContainText("Trattoria Due");
  await screenshot(page, "11-menus");
  assert.deepEqual(await unlabelledControls(page), [], "every control has a name");

  await page.getByRole("checkbox", { name: "Select Cena" }).check();
  await page.getByRole("checkbox", { name: "Select Pranzo estate" }).check();
  await page.getByRole("button", { name: "Delete 2 menus" }).click();
  await expect(page.getByRole("dialog")).toContainText("Cena");
  await expect(page.getByRole("dialog")).toContainText("Pranzo estate");
  await page.getByRole("dialog").getByRole("button", { name: "Delete" }).click();
  await expect(page.locator("tbody tr")).toHaveCount(3);
  for (const gone of ["Cena", "Pranzo estate"]) assert.equal(await page.locator("tr", { hasText: gone }).count(), 0);
});

test("deleting a business names the menus that go with it", async () => {
  await page.getByRole("navigation").getByRole("link", { name: "Businesses" }).click();
  await page.getByRole("button", { name: "Delete Trattoria Due" }).click();
  const dialog = page.getByRole("dialog");
  await expect(dialog).toContainText("Its 2 menus go with it");
  await expect(dialog.locator("ul.doomed li")).toHaveCount(2);
  await expect(dialog).toContainText("Colazione");
  await expect(dialog).toContainText("Vini");
  await screenshot(page, "12-business-delete");
  assert.deepEqual(await unlabelledControls(page), [], "every control has a name");
  await dialog.getByRole("button", { name: "Delete business" }).click();
  await expect(page.locator("article.card")).toHaveCount(1);
  await page.getByRole("navigation").getByRole("link", { name: "Menus" }).click();
  await expect(page.locator("tbody tr")).toHaveCount(1);
  await expect(page.locator("tbody")).toContainText("Pranzo");
});

test("dishes are reordered by drag and drop, and the pages follow", async () => {
  await page.goto(program.url + "#/menu/" + uno.menus[0]);
  await expect(page.locator(".edit-item")).toHaveCount(5);
  await itemRow(page, "Antipasto 3").locator(".handle").dragTo(itemRow(page, "Antipasto 1"));
  const names = await page.locator('.edit-category:first-child .edit-item input.name').evaluateAll((e) => e.map((i) => i.value));
  assert.deepEqual(names, ["Antipasto 3", "Antipasto 1", "Antipasto 2"]);
  await expect(page.locator("#page-views svg").first()).toContainText(/Antipasto 3.*Antipasto 1.*Antipasto 2/);
  // Whole categories move too, here by keyboard.
  await page.getByRole("button", { name: "Move Pasta: arrow keys up and down" }).focus();
  await page.keyboard.press("ArrowUp");
  await expect(page.locator(".edit-category input.cat-name").first()).toHaveValue("Pasta");
  await expect(page.locator("#page-views svg").first()).toContainText(/Pasta.*Antipasti/);
  await page.getByRole("button", { name: "Save menu" }).click();
  await expect(page.locator("#save-state")).toContainText("All changes saved");
  await expect(page.locator(".edit-category input.cat-name").first()).toHaveValue("Pasta");
  await expect(page.locator('.edit-category:nth-child(2) .edit-item input.name').first()).toHaveValue("Antipasto 3");
});

test("pages keep categories whole, number themselves, and print on Letter", async () => {
  const [shop] = await seed(page, [{ name: "Deli Long", menus: [{ name: "Big board",
    settings: { papersize: "Letter", columns: "2", font: "DejaVu Serif" },
    rcategories: [
      { name: "Cheeses", description: "From small farms", hidden: false, ritems: dishes("Cheese", 24, "Aged and served with honey, walnuts and bread from the bakery next door") },
      { name: "Cured meats", description: "", hidden: false, ritems: dishes("Ham", 9, "Sliced to order") },
      { name: "Sandwiches", description: "", hidden: false, ritems: dishes("Sandwich", 3, "On sourdough") }] }] }]);
  await page.goto(program.url + "#/menu/" + shop.menus[0]);
  await expect(page.locator("#page-count")).toContainText("Letter");
  const pages = await page.locator("#page-views svg").evaluateAll((svgs) => svgs.map((s) => ({
    text: s.textContent, width: s.getAttribute("width"), height: s.getAttribute("height") })));
  assert.ok(pages.length >= 2, "the menu needs more than one page");
  assert.equal(await page.locator("#overflow").textContent(), "", "every dish fits");
  for (const [index, one] of pages.entries()) {
    assert.equal(one.width, "612");
    assert.equal(one.height, "792");
    assert.ok(one.text.includes(`${index + 1} / ${pages.length}`), "page number on page " + (index + 1));
  }
  // Every category lies on one page: none of them is split between two.
  for (const prefix of ["Ham ", "Sandwich "]) {
    const holding = pages.filter((p) => p.text.includes(prefix + "1"));
    const all = pages.filter((p) => p.text.includes(prefix));
    assert.equal(holding.length, 1);
    assert.equal(all.length, 1, prefix + "dishes stay on one page");
  }
  await screenshot(page, "13-editor-two-columns-letter");
  assert.deepEqual(await unlabelledControls(page), [], "every control has a name");
  const [download] = await Promise.all([page.waitForEvent("download"), page.getByRole("button", { name: "Download PDF" }).click()]);
  assert.equal(download.suggestedFilename(), "Big board.pdf");
  const file = path.join(shotsDir, "big-board.pdf");
  await download.saveAs(file);
  execFileSync("qpdf", ["--check", file]);
  const info = execFileSync("pdfinfo", [file]).toString();
  assert.match(info, new RegExp("Pages:\\s+" + pages.length + "\\n"));
  assert.match(info, /Page size:\s+612 x 79\d/);
  const text = execFileSync("pdftotext", [file, "-"]).toString();
  assert.ok(text.includes("Cheese 24") && text.includes("Sandwich 3"), text.slice(0, 400));
});

test("a dish taller than a whole page is left out and named, never cut", async () => {
  // The program keeps at most 259 characters per text, which always fits; the layout still
  // guards against a dish that cannot fit, measured here with the real fonts in the page.
  const result = await page.evaluate(async () => {
    const { canvasMeasure, loadPageFonts } = await import("./js/layout.js");
    const { layoutMenu } = await import("./js/templates/index.js");
    await loadPageFonts("Lato");
    const menu = { name: "Test", header: {}, rcategories: [{ name: "Soups", description: "", hidden: false, ritems: [
      { name: "Short soup", detail: "Leek and potato", extras: "", price: "500", hidden: false },
      { name: "Endless soup", detail: "A long story of the soup. ".repeat(400), extras: "", price: "900", hidden: false }] }] };
    const laid = layoutMenu(menu, { papersize: "A4", columns: "1", font: "Lato" }, (p) => p, canvasMeasure());
    return { overflow: laid.overflow.map((i) => i.name), pages: laid.pages };
  });
  assert.deepEqual(result.overflow, ["Endless soup"]);
  assert.equal(result.pages.length, 1);
  assert.ok(result.pages[0].includes("Short soup") && !result.pages[0].includes("Endless"));
});

test("the keyboard reaches the editor's controls one by one, each with a visible focus", async () => {
  await page.goto(program.url + "#/menu/" + uno.menus[0]);
  await expect(page.locator(".edit-item").first()).toBeVisible();
  const seen = new Set();
  // From the top of the page through the list, then from the list's last button through the
  // design beside the pages.
  for (let i = 0; i < 46; i++) {
    if (i === 0) await page.locator("#main").focus();
    if (i === 40) await page.getByRole("button", { name: "Add a category" }).focus();
    await page.keyboard.press("Tab");
    const focus = await page.evaluate(() => {
      const element = document.activeElement;
      const style = getComputedStyle(element);
      return { what: element.tagName + "." + element.className + ":" + (element.getAttribute("aria-label") || element.textContent.trim().slice(0, 20)),
        outline: style.outlineStyle, width: parseFloat(style.outlineWidth) };
    });
    assert.notEqual(focus.outline, "none", "visible focus on " + focus.what);
    assert.ok(focus.width >= 2, "a focus ring of at least 2 px on " + focus.what);
    seen.add(focus.what.split(":")[0]);
  }
  for (const kind of ["INPUT.", "SELECT.", "BUTTON.handle", "INPUT.show", "INPUT.price"]) {
    assert.ok([...seen].some((what) => what.startsWith(kind)), kind + " reached by Tab: " + [...seen].join(", "));
  }
});

test("the editor stays usable at 200 % zoom", async () => {
  const zoomed = await openBrowser({ viewport: { width: 640, height: 400 }, deviceScaleFactor: 2 });
  try {
    await zoomed.page.goto(program.url + "#/menu/" + uno.menus[0]);
    await expect(zoomed.page.locator(".edit-item input.show:checked")).toHaveCount(5);
    const overflowing = await zoomed.page.evaluate(() => document.documentElement.scrollWidth > window.innerWidth + 1);
    assert.equal(overflowing, false, "no sideways scrolling at 200 %");
    await screenshot(zoomed.page, "14-editor-200-percent");
    await zoomed.page.goto(program.url + "#/businesses");
    await expect(zoomed.page.locator("article.card")).toHaveCount(2);
    await screenshot(zoomed.page, "15-businesses-200-percent");
  } finally {
    await zoomed.close();
  }
  assert.deepEqual(browser.problems, []);
});
