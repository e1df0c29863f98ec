// The menu editor: the whole catalogue with this menu's choice in it, edited in place, and the
// pages laid out live beside it. Unsaved changes live in a draft in localStorage until the
// program has stored them, so neither a closed window nor an ended session loses them.
import * as api from "./api.js";
import { h, input, select, announce, confirmDialog, openDialog } from "./ui.js";
import { formatAmount, parsePrice } from "./money.js";
import { loadCurrency, problem } from "./store.js";
import { PAPER_SIZES } from "./menus.js";
import { canvasMeasure, loadPageFonts, FAMILIES } from "./layout.js";
import { TEMPLATES, templateOf, completeSettings } from "./templates/index.js";
import { layOut, prepareFor } from "./menu_pages.js";
import { fetchLogos, logoUrl } from "./logos.js";
import { downloadPdf, printPdf, runWithProgress, exportProgress, showFailure } from "./pdf.js";
import { emailDialog } from "./email.js";

export { layOut };

let s = null;        // this screen's state while it is shown
let nextKey = 1;

const draftKey = (id) => "tavolex.draft." + id;

function fromServer(menu, currency) {
  return {
    id: menu.id, name: menu.name, restaurant_id: menu.restaurant_id, header: menu.header || {},
    settings: completeSettings(menu.settings || {}),
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

// After every change: the draft is kept, and the pages follow (at once for a design choice,
// after a short pause while typing).
function changed({ now = false, redesign = false } = {}) {
  for (const category of s.model.rcategories) {
    const count = document.querySelector(`[data-key="${category.key}"] .cat-count`);
    if (count) count.textContent = shownCount(category);
  }
  s.dirty = true;
  storeDraft();
  showState();
  if (!now) return schedulePages();
  clearTimeout(s.pagesTimer);
  if (redesign) return redesignNow();
  drawDesign();
  drawPages();
}

// A template switch: its fonts (already loaded after the first use) and the logo at its box's
// size, then the pages at once.
async function redesignNow() {
  const token = (s.redesigns = (s.redesigns || 0) + 1);
  await prepareLogo();
  if (token !== s.redesigns) return;      // a later switch overtook this one
  drawDesign();
  drawPages();
  document.getElementById("template-" + s.model.settings.template)?.focus();
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
  s.model.settings = completeSettings(s.model.settings);
  await loadPageFonts(FAMILIES);        // every template's type, for the thumbnails of the design
  const logos = await fetchLogos();
  s.logos = logos.ok ? logos.logos : [];
  await prepareLogo();
  draw(restored);
}

// Fonts and logo of the current design, ready before the pages are laid out with them.
async function prepareLogo() {
  const settings = s.model.settings;
  // A logo deleted since it was chosen prints no more; drawDesign says so.
  const ready = await prepareFor(settings.logo && !s.logos.includes(settings.logo) ? { ...settings, logo: "" } : settings);
  s.logo = ready.logo;
  s.logoProblem = ready.logoProblem;
}

function draw(restored) {
  const m = s.model;
  const name = input({ id: "menu-name", value: m.name, maxlength: 259 });
  name.addEventListener("input", () => { m.name = name.value; changed(); });
  const save = h("button", { class: "primary", id: "save-menu", onclick: saveMenu }, "Save menu");
  const download = h("button", { id: "download-pdf", onclick: downloadMenu }, "Download PDF");
  const print = h("button", { id: "print-menu", onclick: printMenu }, "Print");
  const email = h("button", { id: "email-menu", onclick: emailMenu }, "E-mail");
  const bar = h("div", { class: "editor-bar" },
    h("div", { class: "field grow" }, h("label", { for: "menu-name" }, "Menu name"), name),
    h("div", { class: "editor-actions" }, h("p", { class: "state", id: "save-state", role: "status" }), save, download, print, email));
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
    h("div", { id: "design" }),
    h("div", { class: "pages-head" }, h("h2", { id: "pages-title" }, "Pages"), h("p", { id: "page-count", class: "shared-note" })),
    h("div", { id: "overflow" }), h("div", { id: "page-views" }));
  parts.push(h("div", { class: "editor" }, left, pages));
  s.container.replaceChildren(...parts);
  drawList();
  drawDesign();
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

// ---- design: template, colours, type, columns, paper and logo

function drawDesign() {
  const box = document.getElementById("design");
  if (!box) return;
  const settings = s.model.settings;
  const template = templateOf(settings.template);
  const choose = (member, value) => {
    settings[member] = value;
    s.model.settings = completeSettings(settings);
    changed({ now: true });
  };
  const cards = h("div", { class: "template-cards", role: "radiogroup", "aria-labelledby": "template-label" },
    TEMPLATES.map((t) => {
      const radio = h("input", { type: "radio", name: "template", value: t.id, id: "template-" + t.id, checked: t.id === template.id });
      radio.addEventListener("change", () => {
        // A new template starts from its own colours, type and columns.
        Object.assign(settings, { template: t.id, colour: t.defaults.colour, fonts: t.defaults.fonts, columns: String(t.defaults.columns) });
        s.model.settings = completeSettings(settings);
        changed({ now: true, redesign: true });
      });
      return h("label", { class: "template-card" + (t.id === template.id ? " chosen" : ""), for: radio.id },
        radio, h("span", { class: "template-name" }, t.name), thumbnail(t, t.id === template.id ? settings : null),
        h("span", { class: "template-text" }, t.description));
    }));
  const colour = select(template.colours.map((c) => ({ value: c.id, label: c.label })), settings.colour, { id: "menu-colour" });
  colour.addEventListener("change", () => choose("colour", colour.value));
  const fonts = select(template.fonts.map((f) => ({ value: f.id, label: f.label })), settings.fonts, { id: "menu-fonts" });
  fonts.addEventListener("change", async () => { settings.fonts = fonts.value; s.model.settings = completeSettings(settings); await prepareLogo(); changed({ now: true }); });
  const columnNames = { 1: "One column", 2: "Two columns", 3: "Three columns" };
  const columns = select([...template.columns].sort().map((n) => ({ value: String(n), label: columnNames[n] })), settings.columns, { id: "menu-columns" });
  columns.addEventListener("change", () => choose("columns", columns.value));
  const paper = select(PAPER_SIZES, settings.papersize, { id: "menu-paper" });
  paper.addEventListener("change", async () => { settings.papersize = paper.value; await prepareLogo(); changed({ now: true }); });
  const logos = h("div", { class: "logo-picks", role: "radiogroup", "aria-labelledby": "logo-label" },
    [{ id: "", label: "No logo" }, ...s.logos.map((id, index) => ({ id, label: "Logo " + (index + 1) }))].map((logo) => {
      const radio = h("input", { type: "radio", name: "menu-logo", value: logo.id, id: "menu-logo-" + (logo.id || "none"), checked: settings.logo === logo.id, "aria-label": logo.label });
      radio.addEventListener("change", async () => { settings.logo = logo.id; await prepareLogo(); changed({ now: true }); });
      return h("label", { class: "logo-pick" + (settings.logo === logo.id ? " chosen" : ""), for: radio.id, title: logo.label },
        radio, logo.id ? h("img", { src: logoUrl(logo.id), alt: "" }) : h("span", {}, "None"));
    }),
    h("a", { href: "#/logos", class: "logo-manage" }, s.logos.length ? "Add or delete logos" : "Add a logo"));
  const known = !settings.logo || s.logos.includes(settings.logo);
  const focused = box.contains(document.activeElement) ? document.activeElement.id : "";
  box.replaceChildren(h("fieldset", { class: "design" }, h("legend", {}, "Design"),
    h("p", { id: "template-label", class: "design-label" }, "Template"), cards,
    h("div", { class: "design-row" },
      h("div", { class: "field" }, h("label", { for: "menu-colour" }, "Colours"), colour),
      h("div", { class: "field wide" }, h("label", { for: "menu-fonts" }, "Type"), fonts),
      h("div", { class: "field" }, h("label", { for: "menu-columns" }, "Columns"), columns),
      h("div", { class: "field" }, h("label", { for: "menu-paper" }, "Paper"), paper)),
    h("p", { id: "logo-label", class: "design-label" }, "Logo"), logos,
    s.logoProblem || !known ? h("p", { class: "row-error", role: "alert" }, s.logoProblem || "The logo chosen for this menu was deleted. Pick another logo, or none.") : null));
  // The panel is drawn anew for every choice: the keyboard stays where it was.
  if (focused) document.getElementById(focused)?.focus();
}

// The top of a template's first page, drawn with the first dishes of this menu: in the chosen
// template's own colours and type, in the others' defaults. Kept until the design changes.
function thumbnail(template, settings) {
  const design = settings ? { ...settings } : { template: template.id, colour: template.defaults.colour, fonts: template.defaults.fonts,
    columns: String(template.defaults.columns), papersize: s.model.settings.papersize };
  const shown = s.model.rcategories.filter((c) => !c.hidden && c.ritems.some((i) => !i.hidden)).slice(0, 2)
    .map((c) => ({ ...c, ritems: c.ritems.filter((i) => !i.hidden).slice(0, 3) }));
  const sample = { name: s.model.name, header: s.model.header, rcategories: shown };
  const key = JSON.stringify([design, sample, !!s.logo]);
  s.thumbnails = s.thumbnails || new Map();
  let svg = s.thumbnails.get(key);
  if (svg === undefined) {
    svg = layOut({ ...sample, settings: completeSettings(design) }, s.currency, s.measure, s.logo, { sample: true }).pages[0];
    if (s.thumbnails.size > 40) s.thumbnails.clear();
    s.thumbnails.set(key, svg);
  }
  const box = h("span", { class: "template-thumb", "aria-hidden": "true" });
  box.innerHTML = svg;
  return box;
}

// ---- pages

function schedulePages() {
  clearTimeout(s.pagesTimer);
  s.pagesTimer = setTimeout(drawPages, 120);
}

function drawPages() {
  const views = document.getElementById("page-views");
  if (!views) return;
  s.layout = layOut(s.model, s.currency, s.measure, s.logo);
  const { pages, overflow, note } = s.layout;
  views.replaceChildren(...pages.map((svg, index) => {
    const view = h("figure", { class: "page-view", "aria-label": "Page " + (index + 1) + " of " + pages.length, style: "margin:0 0 1rem" });
    view.innerHTML = svg;
    return view;
  }));
  const paperName = s.model.settings.papersize;
  document.getElementById("page-count").textContent = (pages.length === 1 ? "1 page, " : pages.length + " pages, ") + paperName +
    ", " + templateOf(s.model.settings.template).name;
  const box = document.getElementById("overflow");
  box.replaceChildren();
  const shown = s.model.rcategories.some((c) => !c.hidden && c.ritems.some((i) => !i.hidden));
  if (!shown) box.append(h("p", { class: "empty-pages" }, "Tick the categories and dishes this menu shows: they appear on the pages here."));
  if (note && shown) box.append(h("p", { class: "banner", role: "note" }, note));
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

// ---- download, print, e-mail

// The pages as they are now, laid out at once (a pause in typing may still be pending).
function currentPages() {
  clearTimeout(s.pagesTimer);
  drawPages();
  return s.layout.pages;
}

async function downloadMenu() {
  const pages = currentPages();
  const result = await runWithProgress("Making the PDF", (report) => downloadPdf({
    name: s.model.name, paper: s.model.settings.papersize, pages, progress: exportProgress(report, pages) }));
  if (result.redirected) return;
  if (result.ok) announce("“" + result.fileName + "” was downloaded.");
  else await showFailure("The PDF could not be made", result.message);
}

async function printMenu() {
  const pages = currentPages();
  // The window opens now, at the click: browsers refuse windows opened later.
  const target = window.open("", "_blank");
  if (target) {
    target.document.title = "Preparing the menu to print…";
    target.document.body.style.font = "18px Lato, sans-serif";
    target.document.body.textContent = "Tavolex is making the PDF of “" + s.model.name + "”. The print dialogue opens here in a moment.";
  }
  const result = await runWithProgress("Preparing to print", (report) => printPdf({
    name: s.model.name, paper: s.model.settings.papersize, pages, target, progress: exportProgress(report, pages) }));
  if (!result.ok) target?.close();
  if (result.redirected) return;
  if (result.ok) announce("The menu opened in a new window; its print dialogue comes up there.");
  else await showFailure("The menu could not be printed", result.message);
}

async function emailMenu() {
  const pages = currentPages();
  await emailDialog({ name: s.model.name, paper: s.model.settings.papersize, pages, dirty: s.dirty });
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
