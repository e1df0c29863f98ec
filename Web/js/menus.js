// The menus of one business (or of all): add, copy, move, delete one or several.
import * as api from "./api.js";
import { h, field, input, select, setFieldError, announce, confirmDialog, openDialog, emptyState } from "./ui.js";
import { loadBusinesses, loadMenus, rememberBusiness, problem } from "./store.js";
import { completeSettings } from "./templates/index.js";

export const PAPER_SIZES = [
  { value: "A4", label: "A4 (21 × 29.7 cm)" }, { value: "Letter", label: "Letter (8.5 × 11 in)" },
  { value: "Legal", label: "Legal (8.5 × 14 in)" }, { value: "A3", label: "A3 (29.7 × 42 cm)" },
];
const WORKING_MENU = "Tavolex catalogue change";

async function render(container, [businessId = ""]) {
  const list = await loadBusinesses();
  if (!list.ok) return problem(container, list);
  const businesses = list.businesses;
  if (businessId && !businesses.some((b) => b.id === businessId)) businessId = "";
  if (businessId) rememberBusiness(businessId);
  const menus = await loadMenus(businessId);
  if (!menus.ok) return problem(container, menus);
  const shown = menus.menus.filter((m) => m.name !== WORKING_MENU);

  const filter = select([{ value: "", label: "All businesses" }, ...businesses.map((b) => ({ value: b.id, label: b.name }))], businessId, { id: "menus-business" });
  filter.addEventListener("change", () => { window.location.hash = filter.value ? "#/menus/" + filter.value : "#/menus"; });
  const deleteSelected = h("button", { class: "link-danger", disabled: true, onclick: () => removeMenus(container, businessId, chosen()) }, "Delete selected");
  const head = h("div", { class: "screen-head" },
    h("div", {}, h("h1", {}, "Menus"), h("p", { class: "lead" }, "Each menu shows your choice of the catalogue, in your order, on the paper you print on.")),
    h("div", { class: "actions" }, deleteSelected,
      h("button", { class: "primary", disabled: !businesses.length, onclick: () => addMenu(businesses, businessId) }, "New menu")));
  const filters = h("div", { class: "filters" }, field("Business", filter));

  if (!businesses.length) {
    container.replaceChildren(head, emptyState("Add your business first", "Menus belong to a business. Add yours, then make its first menu.",
      h("a", { class: "button primary", href: "#/businesses" }, "Go to businesses")));
    return;
  }
  if (!shown.length) {
    container.replaceChildren(head, filters, emptyState("No menus yet",
      "Make a menu, choose the dishes it shows from your catalogue and download it as a PDF to print.",
      h("button", { class: "primary", onclick: () => addMenu(businesses, businessId) }, "Make a menu")));
    return;
  }
  const boxes = [];
  function chosen() { return boxes.filter((b) => b.checked).map((b) => b.menu); }
  const all = h("input", { type: "checkbox", id: "menus-all", "aria-label": "Select all menus" });
  all.addEventListener("change", () => { for (const b of boxes) b.checked = all.checked; update(); });
  function update() {
    const count = chosen().length;
    deleteSelected.disabled = !count;
    deleteSelected.textContent = count > 1 ? "Delete " + count + " menus" : "Delete selected";
  }
  const rows = shown.map((menu) => {
    const box = h("input", { type: "checkbox", "aria-label": "Select " + menu.name, onchange: update });
    box.menu = menu;
    boxes.push(box);
    return h("tr", { "data-menu": menu.id },
      h("td", { class: "pick" }, box),
      h("td", {}, h("a", { href: "#/menu/" + menu.id, class: "menu-link" }, h("strong", {}, menu.name || "(no name)"))),
      h("td", {}, menu.restaurant.name || "(business deleted)"),
      h("td", { class: "actions" },
        h("a", { class: "button small primary", href: "#/menu/" + menu.id, "aria-label": "Open " + menu.name }, "Open"), " ",
        h("button", { class: "small", onclick: () => copyMenu(container, businesses, businessId, menu), "aria-label": "Copy " + menu.name }, "Copy"), " ",
        h("button", { class: "small", onclick: () => moveMenu(container, businesses, businessId, menu), "aria-label": "Move " + menu.name }, "Move"), " ",
        h("button", { class: "small link-danger", onclick: () => removeMenus(container, businessId, [menu]), "aria-label": "Delete " + menu.name }, "Delete")));
  });
  const table = h("table", { class: "list" },
    h("thead", {}, h("tr", {}, h("th", { scope: "col", class: "pick" }, all), h("th", { scope: "col" }, "Menu"), h("th", { scope: "col" }, "Business"),
      h("th", { scope: "col" }, h("span", { class: "visually-hidden" }, "Actions")))),
    h("tbody", {}, rows));
  container.replaceChildren(head, filters, table);
}

async function addMenu(businesses, businessId) {
  const name = input({ maxlength: 259, placeholder: "Lunch, Dinner, Wine list …" });
  const business = select(businesses.map((b) => ({ value: b.id, label: b.name })), businessId || businesses[0].id);
  const paper = select(PAPER_SIZES, "A4");
  await openDialog({
    title: "New menu",
    body: [field("Name", name, { required: true, hint: "Also the name of the PDF file" }), field("Business", business), field("Paper size", paper)],
    actions: [{ value: "cancel", label: "Cancel" }, { value: "add", label: "Make menu" }],
    async onSubmit() {
      if (!name.value.trim()) { setFieldError(name, "Give the menu a name."); name.focus(); return true; }
      const answer = await api.postJson("api/menu/add", { name: name.value.trim(), restaurant_id: business.value,
        settings: completeSettings({ papersize: paper.value, template: "classic" }), rcategories: [] });
      if (!answer.ok) { setFieldError(name, answer.message); return true; }
      window.location.hash = "#/menu/" + answer.data.id;
      return false;
    },
  });
}

async function copyMenu(container, businesses, businessId, menu) {
  const name = input({ value: menu.name + " - Copy", maxlength: 259 });
  const business = select(businesses.map((b) => ({ value: b.id, label: b.name })), menu.restaurant.id || businesses[0].id);
  await openDialog({
    title: "Copy “" + menu.name + "”",
    body: [field("Name of the copy", name, { required: true }), field("For the business", business)],
    actions: [{ value: "cancel", label: "Cancel" }, { value: "copy", label: "Copy menu" }],
    async onSubmit() {
      if (!name.value.trim()) { setFieldError(name, "Give the copy a name."); name.focus(); return true; }
      const answer = await api.postJson("api/menu/copy", { srcmenuid: menu.id, destrestaurantid: business.value, destmenuname: name.value.trim() });
      if (!answer.ok) { setFieldError(name, answer.message); return true; }
      announce("“" + answer.data.menuname + "” was made.");
      await render(container, [businessId]);
      return false;
    },
  });
}

async function moveMenu(container, businesses, businessId, menu) {
  const others = businesses.filter((b) => b.id !== menu.restaurant.id);
  if (!others.length) return announce("There is no other business to move this menu to.", "error");
  const business = select(others.map((b) => ({ value: b.id, label: b.name })), others[0].id);
  await openDialog({
    title: "Move “" + menu.name + "”",
    body: [h("p", {}, "The menu will belong to another business and use its address and prices format."), field("To the business", business)],
    actions: [{ value: "cancel", label: "Cancel" }, { value: "move", label: "Move menu" }],
    async onSubmit() {
      const answer = await api.postJson("api/menu/assign", { menuid: menu.id, restaurantid: business.value });
      if (!answer.ok) { announce(answer.message, "error"); return true; }
      announce("“" + menu.name + "” now belongs to " + business.selectedOptions[0].textContent + ".");
      await render(container, [businessId]);
      return false;
    },
  });
}

async function removeMenus(container, businessId, menus) {
  if (!menus.length) return;
  const body = [h("p", {}, menus.length === 1 ? "The menu “" + menus[0].name + "” will be deleted." : "These " + menus.length + " menus will be deleted:"),
    menus.length > 1 ? h("ul", {}, menus.map((m) => h("li", {}, m.name))) : null,
    h("p", { class: "hint" }, "Your dishes stay in the catalogue.")].filter(Boolean);
  if (!(await confirmDialog(menus.length === 1 ? "Delete this menu?" : "Delete " + menus.length + " menus?", body, "Delete"))) return;
  const answer = await api.postJson("api/menu/delete", { rid: menus.map((m) => m.id) });
  if (!answer.ok) return announce(answer.message, "error");
  for (const m of menus) { try { localStorage.removeItem("tavolex.draft." + m.id); } catch { /* nothing kept */ } }
  announce(menus.length === 1 ? "Menu deleted." : menus.length + " menus deleted.");
  await render(container, [businessId]);
}

export default { render };
