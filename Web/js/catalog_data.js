// The catalogue as the program keeps it: categories and products shared by every menu.
//
// The program lists products with their categories only inside a menu (api/menu/get lists the
// whole catalogue with that menu's choice in it), and it creates and changes products only
// through menu add and menu save. So the catalogue screen reads through any menu, and writes
// through a short-lived working menu that it adds, and removes again at once, so that no menu
// of the owner changes its own choice or order.
import * as api from "./api.js";
import { loadMenus } from "./store.js";

const WORKING_MENU = "Tavolex catalogue change";

async function removeWorkingMenus(menus) {
  const leftovers = menus.filter((m) => m.name === WORKING_MENU).map((m) => m.id);
  if (leftovers.length) await api.postJson("api/menu/delete", { rid: leftovers });
  return menus.filter((m) => m.name !== WORKING_MENU);
}

// Runs one menu add carrying `categories` and removes the working menu again. The answer is the
// completed request (new keys filled in).
async function throughWorkingMenu(businessId, categories) {
  const added = await api.postJson("api/menu/add", { name: WORKING_MENU, restaurant_id: businessId, settings: {}, rcategories: categories });
  if (added.data?.id) await api.postJson("api/menu/delete", { rid: [added.data.id] });
  return added;
}

// {ok, categories: [{category_id, name, description, items: [...]}], loose: [...], usage: Map}
// `usage` maps a product key to the menus that show it (a Map of menu key to menu name).
export async function loadCatalogue(businessId) {
  const [menusAnswer, productsAnswer] = await Promise.all([loadMenus(""), api.postForm("api/product/fetchall")]);
  if (!menusAnswer.ok) return menusAnswer;
  if (!productsAnswer.ok) return productsAnswer;
  const menus = await removeWorkingMenus(menusAnswer.menus);
  const usage = new Map();
  let shape = null;
  const reads = await Promise.all(menus.map((m) => api.get("api/menu/get", { id: m.id })));
  for (const [index, answer] of reads.entries()) {
    if (!answer.ok) return answer;
    shape = shape || answer.data;
    for (const category of answer.data.rcategories || []) {
      for (const item of category.ritems || []) {
        if (category.hidden || item.hidden) continue;
        const names = usage.get(item.product_id) || new Map();
        names.set(menus[index].id, menus[index].name || "(no name)");
        usage.set(item.product_id, names);
      }
    }
  }
  if (!shape) {
    if (!businessId) return { ok: true, categories: [], loose: productsAnswer.data.data || [], usage, needsBusiness: true };
    const added = await api.postJson("api/menu/add", { name: WORKING_MENU, restaurant_id: businessId, settings: {}, rcategories: [] });
    if (!added.ok) return added;
    const read = await api.get("api/menu/get", { id: added.data.id });
    await api.postJson("api/menu/delete", { rid: [added.data.id] });
    if (!read.ok) return read;
    shape = read.data;
  }
  const categories = (shape.rcategories || []).filter((c) => c.category_id !== null).map((c) => ({
    category_id: c.category_id, name: c.name, description: c.description,
    items: (c.ritems || []).map((i) => ({ product_id: i.product_id, name: i.name, detail: i.detail, extras: i.extras, price: i.price })),
  }));
  const placed = new Set(categories.flatMap((c) => c.items.map((i) => i.product_id)));
  const loose = (productsAnswer.data.data || []).filter((p) => !placed.has(p.id)).map((p) => ({
    product_id: p.id, name: p.name, detail: p.description || "", extras: p.extra || "", price: String(p.price ?? "0"),
  }));
  return { ok: true, categories, loose, usage };
}

export async function addCategory(name, description) {
  return api.postForm("api/category/add", { name, description });
}

export async function saveCategory(businessId, category) {
  return throughWorkingMenu(businessId, [{ category_id: category.category_id, name: category.name,
    description: category.description, hidden: true, ritems: [] }]);
}

export async function deleteCategory(id) {
  return api.postForm("api/category/delete", { id });
}

// Stores a product (new when it has no key) in `category`; moves it there from `fromCategoryId`.
export async function saveProduct(businessId, category, product, fromCategoryId) {
  if (product.product_id && fromCategoryId && fromCategoryId !== category.category_id) {
    const cleared = await api.postForm("api/product/categoryclear", { product_id: product.product_id });
    if (!cleared.ok) return cleared;
  }
  const item = { name: product.name, detail: product.detail, extras: product.extras, price: product.price, hidden: true };
  if (product.product_id) item.product_id = product.product_id;
  const answer = await throughWorkingMenu(businessId, [{ category_id: category.category_id, name: category.name,
    description: category.description, hidden: true, ritems: [item] }]);
  if (answer.ok) answer.productId = answer.data.rcategories?.[0]?.ritems?.[0]?.product_id || product.product_id;
  return answer;
}

export async function deleteProduct(id) {
  return api.postJson("api/product/delete", { id });
}
