// The registry of menu templates. A template is one file in this folder: its name and
// description, the colours, font pairings and column counts it offers, its defaults, the box
// its logo is fitted into, and one layout function that draws the pages with the shared engine
// of ../layout.js. Adding a template is adding its file and one line below.
//
// A menu keeps its choice in its settings (MENU_SETTINGS, all strings): "template", "colour",
// "fonts", "columns", "papersize" and "logo"; `optionsOf` reads them back, filling in what a
// menu of an older version (which kept only "font" and "columns") did not have.
import { PAPER } from "../layout.js";
import classic from "./classic.js";
import modern from "./modern.js";
import chalkboard from "./chalkboard.js";
import card from "./card.js";

export const TEMPLATES = [classic, modern, chalkboard, card];

export function templateOf(id) {
  return TEMPLATES.find((t) => t.id === id) || TEMPLATES[0];
}

const LEGACY_FONTS = { "Lato": "lato", "Open Sans": "opensans", "DejaVu Serif": "serif" };

// The settings completed with the template's defaults, as strings to store.
export function completeSettings(settings = {}) {
  const template = templateOf(settings.template);
  const legacy = !settings.template;
  const colour = template.colours.find((c) => c.id === settings.colour) || template.colours.find((c) => c.id === template.defaults.colour);
  const fonts = template.fonts.find((f) => f.id === settings.fonts) ||
    (legacy && template.fonts.find((f) => f.id === LEGACY_FONTS[settings.font])) ||
    template.fonts.find((f) => f.id === template.defaults.fonts);
  const wanted = Number(settings.columns);
  const columns = template.columns.includes(wanted) ? wanted : template.defaults.columns;
  return { ...settings, template: template.id, colour: colour.id, fonts: fonts.id, columns: String(columns),
    papersize: PAPER[settings.papersize] ? settings.papersize : "A4", logo: settings.logo || "" };
}

// What a template's layout function takes: the template and its choices as records.
export function optionsOf(settings) {
  const complete = completeSettings(settings);
  const template = templateOf(complete.template);
  return {
    template, settings: complete, paper: PAPER[complete.papersize],
    colour: template.colours.find((c) => c.id === complete.colour),
    fonts: template.fonts.find((f) => f.id === complete.fonts),
    columns: Number(complete.columns),
  };
}

// The families a menu's pages use, to load before measuring.
export function familiesOf(settings) {
  const { fonts } = optionsOf(settings);
  return [fonts.heading, fonts.body];
}

// The box, in points, the menu's logo is fitted into on its pages.
export function logoBoxOf(settings) {
  const o = optionsOf(settings);
  return o.template.logoBox(o.paper);
}

// Lays a menu out with its template. `money(minor)` gives a price as printed; `logo` is null or
// {href, width, height} (points) as js/logos.js prepared it for logoBoxOf(settings).
// Answers {pages: [SVG text], overflow: [items left out], paper, note (a remark for the owner)}.
// `sample` marks a thumbnail of a few dishes in the template picker.
export function layoutMenu(menu, settings, money, measure, logo = null, { sample = false } = {}) {
  const o = optionsOf(settings);
  const laid = o.template.layout(menu, o, { money, measure, logo, sample });
  return { pages: laid.pages, overflow: laid.overflow, paper: o.paper, note: laid.note || "" };
}
