// The menu editor: the whole catalogue with this menu's choice in it, edited in place, and the
// pages laid out live beside it. Unsaved changes live in a draft in localStorage until the
// program has stored them, so neither a closed window nor an ended session loses them.
import * as api from "./api.js";
import { h, input, select, announce, confirmDialog, openDialog } from "./ui.js";
import { formatAmount, formatPrice, parsePrice } from "./money.js";
import { loadCurrency, problem } from "./store.js";
import { PAPER_SIZES } from "./menus.js";
import { layoutMenu, canvasMeasure, loadPageFonts, FAMILIES } from "./layout.js";
import { downloadPdf } from "./pdf.js";

let s = null;        // this screen's state while it is shown
let nextKey = 1;

const draftKey = (id) => "tavolex.draft." + id;

function fromServer(menu, currency) {
  return {
    id: menu.id, name: menu.name, restaurant_id: menu.restaurant_id, header: menu.header || {},
    settings: { papersize: "A4", columns: "1", font: "Lato", ...(menu.settings || {}) },
    rcategories: (menu.rcategories || []).map((c) => ({
      key: "k" + nextKey++, category_id: c.category_id, name: c.name ?? "", description: c.description ?? "", hidden: !!c.hidden,
      ritems: (c.ritems || []).map((i) => ({
        key: "k" + nextKey++, product_id: i.product_id, name: i.name ?? "", detail: i.detail ?? "", extras: i.extras ?? "",
        price: String(i.price ?? "0"), priceText: formatAmount(i.price ?? "0", currency).text, hidden: !!i.hidden,
      })),
    })),
  };
}

function storeDraft() {
  try {
    localStorage.setItem(draftKey(s.model.id), JSON.stringify({ at: Date.now(), model: s.model }));
  } catch { /* storage full or switched off: the leave warning still guards the changes */ }
}
function readDraft(id) {
  try { return JSON.parse(localStorage.getItem(draftKey(id)) || "null"); } catch { return null; }
}
function dropDraft(id) {
  try { localStorage.removeItem(draftKey(id)); } catch { /* nothing kept */ }
}

function changed() {
  for (const category of s.model.rcategories) {
    const count = document.querySelector(`[data-key="${category.key}"] .cat-count`);
    if (count) count.textContent = shownCount(category);
  }
  s.dirty = true;
  storeDraft();
  showState();
  schedulePages();
}

function showState() {
  const line = document.getElementById("save-state");
  if (!line) return;
  line.textContent = s.dirty ? "Unsaved changes (kept in this browser)" : "All changes saved";
  line.classList.toggle("dirty", s.dirty);
}

async function render(container, [menuId]) {
  const answer = await api.get("api/menu/get", { id: menuId });
  if (!answer.ok) return problem(container, answer);
  const currency = await loadCurrency(answer.data.restaurant_id);
  if (!currency.ok) return problem(container, currency);
  s = { container, currency: currency.currency, dirty: false, pagesTimer: 0, measure: canvasMeasure(), layout: null };
  s.model = fromServer(answer.data, s.currency);
  const draft = readDraft(menuId);
  let restored = null;
  if (draft?.model?.id === menuId) {
    s.model = draft.model;
    s.dirty = true;
    restored = new Date(draft.at);
  }
  await loadPageFonts(s.model.settings.font);
  draw(restored);
}

function draw(restored) {
  const m = s.model;
  const name = input({ id: "menu-name", value: m.name, maxlength: 259 });
  name.addEventListener("input", () => { m.name = name.value; changed(); });
  const paper = select(PAPER_SIZES, m.settings.papersize, { id: "menu-paper" });
  paper.addEventListener("change", () => { m.settings.papersize = paper.value; changed(); });
  const columns = select([{ value: "1", label: "One column" }, { value: "2", label: "Two columns" }], m.settings.columns, { id: "menu-columns" });
  columns.addEventListener("change", () => { m.settings.columns = columns.value; changed(); });
  const font = select(FAMILIES.map((f) => ({ value: f, label: f })), m.settings.font, { id: "menu-font" });
  font.addEventListener("change", async () => { m.settings.font = font.value; await loadPageFonts(font.value); changed(); });
  const save = h("button", { class: "primary", id: "save-menu", onclick: saveMenu }, "Save menu");
  const download = h("button", { id: "download-pdf", onclick: downloadMenu }, "Download PDF");
  const bar = h("div", { class: "editor-bar" },
    h("div", { class: "field grow" }, h("label", { for: "menu-name" }, "Menu name"), name),
    h("div", { class: "field" }, h("label", { for: "menu-paper" }, "Paper"), paper),
    h("div", { class: "field" }, h("label", { for: "menu-columns" }, "Layout"), columns),
    h("div", { class: "field" }, h("label", { for: "menu-font" }, "Typeface"), font),
    h("div", { class: "editor-actions" }, h("p", { class: "state", id: "save-state", role: "status" }), save, download));
  const parts = [h("p", {}, h("a", { href: "#/menus/" + m.restaurant_id }, "← All menus of " + (m.header.name || "this business"))), bar];
  if (restored) {
    const discard = h("button", { class: "small", onclick: discardDraft }, "Discard them");
    parts.push(h("div", { class: "banner", id: "draft-banner" },
      h("p", {}, "Changes you had not saved (from " + restored.toLocaleString() + ") are back. Save the menu to keep them."), discard));
  }
  parts.push(h("p", { class: "shared-note" }, "Tick what this menu shows. Names, descriptions and prices belong to the catalogue: a change here shows on every menu with that dish."));
  const list = h("ol", { class: "edit-list", id: "edit-list", "aria-label": "Categories and dishes" });
  const live = h("p", { class: "visually-hidden", id: "move-live", "aria-live": "assertive" });
  const addCategory = h("button", { onclick: addNewCategory }, "Add a category");
  const left = h("section", { "aria-label": "Menu content" }, list, addCategory, live);
  const pages = h("section", { class: "pages", "aria-labelledby": "pages-title" },
    h("div", { class: "pages-head" }, h("h2", { id: "pages-title" }, "Pages"), h("p", { id: "page-count", class: "shared-note" })),
    h("div", { id: "overflow" }), h("div", { id: "page-views" }));
  parts.push(h("div", { class: "editor" }, left, pages));
  s.container.replaceChildren(...parts);
  drawList();
  showState();
  drawPages();
}

async function discardDraft() {
  dropDraft(s.model.id);
  s.dirty = false;
  await render(s.container, [s.model.id]);
}

// ---- the list

function drawList() {
  const list = document.getElementById("edit-list");
  list.replaceChildren(...s.model.rcategories.map((category, index) => categoryRow(category, index)));
}

function moveIn(array, from, to) {
  if (to < 0 || to >= array.length || from === to) return false;
  const [element] = array.splice(from, 1);
  array.splice(to, 0, element);
  return true;
}

function say(message) {
  const live = document.getElementById("move-live");
  if (live) live.textContent = message;
}

// A handle that moves its row with the arrow keys, and by drag and drop.
function handle(label, array, element, redraw) {
  const button = h("button", { type: "button", class: "handle", draggable: "true", "aria-label": "Move " + (label || "row") + ": arrow keys up and down",
    title: "Drag, or use the arrow keys, to move" }, "⠿");
  button.addEventListener("keydown", (event) => {
    if (event.key !== "ArrowUp" && event.key !== "ArrowDown") return;
    event.preventDefault();
    const from = array.indexOf(element);
    const to = from + (event.key === "ArrowUp" ? -1 : 1);
    if (!moveIn(array, from, to)) return;
    changed();
    redraw();
    document.querySelector(`[data-key="${element.key}"] .handle`)?.focus();
    say((label || "Row") + " moved to place " + (to + 1) + " of " + array.length + ".");
  });
  button.addEventListener("dragstart", (event) => {
    s.dragging = { array, element };
    event.dataTransfer.effectAllowed = "move";
    event.dataTransfer.setData("text/plain", element.key);
    button.closest("[data-key]").classList.add("dragging");
  });
  button.addEventListener("dragend", () => {
    document.querySelectorAll(".dragging, .drop-before").forEach((e) => e.classList.remove("dragging", "drop-before"));
  });
  return button;
}

function dropTarget(row, array, element, redraw) {
  row.addEventListener("dragover", (event) => {
    if (!s.dragging || s.dragging.array !== array) return;
    event.preventDefault();
    event.stopPropagation();
    row.classList.add("drop-before");
  });
  row.addEventListener("dragleave", () => row.classList.remove("drop-before"));
  row.addEventListener("drop", (event) => {
    if (!s.dragging || s.dragging.array !== array) return;
    event.preventDefault();
    event.stopPropagation();
    const from = array.indexOf(s.dragging.element);
    const to = array.indexOf(element);     // dropped onto a row: it takes that row's place
    if (moveIn(array, from, to)) { changed(); redraw(); say("Moved to place " + (to + 1) + "."); }
    s.dragging = null;
  });
}

function showToggle(element, label, row) {
  const box = h("input", { type: "checkbox", checked: !element.hidden, "aria-label": "Show " + (label || "this") + " on the menu", class: "show" });
  box.addEventListener("change", () => {
    element.hidden = !box.checked;
    row.classList.toggle("is-hidden", element.hidden);
    changed();
  });
  return box;
}

function shownCount(category) {
  return category.ritems.filter((i) => !i.hidden).length + " of " + category.ritems.length + " shown";
}

function categoryRow(category) {
  const isGroup = category.category_id === null;
  const title = isGroup ? "Dishes without a category" : category.name;
  const li = h("li", { class: "edit-category" + (category.hidden ? " is-hidden" : ""), "data-key": category.key, "data-category": category.category_id ?? "" });
  const name = input({ class: "cat-name", value: category.name, "aria-label": "Category name", maxlength: 259, disabled: isGroup });
  if (isGroup) name.value = title;
  name.addEventListener("input", () => { category.name = name.value; changed(); });
  const description = input({ class: "cat-desc", value: category.description, "aria-label": "Category description", placeholder: "Description (optional)", maxlength: 259, disabled: isGroup });
  description.addEventListener("input", () => { category.description = description.value; changed(); });
  const row = h("div", { class: "cat-row" + (category.error ? " has-error" : "") },
    handle(title, s.model.rcategories, category, drawList), showToggle(category, title, li), name, description,
    h("span", { class: "shared-note cat-count" }, shownCount(category)));
  if (category.error) row.append(h("p", { class: "row-error", role: "alert" }, category.error));
  dropTarget(li, s.model.rcategories, category, drawList);
  const items = h("ol", { class: "edit-items", "aria-label": "Dishes in " + title });
  const redrawItems = () => { items.replaceChildren(...category.ritems.map((item) => itemRow(category, item, redrawItems))); };
  redrawItems();
  const add = h("button", { class: "small quiet", onclick: () => addNewItem(category) }, "+ Add a dish to " + (title || "this category"));
  li.append(row, items, h("div", { class: "add-row" }, add));
  return li;
}

function itemRow(category, item, redrawItems) {
  const li = h("li", { class: "edit-item" + (item.hidden ? " is-hidden" : "") + (item.error || item.priceError ? " has-error" : ""),
    "data-key": item.key, "data-product": item.product_id || "" });
  const bind = (control, member) => control.addEventListener("input", () => { item[member] = control.value; changed(); });
  const name = input({ class: "name", value: item.name, "aria-label": "Dish name", maxlength: 259 });
  bind(name, "name");
  const detail = input({ class: "detail", value: item.detail, "aria-label": "Description of " + (item.name || "the dish"), placeholder: "Description", maxlength: 259 });
  bind(detail, "detail");
  const extras = input({ class: "extras", value: item.extras, "aria-label": "Extras of " + (item.name || "the dish"), placeholder: "Extras", maxlength: 259 });
  bind(extras, "extras");
  const price = input({ class: "price", value: item.priceText, inputmode: "decimal", "aria-label": "Price of " + (item.name || "the dish") + " in " + (s.currency.symbol || "the currency") });
  price.id = "price-" + item.key;
  const error = h("p", { class: "row-error", id: price.id + "-error", role: "alert", hidden: !(item.error || item.priceError) }, item.priceError || item.error || "");
  price.setAttribute("aria-describedby", error.id);
  price.addEventListener("input", () => {
    item.priceText = price.value;
    const read = parsePrice(price.value, s.currency);
    item.priceError = read.ok ? "" : read.message;
    if (read.ok) item.price = read.minor;
    error.textContent = item.priceError || item.error || "";
    error.hidden = !error.textContent;
    price.setAttribute("aria-invalid", item.priceError ? "true" : "false");
    li.classList.toggle("has-error", !!error.textContent);
    changed();
  });
  if (item.priceError) price.setAttribute("aria-invalid", "true");
  // A dish typed here but never saved can go again; a saved one is hidden, or deleted in the catalogue.
  const remove = item.product_id ? h("span") : h("button", { type: "button", class: "small quiet remove", "aria-label": "Remove this new dish",
    onclick: () => { category.ritems.splice(category.ritems.indexOf(item), 1); changed(); redrawItems(); } }, "✕");
  li.append(handle(item.name, category.ritems, item, redrawItems), showToggle(item, item.name, li), name, detail, extras, price, remove, error);
  dropTarget(li, category.ritems, item, redrawItems);
  return li;
}

function addNewItem(category) {
  const item = { key: "k" + nextKey++, name: "", detail: "", extras: "", price: "0", priceText: "", priceError: "", hidden: false };
  category.ritems.push(item);
  category.hidden = false;
  changed();
  drawList();
  document.querySelector(`[data-key="${item.key}"] input.name`)?.focus();
}

async function addNewCategory() {
  const name = input({ maxlength: 259, id: "new-cat-name" });
  const description = input({ maxlength: 259, id: "new-cat-desc" });
  const answer = await openDialog({
    title: "Add a category", body: [h("div", { class: "field" }, h("label", { for: "new-cat-name" }, "Name"), name),
      h("div", { class: "field" }, h("label", { for: "new-cat-desc" }, "Description (optional)"), description)],
    actions: [{ value: "cancel", label: "Cancel" }, { value: "add", label: "Add category" }],
    onSubmit() { if (!name.value.trim()) { name.focus(); return true; } return false; },
  });
  if (answer !== "add") return;
  const category = { key: "k" + nextKey++, name: name.value.trim(), description: description.value.trim(), hidden: false, ritems: [] };
  s.model.rcategories.push(category);
  changed();
  drawList();
  addNewItem(category);
}

// ---- pages

function schedulePages() {
  clearTimeout(s.pagesTimer);
  s.pagesTimer = setTimeout(drawPages, 120);
}

export function layOut(model, currency, measure) {
  const settings = model.settings;
  return layoutMenu(model, { paper: settings.papersize, columns: Number(settings.columns), font: settings.font },
    (minor) => formatPrice(minor, currency), measure);
}

function drawPages() {
  const views = document.getElementById("page-views");
  if (!views) return;
  s.layout = layOut(s.model, s.currency, s.measure);
  const { pages, overflow } = s.layout;
  views.replaceChildren(...pages.map((svg, index) => {
    const view = h("figure", { class: "page-view", "aria-label": "Page " + (index + 1) + " of " + pages.length, style: "margin:0 0 1rem" });
    view.innerHTML = svg;
    return view;
  }));
  document.getElementById("page-count").textContent = pages.length === 1 ? "1 page, " + s.model.settings.papersize : pages.length + " pages, " + s.model.settings.papersize;
  const box = document.getElementById("overflow");
  box.replaceChildren();
  const shown = s.model.rcategories.some((c) => !c.hidden && c.ritems.some((i) => !i.hidden));
  if (!shown) box.append(h("p", { class: "empty-pages" }, "Tick the categories and dishes this menu shows: they appear on the pages here."));
  if (overflow.length) {
    box.append(h("div", { class: "overflow-list", role: "alert" }, h("strong", {}, "Too long to fit on a page, so left out:"),
      h("ul", {}, overflow.map((item) => h("li", {}, item.name || "(dish without a name)"))),
      h("p", {}, "Shorten its description, or choose a larger paper.")));
  }
}

// ---- saving

function saveBody() {
  const m = s.model;
  return {
    id: m.id, name: m.name, restaurant_id: m.restaurant_id, settings: { ...m.settings },
    rcategories: m.rcategories.map((c) => {
      const category = { hidden: !!c.hidden, ritems: c.ritems.map((i) => {
        const item = { name: i.name.trim(), detail: i.detail.trim(), extras: i.extras.trim(), price: i.price, hidden: !!i.hidden };
        if (i.product_id) item.product_id = i.product_id;
        return item;
      }) };
      if (c.category_id === null) category.category_id = null;
      else {
        if (c.category_id) category.category_id = c.category_id;
        category.name = c.name.trim();
        category.description = c.description.trim();
      }
      return category;
    }),
  };
}

async function saveMenu() {
  // A dish needs a price the owner typed: an empty one is never sent as 0.
  let empty = false;
  for (const item of s.model.rcategories.flatMap((c) => c.ritems)) {
    if (!String(item.priceText ?? "").trim() && !item.priceError) { item.priceError = parsePrice("", s.currency).message; empty = true; }
  }
  if (empty) drawList();
  const bad = s.model.rcategories.flatMap((c) => c.ritems).find((i) => i.priceError);
  if (bad) {
    announce("A price is missing or not written right. Correct the marked price, then save.", "error");
    document.getElementById("price-" + bad.key)?.focus();
    return false;
  }
  const button = document.getElementById("save-menu");
  button.disabled = true;
  button.textContent = "Saving…";
  try {
    const answer = await api.postJson("api/menu/save", saveBody());
    if (!answer.ok) { if (!answer.redirected) announce(answer.message, "error"); return false; }
    // Keys of what the program created go back into the model, so a second save does not add
    // them again; element errors stay on their rows.
    let errors = 0;
    (answer.data.rcategories || []).forEach((c, ci) => {
      const category = s.model.rcategories[ci];
      if (!category) return;
      if (typeof c.category_id === "string") category.category_id = c.category_id;
      category.error = c.error ? api.inWords(c.error.description) : "";
      if (c.error) errors++;
      (c.ritems || []).forEach((i, ii) => {
        const item = category.ritems[ii];
        if (!item) return;
        if (typeof i.product_id === "string") item.product_id = i.product_id;
        item.error = i.error ? api.inWords(i.error.description) : "";
        if (i.error) errors++;
      });
    });
    if (errors) {
      storeDraft();
      drawList();
      announce(errors === 1 ? "One row could not be saved; it is marked in red." : errors + " rows could not be saved; they are marked in red.", "error");
      document.querySelector(".row-error:not([hidden])")?.closest("li")?.querySelector("input")?.focus();
      return false;
    }
    dropDraft(s.model.id);
    s.dirty = false;
    announce("Menu saved.");
    await render(s.container, [s.model.id]);
    return true;
  } finally {
    button.disabled = false;
    button.textContent = "Save menu";
  }
}

// ---- download

async function downloadMenu() {
  clearTimeout(s.pagesTimer);
  drawPages();
  const { pages } = s.layout;
  const status = h("p", { id: "pdf-status" }, "Preparing " + pages.length + (pages.length === 1 ? " page" : " pages") + "…");
  const bar = h("progress", { max: 100, "aria-labelledby": "pdf-status" });
  const dialog = h("dialog", { "aria-labelledby": "pdf-title", class: "pdf-dialog" },
    h("div", { class: "dialog-form progress" }, h("h2", { id: "pdf-title" }, "Making the PDF"), status, bar));
  document.body.append(dialog);
  dialog.showModal();
  const result = await downloadPdf({
    name: s.model.name, paper: s.model.settings.papersize, pages,
    progress(stage, share) {
      if (stage === "sending") status.textContent = "Sending " + pages.length + (pages.length === 1 ? " page" : " pages") + " to Tavolex…";
      if (stage === "making") status.textContent = "Tavolex is making the PDF…";
      if (stage === "receiving") { status.textContent = "Receiving the PDF…"; bar.value = Math.round(share * 100); }
    },
  });
  dialog.close();
  dialog.remove();
  if (result.redirected) return;
  if (result.ok) announce("“" + result.fileName + "” was downloaded.");
  else await openDialog({ title: "The PDF could not be made", body: [h("p", { id: "pdf-error" }, result.message)], actions: [{ value: "ok", label: "Close" }] });
}

export default {
  render,
  hasUnsavedChanges: () => !!s?.dirty,
  async canLeave() {
    if (!s?.dirty) return true;
    return confirmDialog("Leave this menu?", [h("p", {}, "This menu has changes that are not saved yet."),
      h("p", {}, "They stay in this browser as a draft and come back when you open the menu again, but other windows and the PDF do not see them until you save.")], "Leave");
  },
  leave() { if (s) clearTimeout(s.pagesTimer); },
};
