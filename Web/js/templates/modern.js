// Modern: clean sans-serif type in columns under a band of colour, headings in capitals with a
// short bar, prices in the accent colour at the right edge.
import { font, lineOf, wrap, textElement, rectElement, imageElement, flowMenu, finishPages, pricedDish } from "../layout.js";

export default {
  id: "modern",
  name: "Modern",
  description: "Clean sans-serif type in columns under a band of colour.",
  colours: [
    { id: "teal", label: "Teal", accent: "#0f6664" },
    { id: "tomato", label: "Tomato red", accent: "#b63f27" },
    { id: "slate", label: "Slate grey", accent: "#36454f" },
    { id: "olive", label: "Olive", accent: "#5c6b1f" },
  ],
  fonts: [
    { id: "lato", label: "Lato", heading: "Lato", body: "Lato" },
    { id: "opensans", label: "Open Sans", heading: "Open Sans", body: "Open Sans" },
    { id: "opensans-lato", label: "Open Sans headings, Lato text", heading: "Open Sans", body: "Lato" },
  ],
  columns: [2, 1, 3],
  defaults: { colour: "teal", fonts: "lato", columns: 2 },
  logoBox: (paper) => ({ width: 110 * paper.width / 595, height: 64 * paper.width / 595 }),

  layout(menu, o, kit) {
    const { paper } = o;
    const k = paper.width / 595;
    const ink = "#202124", soft = "#5b5f63", accent = o.colour.accent;
    const H = o.fonts.heading, B = o.fonts.body;
    const narrow = o.columns === 3 ? 0.9 : 1;
    const fonts = {
      title: font(H, 32 * k, 700), contact: font(B, 10 * k), heading: font(H, 13 * k * narrow, 700), note: font(B, 9.5 * k * narrow, 400, true),
      name: font(B, 11.5 * k * narrow, 700), price: font(B, 11.5 * k * narrow, 700), detail: font(B, 9.8 * k * narrow),
      extras: font(B, 9.2 * k * narrow, 400, true), folio: font(B, 9 * k, 700),
    };
    const side = 44 * k;
    const width = paper.width - 2 * side;
    // The band of page 1: the title (and the logo on a white card at its right) in white.
    const header = menu.header || {};
    const logo = kit.logo;
    const pad = 10 * k;
    const titleWidth = width - (logo ? logo.width + 2 * pad + 16 * k : 0);
    const titleLines = wrap(menu.name || "", fonts.title, titleWidth, kit.measure);
    const contact = [header.name, header.address, header.phone, header.website].filter(Boolean).join("  ·  ");
    const contactLines = contact ? wrap(contact, fonts.contact, titleWidth, kit.measure) : [];
    const textHeight = titleLines.length * lineOf(fonts.title, 1.15) + contactLines.length * lineOf(fonts.contact) + 6 * k;
    const band = Math.max(textHeight, logo ? logo.height + 2 * pad : 0) + 64 * k;
    const margin = { top: 52 * k, right: side, bottom: 64 * k, left: side };
    const dish = { fonts, ink: { name: ink, price: accent, detail: soft, extras: accent }, leader: null, after: 9 * k };
    const flow = flowMenu(menu, {
      paper, margin, columns: o.columns, gap: 24 * k, categoryGap: 18 * k, firstTop: band + 30 * k,
      blocks: {
        item: (item, w) => pricedDish(item, w, dish, kit.money, kit.measure),
        heading(category, w, { again = false } = {}) {
          const lines = category.name ? wrap(category.name.toLocaleUpperCase(), fonts.heading, w, kit.measure) : [];
          const notes = category.description && !again ? wrap(category.description, fonts.note, w, kit.measure) : [];
          if (!lines.length && !notes.length) return null;
          const height = lines.length * lineOf(fonts.heading) + (lines.length ? 9 * k : 0) + notes.length * lineOf(fonts.note) + 8 * k;
          return { height, draw(x, top, out) {
            let y = top + fonts.heading.size;
            for (const line of lines) { out.push(textElement(x, y, line, fonts.heading, accent)); y += lineOf(fonts.heading); }
            if (lines.length) {
              out.push(rectElement(x, y - lineOf(fonts.heading) + 5 * k, 26 * k, 2.6 * k, { fill: accent }));
              y += 9 * k;
            }
            y -= 2 * k;
            for (const line of notes) { out.push(textElement(x, y, line, fonts.note, soft)); y += lineOf(fonts.note); }
          } };
        },
      },
    });
    const pages = finishPages(flow.pages, paper, (page, count) => {
      const under = [rectElement(0, 0, paper.width, paper.height, { fill: "#ffffff" })];
      const over = [];
      if (page.number === 1) {
        under.push(rectElement(0, 0, paper.width, band, { fill: accent }));
        let y = (band - textHeight) / 2 + fonts.title.size * 0.9;
        for (const line of titleLines) { over.push(textElement(side, y, line, fonts.title, "#ffffff")); y += lineOf(fonts.title, 1.15); }
        y += 2 * k;
        for (const line of contactLines) { over.push(textElement(side, y, line, fonts.contact, "#ffffff", undefined, 0.9)); y += lineOf(fonts.contact); }
        if (logo) {
          const cardX = paper.width - side - logo.width - 2 * pad, cardY = (band - logo.height - 2 * pad) / 2;
          under.push(rectElement(cardX, cardY, logo.width + 2 * pad, logo.height + 2 * pad, { fill: "#ffffff", rx: 6 * k }));
          over.push(imageElement(logo, cardX + pad, cardY + pad));
        }
      } else {
        under.push(rectElement(0, 0, paper.width, 8 * k, { fill: accent }));
      }
      under.push(rectElement(side, paper.height - 40 * k, width, 0.8 * k, { fill: accent, fillOpacity: 0.5 }));
      if (count > 1) over.push(textElement(paper.width - side, paper.height - 26 * k, page.number + " / " + count, fonts.folio, accent, "end"));
      if (header.name && count > 1) over.push(textElement(side, paper.height - 26 * k, header.name, font(B, 9 * k), soft));
      return { under, over };
    });
    return { pages, overflow: flow.overflow };
  },
};
