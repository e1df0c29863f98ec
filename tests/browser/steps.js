// Steps an owner takes, written once for the tests and the benchmarks.
import { expect } from "./expect.js";

export async function addBusiness(page, { name, address = "", phone = "", email = "", zone, symbol, place, decimal, thousands }) {
  await page.goto(page.url().replace(/#.*$/, "") + "#/businesses");
  await page.getByRole("button", { name: /^Add (a|your first) business$/ }).first().click();
  await page.getByLabel("Name", { exact: true }).fill(name);
  await page.getByLabel("Address").fill(address);
  await page.getByLabel("Phone").fill(phone);
  await page.getByLabel("E-mail").fill(email);
  if (zone) {
    await page.getByLabel("Time zone", { exact: true }).fill(zone.search);
    await page.getByLabel("Time zones found").selectOption(zone.key);
  }
  if (symbol !== undefined) await page.getByLabel("Currency symbol").fill(symbol);
  if (place !== undefined) await page.getByLabel("Symbol position").selectOption(String(place));
  if (decimal) await page.getByLabel("Decimal mark").selectOption(decimal);
  if (thousands !== undefined) await page.getByLabel("Thousands mark").selectOption(thousands);
}

export async function saveBusinessForm(page) {
  await page.getByRole("button", { name: /^(Add business|Save changes)$/ }).click();
}

export async function addCategory(page, name, description = "") {
  const first = page.getByRole("button", { name: "Add the first category" });
  if (await first.count()) await first.click();
  else await page.getByRole("button", { name: "New category" }).click();
  const dialog = page.getByRole("dialog");
  await dialog.getByLabel("Name", { exact: true }).fill(name);
  await dialog.getByLabel("Description").fill(description);
  await dialog.getByRole("button", { name: "Add category" }).click();
  await expect(page.getByRole("heading", { name, level: 2 })).toBeVisible();
}

export async function addDish(page, category, { name, detail = "", extras = "", price }) {
  await page.getByRole("button", { name: "Add a dish to " + category }).click();
  const dialog = page.getByRole("dialog");
  await dialog.getByLabel("Name", { exact: true }).fill(name);
  await dialog.getByLabel("Description").fill(detail);
  await dialog.getByLabel("Extras").fill(extras);
  await dialog.getByLabel(/^Price/).fill(price);
  await dialog.getByRole("button", { name: "Add dish" }).click();
}

export async function newMenu(page, name, paper = "A4") {
  await page.goto(page.url().replace(/#.*$/, "") + "#/menus");
  await page.getByRole("button", { name: /^(New menu|Make a menu)$/ }).first().click();
  const dialog = page.getByRole("dialog");
  await dialog.getByLabel("Name", { exact: true }).fill(name);
  await dialog.getByLabel("Paper size").selectOption(paper);
  await dialog.getByRole("button", { name: "Make menu" }).click();
  await expect(page.getByLabel("Menu name")).toHaveValue(name);
}

export function itemRow(page, dish) {
  return page.locator(".edit-item").filter({ has: page.locator(`input.name[value="${dish}"]`) });
}
export function categoryRow(page, name) {
  return page.locator(".edit-category").filter({ has: page.locator(`input.cat-name[value="${name}"]`) });
}

// A menu of `categories` × `perCategory` dishes with descriptions, some with extras, as seed() takes it.
export function bigMenu(name, { categories = 6, perCategory = 10, settings } = {}) {
  const names = ["Starters", "Soups", "Pasta", "Mains", "Desserts", "Drinks", "Cheese", "Sides"];
  return { name, settings, rcategories: Array.from({ length: categories }, (_, c) => ({
    name: names[c % names.length] + (c >= names.length ? " " + (c + 1) : ""), description: c % 2 ? "" : "Made here every morning", hidden: false,
    ritems: Array.from({ length: perCategory }, (_, i) => ({
      name: `Dish ${c + 1}.${i + 1}`, detail: i % 2 ? "Slow-cooked with seasonal vegetables and herbs from the garden" : "With bread",
      extras: i % 4 === 0 ? "vegetarian" : "", price: String(450 + 100 * c + 13 * i), hidden: false })) })) };
}

// The prices of bigMenu as the default business format prints them ("$4.63").
export function bigMenuPrices({ categories = 6, perCategory = 10 } = {}) {
  const out = [];
  for (let c = 0; c < categories; c++) for (let i = 0; i < perCategory; i++) out.push({ name: `Dish ${c + 1}.${i + 1}`, price: "$" + ((450 + 100 * c + 13 * i) / 100).toFixed(2) });
  return out;
}
