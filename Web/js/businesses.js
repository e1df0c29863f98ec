// Businesses: the list, the form to add or change one (with its time zone and currency format),
// and deleting one together with its menus.
import * as api from "./api.js";
import { h, field, input, select, setFieldError, announce, confirmDialog, emptyState } from "./ui.js";
import { TIME_ZONES, searchTimeZones, timeZoneLabel } from "./timezones.js";
import { normalCurrency, formatPrice, SYMBOL_PLACES, DEFAULT_CURRENCY } from "./money.js";
import { loadBusinesses, loadCurrency, loadMenus, problem } from "./store.js";

let editing = false;   // a form with changes is open

async function render(container) {
  editing = false;
  const [list, menus] = await Promise.all([loadBusinesses(), loadMenus("")]);
  if (!list.ok) return problem(container, list);
  const menuCount = new Map();
  for (const menu of menus.ok ? menus.menus : []) menuCount.set(menu.restaurant.id, (menuCount.get(menu.restaurant.id) || 0) + 1);

  const addButton = h("button", { class: "primary", onclick: () => showForm(container, null) }, "Add a business");
  const head = h("div", { class: "screen-head" },
    h("div", {}, h("h1", {}, "Your businesses"),
      h("p", { class: "lead" }, "Each restaurant, café or shop has its own menus, time zone and way of writing prices.")),
    h("div", { class: "actions" }, addButton));

  if (!list.businesses.length) {
    container.replaceChildren(head, emptyState("Start with your business",
      "Add your restaurant, café or shop first: its name, address and how you write prices. Then fill the catalogue with your dishes and make a menu.",
      h("button", { class: "primary", onclick: () => showForm(container, null) }, "Add your first business")));
    return;
  }
  const cards = h("div", { class: "cards" });
  for (const business of list.businesses) {
    const count = menuCount.get(business.id) || 0;
    cards.append(h("article", { class: "card", "data-business": business.id },
      h("h2", {}, business.name || "(no name)"),
      business.address ? h("p", { class: "meta" }, business.address) : null,
      business.phone || business.email ? h("p", { class: "meta" }, [business.phone, business.email].filter(Boolean).join(" · ")) : null,
      business.timezone ? h("p", { class: "meta" }, timeZoneLabel(business.timezone)) : null,
      h("p", {}, h("span", { class: "pill" }, count === 1 ? "1 menu" : count + " menus")),
      h("div", { class: "row-actions" },
        h("a", { class: "button primary", href: "#/menus/" + business.id }, "Menus"),
        h("button", { onclick: () => showForm(container, business), "aria-label": "Edit " + business.name }, "Edit"),
        h("button", { class: "link-danger", onclick: () => remove(container, business), "aria-label": "Delete " + business.name }, "Delete"))));
  }
  // A first business and no menu yet: say what comes next.
  const next = menus.ok && !menus.menus.length ? h("div", { class: "banner next-step" },
    h("p", {}, "Next: put your dishes and prices in the catalogue, then make a menu."),
    h("a", { class: "button primary", href: "#/catalogue" }, "Open the catalogue")) : null;
  container.replaceChildren(head, next || "", cards);
}

async function remove(container, business) {
  const menus = await loadMenus(business.id);
  if (!menus.ok) return announce(menus.message, "error");
  const names = menus.menus.map((m) => m.name || "(no name)");
  const body = [h("p", {}, "“" + business.name + "” will be deleted.")];
  if (names.length) {
    body.push(h("p", {}, names.length === 1 ? "Its menu goes with it:" : "Its " + names.length + " menus go with it:"),
      h("ul", { class: "doomed" }, names.map((n) => h("li", {}, n))));
  } else {
    body.push(h("p", {}, "It has no menus."));
  }
  body.push(h("p", { class: "hint" }, "The dishes of your catalogue stay; other businesses can still use them."));
  if (!(await confirmDialog("Delete this business?", body, "Delete business"))) return;
  const answer = await api.postJson("api/business/delete", { restaurantId: business.id });
  if (!answer.ok) return announce(answer.message, "error");
  announce("“" + business.name + "” was deleted.");
  await render(container);
}

// The time zone picker: a search box that narrows a list of every zone the program knows.
function timeZonePicker(value) {
  const search = input({ type: "search", placeholder: "Type a city or an offset, e.g. Paris or +05:45" });
  const list = h("select", { size: 5, class: "zone-list" });
  function fill() {
    const chosen = list.value || value;
    const found = searchTimeZones(search.value);
    list.replaceChildren(h("option", { value: "" }, "No time zone"), ...found.map((z) => h("option", { value: z.key }, z.label)));
    if ([...list.options].some((o) => o.value === chosen)) list.value = chosen;
  }
  search.addEventListener("input", fill);
  search.addEventListener("keydown", (event) => {
    if (event.key === "ArrowDown") { event.preventDefault(); list.focus(); if (list.selectedIndex < 0) list.selectedIndex = 0; }
  });
  list.value = value || "";
  fill();
  list.value = value || "";
  const wrapper = h("div", { class: "field" },
    h("label", { for: "tz-search" }, "Time zone"),
    search, h("p", { class: "hint", id: "tz-hint" }, TIME_ZONES.length + " time zones: search, then choose one in the list."), list, h("p", { class: "field-error", id: "tz-list-error", role: "alert", hidden: true }));
  search.id = "tz-search";
  search.setAttribute("aria-describedby", "tz-hint");
  search.setAttribute("aria-controls", "tz-list");
  list.id = "tz-list";
  list.setAttribute("aria-label", "Time zones found");
  list.setAttribute("aria-describedby", "tz-list-error");
  return { wrapper, list };
}

async function showForm(container, business) {
  const isNew = !business;
  const currencyAnswer = isNew ? { ok: true, currency: normalCurrency(DEFAULT_CURRENCY) } : await loadCurrency(business.id);
  if (!currencyAnswer.ok) return announce(currencyAnswer.message, "error");
  const c = currencyAnswer.currency;
  const b = business || { name: "", address: "", phone: "", email: "", website: "", timezone: "" };

  const name = input({ value: b.name, name: "name", maxlength: 259 });
  const address = input({ value: b.address, name: "address", maxlength: 259 });
  const phone = input({ type: "tel", value: b.phone, name: "phone", maxlength: 259 });
  const email = input({ type: "text", inputmode: "email", value: b.email, name: "email", maxlength: 259 });
  const website = input({ value: b.website, name: "website", maxlength: 259 });
  const zone = timeZonePicker(b.timezone);

  const symbol = input({ value: c.symbol, name: "currency_symbol", maxlength: 10, size: 6 });
  const place = select(SYMBOL_PLACES, c.order, { name: "currency_order" });
  const digits = select([0, 1, 2, 3].map((d) => ({ value: d, label: String(d) })), c.digits, { name: "currency_digits" });
  const decimal = select([{ value: ".", label: "Point (12.50)" }, { value: ",", label: "Comma (12,50)" }], c.decimal, { name: "decimal_symbol" });
  const thousands = select([{ value: ",", label: "Comma (1,234)" }, { value: ".", label: "Point (1.234)" },
    { value: " ", label: "Space (1 234)" }, { value: "'", label: "Apostrophe (1'234)" }, { value: "", label: "None (1234)" }],
    c.useThousands ? c.thousands : "", { name: "thousands_symbol" });
  const parentheses = h("input", { type: "checkbox", id: "neg-paren", checked: c.parentheses });
  const sample = h("p", { class: "sample", "aria-live": "polite", id: "currency-sample" });

  function currencyRow() {
    return {
      currency_symbol: symbol.value.trim(), currency_order: place.value, currency_digits: digits.value,
      decimal_symbol: decimal.value, thousands_symbol: thousands.value || c.thousands || ",",
      use_parentheses_for_negative: parentheses.checked ? "1" : "0",
      use_currency_symbol: symbol.value.trim() ? "1" : "0", use_thousands_symbol: thousands.value ? "1" : "0",
    };
  }
  function showSample() {
    const row = normalCurrency(currencyRow());
    // The position choices show the symbol being typed, in this business's own format.
    SYMBOL_PLACES.forEach((choice, index) => {
      const example = formatPrice(1250, { ...row, order: choice.value, useSymbol: true, symbol: row.symbol || "$" });
      place.options[index].textContent = choice.label.replace(/\(.*\)/, "(" + example + ")");
    });
    sample.textContent = "Sample: " + formatPrice(123450, row) + "   ·   " + formatPrice(-950, row);
    const clash = decimal.value === thousands.value;
    setFieldError(thousands, clash ? "The thousands mark must differ from the decimal mark." : "");
    return !clash;
  }
  for (const control of [symbol, place, digits, decimal, thousands, parentheses]) control.addEventListener("input", showSample);
  showSample();

  const nameField = field("Name", name, { required: true, hint: "As guests know it, e.g. Café Nord" });
  const emailField = field("E-mail", email, { hint: "Printed on menus and used as the reply address." });
  const save = h("button", { class: "primary", type: "submit" }, isNew ? "Add business" : "Save changes");
  const cancel = h("button", { type: "button", class: "secondary", onclick: () => render(container) }, "Cancel");
  const form = h("form", { class: "panel editing", novalidate: true },
    h("h1", {}, isNew ? "Add a business" : "Change “" + b.name + "”"),
    h("div", { class: "form-columns" },
      h("fieldset", {}, h("legend", {}, "The business"),
        nameField, field("Address", address), field("Phone", phone), emailField, field("Website", website)),
      h("div", {},
        h("fieldset", {}, h("legend", {}, "Where it is"), zone.wrapper),
        h("fieldset", {}, h("legend", {}, "How prices are written"),
          h("div", { class: "form-grid" },
            field("Currency symbol", symbol, { hint: "€, $, £, CHF … or empty" }),
            field("Symbol position", place),
            field("Decimals", digits), field("Decimal mark", decimal),
            field("Thousands mark", thousands),
            h("div", { class: "field" }, h("label", { class: "checkbox", for: "neg-paren" }, parentheses, "Negative amounts in parentheses"))),
          sample))),
    h("div", { class: "dialog-actions form-actions" }, cancel, save));
  form.addEventListener("input", () => { editing = true; });
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    setFieldError(name, "");
    setFieldError(email, "");
    if (!name.value.trim()) { setFieldError(name, "Give the business a name."); name.focus(); return; }
    if (!showSample()) { thousands.focus(); return; }
    save.disabled = true;
    try {
      await submit();
    } finally {
      save.disabled = false;
    }
  });

  let id = business?.id || "";
  async function submit() {
    const fields = { name: name.value.trim(), address: address.value.trim(), phone: phone.value.trim(),
      website: website.value.trim(), timezone: zone.list.value };
    if (!id) {
      // Add stores the e-mail unchecked, so it goes through save below, which checks it.
      const added = await api.postJson("api/business/add", { ...fields, email: "" });
      if (!added.ok) return announce(added.message, "error");
      if (!added.data.id) return announce("Tavolex could not store this business.", "error");
      id = added.data.id;
    }
    const changes = { id, ...fields };
    if (!zone.list.value) delete changes.timezone;   // the program keeps the stored zone then
    if (email.value.trim()) changes.email = email.value.trim();
    const saved = await api.postJson("api/business/save", changes);
    if (!saved.ok) {
      if (saved.serverText === "Invalid email format") { setFieldError(email, saved.message); email.focus(); }
      else if (saved.serverText === "Invalid time zone") zone.list.focus();
      else announce(saved.message, "error");
      if (isNew && !form.querySelector(".added-note")) {
        save.textContent = "Save changes";
        form.querySelector("h1").textContent = "Change “" + fields.name + "”";
        form.querySelector("h1").after(h("p", { class: "banner next-step added-note", role: "status" },
          "“" + fields.name + "” is added. Correct what is marked, then save the rest."));
      }
      return;
    }
    const currency = await api.postForm("api/currency/save", { id, ...currencyRow() });
    if (!currency.ok) return announce(currency.message, "error");
    editing = false;
    announce(isNew ? "“" + fields.name + "” was added." : "Changes saved.");
    await render(container);
  }
  container.replaceChildren(form);
  name.focus();
}

export default {
  render,
  hasUnsavedChanges: () => editing,
  async canLeave() {
    return !editing || confirmDialog("Leave without saving?", "The changes to this business are not saved yet.", "Leave");
  },
};
