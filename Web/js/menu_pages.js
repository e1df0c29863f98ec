// A menu's pages as its template lays them out, with its logo: shared by the editor, which lays
// them out again at every change, and by the places that print a menu without opening it (the
// reprint list of the catalogue).
import * as api from "./api.js";
import { formatPrice } from "./money.js";
import { loadCurrency } from "./store.js";
import { canvasMeasure, loadPageFonts } from "./layout.js";
import { layoutMenu, familiesOf, logoBoxOf, completeSettings } from "./templates/index.js";
import { preparedLogo } from "./logos.js";

// Lays out `model` (a menu as api/menu/get gives it, settings included) with `logo` prepared.
// `sample` is true for a thumbnail of a few dishes (templates may place those differently).
export function layOut(model, currency, measure, logo = null, { sample = false } = {}) {
  return layoutMenu(model, model.settings, (minor) => formatPrice(minor, currency), measure, logo, { sample });
}

// Everything a layout waits for: the fonts of the menu's template and its logo at print size.
// Answers {logo, logoProblem}: a logo that cannot be read is left out and said why.
export async function prepareFor(settings) {
  await loadPageFonts(familiesOf(settings));
  if (!settings.logo) return { logo: null, logoProblem: "" };
  const prepared = await preparedLogo(settings.logo, logoBoxOf(settings));
  return prepared.ok ? { logo: prepared.logo, logoProblem: "" } : { logo: null, logoProblem: prepared.message };
}

// The pages of a stored menu, for printing it from elsewhere: {ok, name, paper, pages} or an error.
export async function pagesOfStoredMenu(menuId) {
  const answer = await api.get("api/menu/get", { id: menuId });
  if (!answer.ok) return answer;
  const currency = await loadCurrency(answer.data.restaurant_id);
  if (!currency.ok) return currency;
  const model = { ...answer.data, settings: completeSettings(answer.data.settings || {}) };
  const { logo } = await prepareFor(model.settings);
  const laid = layOut(model, currency.currency, canvasMeasure(), logo);
  return { ok: true, name: model.name, paper: model.settings.papersize, pages: laid.pages, overflow: laid.overflow };
}
