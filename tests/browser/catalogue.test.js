// The catalogue shared by every menu: a dish changed here changes on every menu that shows it,
// and the screen says which menus those are; dishes move between categories, are found by
// search and filter, and are deleted with a warning that names the menus losing them.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { screenshot, seed, openFreshProgram } from "./harness.js";
import { expect } from "./expect.js";
import { itemRow } from "./steps.js";

let program;
let browser;
let page;
let shop;

const shared = { name: "Espresso", detail: "Single origin", extras: "", price: "250", hidden: false };
before(async () => {
  ({ program, browser, page } = await openFreshProgram());
  [shop] = await seed(page, [{ name: "Kaffeehaus", menus: [
    { name: "Morning", rcategories: [{ name: "Coffee", description: "", hidden: false, ritems: [shared,
      { name: "Cappuccino", detail: "With milk foam", extras: "", price: "320", hidden: false }] },
      { name: "Cakes", description: "", hidden: false, ritems: [{ name: "Apple strudel", detail: "Warm", extras: "vanilla sauce", price: "450", hidden: false }] }] },
    { name: "Afternoon", rcategories: [{ name: "Coffee", description: "", hidden: false, ritems: [shared] }] }] }]);
});
after(async () => { await browser?.close(); await program?.remove(); });

test("a dish edited in the catalogue says where it shows and changes on every one of those menus", async () => {
  await page.getByRole("navigation").getByRole("link", { name: "Catalogue" }).click();
  const espresso = page.locator("tr", { hasText: "Espresso" });
  await expect(espresso).toContainText("Shown on 2 menus");
  await expect(page.locator("tr", { hasText: "Cappuccino" })).toContainText("Shown on 1 menu");
  await espresso.getByRole("button", { name: "Edit Espresso" }).click();
  const dialog = page.getByRole("dialog");
  await expect(dialog).toContainText("Shown on 2 menus (Morning, Afternoon)");
  await screenshot(page, "16-catalogue-edit-shared-dish");
  await dialog.getByLabel(/^Price/).fill("2.80");
  await dialog.getByLabel("Description").fill("Single origin, roasted in town");
  await dialog.getByRole("button", { name: "Save dish" }).click();
  await expect(espresso).toContainText("$2.80");
  for (const menu of shop.menus) {
    await page.goto(program.url + "#/menu/" + menu);
    await expect(itemRow(page, "Espresso").locator("input.price")).toHaveValue("2.80");
    await expect(page.locator("#page-views svg").first()).toContainText("roasted in town");
  }
  // Saving through the catalogue left no menu behind and changed no menu's choice.
  await page.getByRole("navigation").getByRole("link", { name: "Menus" }).click();
  await expect(page.locator("tbody tr")).toHaveCount(2);
  await page.goto(program.url + "#/menu/" + shop.menus[1]);
  await expect(page.locator(".edit-item input.show:checked")).toHaveCount(1);
});

test("dishes are found by search and by category, and move between categories", async () => {
  await page.getByRole("navigation").getByRole("link", { name: "Catalogue" }).click();
  await page.getByLabel("Search dishes").fill("vanilla");
  await expect(page.locator("tbody tr")).toHaveCount(1);
  await expect(page.locator("tbody")).toContainText("Apple strudel");
  await page.getByLabel("Search dishes").fill("");
  await page.getByLabel("Show").selectOption({ label: "Coffee" });
  await expect(page.locator("tbody tr")).toHaveCount(2);
  await page.getByLabel("Show").selectOption("");
  await page.getByRole("button", { name: "Edit Cappuccino" }).click();
  await page.getByRole("dialog").getByLabel("Category").selectOption({ label: "Cakes" });
  await page.getByRole("dialog").getByRole("button", { name: "Save dish" }).click();
  const cakes = page.locator("section.category-block", { has: page.getByRole("heading", { name: "Cakes" }) });
  await expect(cakes.locator("tbody tr")).toHaveCount(2);
  await expect(cakes).toContainText("Cappuccino");
  const coffee = page.locator("section.category-block", { has: page.getByRole("heading", { name: "Coffee" }) });
  await expect(coffee.locator("tbody tr")).toHaveCount(1);
});

test("a category is renamed and described, and menus show the new heading", async () => {
  await page.getByRole("button", { name: "Rename Cakes" }).click();
  const dialog = page.getByRole("dialog");
  await dialog.getByLabel("Name", { exact: true }).fill("Cakes and pastries");
  await dialog.getByLabel("Description").fill("Baked this morning");
  await dialog.getByRole("button", { name: "Save" }).click();
  await expect(page.getByRole("heading", { name: "Cakes and pastries" })).toBeVisible();
  await expect(page.locator("section.category-block", { hasText: "Cakes and pastries" })).toContainText("Baked this morning");
  await page.goto(program.url + "#/menu/" + shop.menus[0]);
  await expect(page.locator("#page-views svg").first()).toContainText("Cakes and pastries");
  await expect(page.locator("#page-views svg").first()).toContainText("Baked this morning");
  await page.getByRole("navigation").getByRole("link", { name: "Catalogue" }).click();
});

test("deleting a dish names the menus that lose it", async () => {
  await page.getByRole("button", { name: "Delete Espresso" }).click();
  const dialog = page.getByRole("dialog");
  await expect(dialog).toContainText("It disappears from the menus Morning, Afternoon.");
  await dialog.getByRole("button", { name: "Delete dish" }).click();
  await expect(page.locator("tr", { hasText: "Espresso" })).toHaveCount(0);
  await page.goto(program.url + "#/menu/" + shop.menus[1]);
  await expect(page.locator(".edit-item")).toHaveCount(2);
  assert.equal(await page.locator('.edit-item input.name[value="Espresso"]').count(), 0);
  assert.deepEqual(browser.problems, []);
});
