// The catalogue: categories and their dishes, shared by every menu of every business. Prices
// are typed and shown in the format of the business chosen at the top.
import { h, field, input, select, setFieldError, announce, confirmDialog, openDialog, emptyState } from "./ui.js";
import { formatPrice, formatAmount, parsePrice } from "./money.js";
import { loadBusinesses, loadCurrency, rememberBusiness, rememberedBusiness, problem } from "./store.js";
import * as data from "./catalog_data.js";
import { pagesOfStoredMenu } from "./menu_pages.js";
import { downloadPdf, runWithProgress, exportProgress, showFailure } from "./pdf.js";

let state = null;

async function render(container) {
  const list = await loadBusinesses();
  if (!list.ok) return problem(container, list);
  if (!list.businesses.length) {
    container.replaceChildren(h("div", { class: "screen-head" }, h("h1", {}, "Catalogue")),
      emptyState("Add your business first", "The catalogue keeps your dishes and prices. Add a business first, so Tavolex knows how you write prices.",
        h("a", { class: "button primary", href: "#/businesses" }, "Go to businesses")));
    return;
  }
  const businessId = rememberedBusiness(list.businesses);
  const [catalogue, currency] = await Promise.all([data.loadCatalogue(businessId), loadCurrency(businessId)]);
  if (!catalogue.ok) return problem(container, catalogue);
  if (!currency.ok) return problem(container, currency);
  state = { container, businesses: list.businesses, businessId, catalogue, currency: currency.currency, query: "", only: "" };
  draw();
}

function draw() {
  const { container, catalogue } = state;
  const search = input({ type: "search", id: "catalogue-search", value: state.query, placeholder: "Name, description or extras" });
  search.addEventListener("input", () => { state.query = search.value; drawList(); });
  const only = select([{ value: "", label: "All categories" },
    ...catalogue.categories.map((c) => ({ value: c.category_id, label: c.name }))], state.only, { id: "catalogue-filter" });
  only.addEventListener("change", () => { state.only = only.value; drawList(); });
  const business = select(state.businesses.map((b) => ({ value: b.id, label: b.name })), state.businessId, { id: "catalogue-business" });
  business.addEventListener("change", async () => { rememberBusiness(business.value); await render(container); });

  const head = h("div", { class: "screen-head" },
    h("div", {}, h("h1", {}, "Catalogue"),
      h("p", { class: "lead" }, "Your dishes and prices, shared by all menus. A change here shows on every menu with that dish.")),
    h("div", { class: "actions" },
      h("button", { onclick: () => categoryForm(null) }, "New category"),
      h("button", { class: "primary", onclick: () => productForm(null, catalogue.categories[0]), disabled: !catalogue.categories.length }, "New dish")));
  const filters = h("div", { class: "filters", role: "search" },
    field("Search dishes", search), field("Show", only),
    state.businesses.length > 1 ? field("Prices written as for", business) : null);
  const listArea = h("div", { id: "catalogue-list" });
  container.replaceChildren(head, h("div", { id: "reprint" }), filters, listArea);
  drawList();
}

function matches(item) {
  const words = state.query.toLowerCase().split(/\s+/).filter(Boolean);
  const text = (item.name + " " + item.detail + " " + item.extras).toLowerCase();
  return words.every((w) => text.includes(w));
}

function usageText(productId) {
  const names = state.catalogue.usage.get(productId);
  if (!names || !names.size) return "Not shown on any menu";
  return names.size === 1 ? "Shown on 1 menu" : "Shown on " + names.size + " menus";
}

function drawList() {
  const area = document.getElementById("catalogue-list");
  const { catalogue } = state;
  if (!catalogue.categories.length) {
    area.replaceChildren(emptyState("Your catalogue is empty",
      "Start with a category such as Starters, Mains or Drinks, then add its dishes with their prices.",
      h("button", { class: "primary", onclick: () => categoryForm(null) }, "Add the first category")));
    return;
  }
  const blocks = [];
  for (const category of catalogue.categories) {
    if (state.only && state.only !== category.category_id) continue;
    const items = category.items.filter(matches);
    if (state.query && !items.length) continue;
    blocks.push(h("section", { class: "category-block", "aria-labelledby": "cat-" + category.category_id },
      h("header", {},
        h("h2", { id: "cat-" + category.category_id }, category.name),
        category.description ? h("p", {}, category.description) : null,
        h("button", { class: "small", onclick: () => productForm(null, category), "aria-label": "Add a dish to " + category.name }, "Add dish"),
        h("button", { class: "small quiet", onclick: () => categoryForm(category), "aria-label": "Rename " + category.name }, "Rename"),
        h("button", { class: "small link-danger", onclick: () => removeCategory(category), "aria-label": "Delete category " + category.name }, "Delete")),
      items.length ? productTable(items, category) : h("p", { class: "hint" }, "No dishes in this category yet.")));
  }
  if (!blocks.length) blocks.push(h("p", { role: "status" }, "No dish matches “" + state.query + "”."));
  area.replaceChildren(...blocks);
}

function productTable(items, category) {
  return h("table", { class: "list catalogue" },
    h("colgroup", {}, ["dish", "detail", "extras", "price", "menus", "actions"].map((c) => h("col", { class: "c-" + c }))),
    h("thead", {}, h("tr", {}, h("th", { scope: "col" }, "Dish"), h("th", { scope: "col" }, "Description"),
      h("th", { scope: "col" }, "Extras"), h("th", { scope: "col", class: "price" }, "Price"), h("th", { scope: "col" }, "Menus"),
      h("th", { scope: "col" }, h("span", { class: "visually-hidden" }, "Actions")))),
    h("tbody", {}, items.map((item) => h("tr", { "data-product": item.product_id },
      h("td", {}, h("strong", {}, item.name)), h("td", {}, item.detail), h("td", {}, item.extras),
      h("td", { class: "price" }, formatPrice(item.price, state.currency)),
      h("td", { class: "shared-note" }, state.catalogue.usage.get(item.product_id)?.size
        ? h("button", { class: "small quiet usage", onclick: () => showReprint({ dish: item.name, listOnly: true,
          menus: [...state.catalogue.usage.get(item.product_id)].map(([id, menuName]) => ({ id, name: menuName })) }),
          title: "List these menus, to print them again" }, usageText(item.product_id))
        : usageText(item.product_id)),
      h("td", { class: "actions" },
        h("button", { class: "small", onclick: () => productForm(item, category), "aria-label": "Edit " + item.name }, "Edit"),
        h("button", { class: "small link-danger", onclick: () => removeProduct(item), "aria-label": "Delete " + item.name }, "Delete"))))));
}

// After a dish shown on menus changed: those menus, each printable again in one click.
function showReprint({ dish, priceChanged, price, menus, listOnly }) {
  const area = document.getElementById("reprint");
  if (!area) return;
  const title = listOnly ? "“" + dish + "” is on these menus:" : priceChanged ? "“" + dish + "” now costs " + price + ". Print its menus again:" : "“" + dish + "” changed. Print its menus again:";
  const close = h("button", { class: "small quiet", onclick: () => area.replaceChildren(), "aria-label": "Close this list" }, "Close");
  area.replaceChildren(h("section", { class: "reprint", "aria-labelledby": "reprint-title" },
    h("div", { class: "reprint-head" }, h("h2", { id: "reprint-title" }, title), close),
    h("p", { class: "hint" }, menus.length === 1 ? "This menu shows the dish. The PDF is made from the menu as last saved."
      : "These " + menus.length + " menus show the dish. Each PDF is made from the menu as last saved."),
    h("ul", { class: "reprint-list" }, menus.map((menu) => h("li", { "data-menu": menu.id },
      h("strong", {}, menu.name),
      h("span", { class: "reprint-actions" },
        h("button", { class: "small primary", onclick: () => reprintMenu(menu), "aria-label": "Download PDF of " + menu.name }, "Download PDF"),
        h("a", { class: "button small", href: "#/menu/" + menu.id, "aria-label": "Open " + menu.name }, "Open")))))));
  area.querySelector("h2").scrollIntoView({ block: "nearest" });
}

async function reprintMenu(menu) {
  const result = await runWithProgress("Making the PDF of “" + menu.name + "”", async (report) => {
    report("Laying out the pages…", null);
    const laid = await pagesOfStoredMenu(menu.id);
    if (!laid.ok) return laid;
    return downloadPdf({ name: laid.name, paper: laid.paper, pages: laid.pages, progress: exportProgress(report, laid.pages) });
  });
  if (result.redirected) return;
  if (result.ok) announce("“" + result.fileName + "” was downloaded.");
  else await showFailure("The PDF could not be made", result.message);
}

async function categoryForm(category) {
  const name = input({ value: category?.name || "", maxlength: 259 });
  const description = input({ value: category?.description || "", maxlength: 259 });
  const nameField = field("Name", name, { required: true, hint: "For example Starters, Mains, Desserts" });
  await openDialog({
    title: category ? "Rename category" : "New category",
    body: [nameField, field("Description", description, { hint: "Printed under the heading; may stay empty" })],
    actions: [{ value: "cancel", label: "Cancel" }, { value: "save", label: category ? "Save" : "Add category" }],
    async onSubmit() {
      if (!name.value.trim()) { setFieldError(name, "Give the category a name."); name.focus(); return true; }
      const answer = category
        ? await data.saveCategory(state.businessId, { ...category, name: name.value.trim(), description: description.value.trim() })
        : await data.addCategory(name.value.trim(), description.value.trim());
      if (!answer.ok) { setFieldError(name, answer.message); return true; }
      announce(category ? "Category saved." : "Category “" + name.value.trim() + "” added.");
      await render(state.container);
      return false;
    },
  });
}

async function productForm(item, category) {
  const currency = state.currency;
  const name = input({ value: item?.name || "", maxlength: 259 });
  const detail = h("textarea", { rows: 2, maxlength: 259 }, item?.detail || "");
  const extras = input({ value: item?.extras || "", maxlength: 259 });
  const price = input({ value: item ? formatAmount(item.price, currency).text : "", inputmode: "decimal", class: "price" });
  const where = select(state.catalogue.categories.map((c) => ({ value: c.category_id, label: c.name })), category.category_id);
  const priceField = field("Price (" + (currency.symbol || "no symbol") + ")", price, { required: true, hint: "Like " + formatAmount(123450, currency).text });
  price.addEventListener("input", () => {
    const read = parsePrice(price.value, currency);
    setFieldError(price, price.value.trim() && !read.ok ? read.message : "");
  });
  const body = [field("Name", name, { required: true }), field("Description", detail), field("Extras", extras, { hint: "For example vegan, spicy, 0.3 l" }),
    priceField, field("Category", where)];
  if (item) {
    const names = state.catalogue.usage.get(item.product_id);
    body.unshift(h("p", { class: "banner" }, names?.size
      ? usageText(item.product_id) + " (" + [...names.values()].join(", ") + "). Your change shows on " + (names.size === 1 ? "it." : "all of them.")
      : "This dish is not shown on any menu yet."));
  }
  await openDialog({
    title: item ? "Edit dish" : "New dish in " + category.name,
    body,
    actions: [{ value: "cancel", label: "Cancel" }, { value: "save", label: item ? "Save dish" : "Add dish" }],
    async onSubmit() {
      let bad = false;
      if (!name.value.trim()) { setFieldError(name, "A dish needs a name."); bad = true; } else setFieldError(name, "");
      const read = parsePrice(price.value, currency);
      if (!read.ok) { setFieldError(price, read.message); bad = true; }
      if (bad) { (name.value.trim() ? price : name).focus(); return true; }
      const target = state.catalogue.categories.find((c) => c.category_id === where.value) || category;
      const answer = await data.saveProduct(state.businessId, target,
        { product_id: item?.product_id, name: name.value.trim(), detail: detail.value.trim(), extras: extras.value.trim(), price: read.minor },
        category.category_id);
      if (!answer.ok) { announce(answer.message, "error"); return true; }
      announce(item ? "Dish saved." : "“" + name.value.trim() + "” added.");
      const shownOn = item ? state.catalogue.usage.get(item.product_id) : null;
      const reprint = shownOn?.size ? { dish: name.value.trim(), priceChanged: String(read.minor) !== String(item.price),
        price: formatPrice(read.minor, currency), menus: [...shownOn].map(([id, menuName]) => ({ id, name: menuName })) } : null;
      await render(state.container);
      if (reprint) showReprint(reprint);
      return false;
    },
  });
}

async function removeCategory(category) {
  const body = [h("p", {}, "The category “" + category.name + "” will be deleted."),
    h("p", {}, category.items.length ? "Its " + category.items.length + " dishes stay in the catalogue but no longer belong to a category, so menus stop showing them." : "It has no dishes.")];
  if (!(await confirmDialog("Delete this category?", body, "Delete category"))) return;
  const answer = await data.deleteCategory(category.category_id);
  if (!answer.ok) return announce(answer.message, "error");
  announce("Category deleted.");
  await render(state.container);
}

async function removeProduct(item) {
  const names = state.catalogue.usage.get(item.product_id);
  const body = [h("p", {}, "“" + item.name + "” will be deleted from the catalogue."),
    h("p", {}, names?.size ? "It disappears from " + (names.size === 1 ? "the menu " : "the menus ") + [...names.values()].join(", ") + "." : "No menu shows it.")];
  if (!(await confirmDialog("Delete this dish?", body, "Delete dish"))) return;
  const answer = await data.deleteProduct(item.product_id);
  if (!answer.ok) return announce(answer.message, "error");
  announce("Dish deleted.");
  await render(state.container);
}

export default { render };
