// Chalkboard: light chalk-like type on a dark board inside a dashed frame, as on a café wall;
// headings and prices in a coloured chalk, dashed leaders.
import { font, lineOf, wrap, textElement, lineElement, rectElement, flowMenu, finishPages, pricedDish, titleBlock } from "../layout.js";

const CHALK = "#f3f0e6";

export default {
  id: "chalkboard",
  name: "Chalkboard",
  description: "Chalk-white type on a dark board, as on a café wall. Uses a lot of ink when printed.",
  colours: [
    { id: "slate-yellow", label: "Slate board, yellow chalk", board: "#2a2f32", accent: "#f2cf63" },
    { id: "green-white", label: "Green board, mint chalk", board: "#1f3a2e", accent: "#a8e0c0" },
    { id: "black-pink", label: "Black board, pink chalk", board: "#1b1b1d", accent: "#f5a9bc" },
    { id: "blue-orange", label: "Blue board, orange chalk", board: "#1d2b3a", accent: "#f3a45c" },
  ],
  fonts: [
    { id: "serif-lato", label: "DejaVu Serif headings, Lato text", heading: "DejaVu Serif", body: "Lato" },
    { id: "lato", label: "Lato throughout", heading: "Lato", body: "Lato" },
    { id: "opensans", label: "Open Sans throughout", heading: "Open Sans", body: "Open Sans" },
  ],
  columns: [1, 2],
  defaults: { colour: "slate-yellow", fonts: "serif-lato", columns: 1 },
  logoBox: (paper) => ({ width: 130 * paper.width / 595, height: 72 * paper.width / 595 }),

  layout(menu, o, kit) {
    const { paper } = o;
    const k = paper.width / 595;
    const board = o.colour.board, accent = o.colour.accent;
    const H = o.fonts.heading, B = o.fonts.body;
    const fonts = {
      title: font(H, 32 * k, 700, true), contact: font(B, 10.5 * k), heading: font(H, 17 * k, 700, true), note: font(B, 10 * k, 400, true),
      name: font(B, 12.5 * k, 700), price: font(B, 12.5 * k, 700), detail: font(B, 10.3 * k), extras: font(B, 9.8 * k, 400, true), folio: font(B, 9 * k),
    };
    const margin = { top: 60 * k, right: 60 * k, bottom: 74 * k, left: 60 * k };
    const width = paper.width - margin.left - margin.right;
    const title = titleBlock(menu, width, { fonts, align: "middle", gap: 10 * k, logoCard: { fill: CHALK, pad: 8 * k } }, kit.measure, kit.logo);
    const flourish = 24 * k;
    const dish = { fonts, ink: { name: CHALK, price: accent, detail: CHALK, extras: accent, leader: CHALK }, soft: 0.78,
      leader: { dash: [3, 3], width: 0.7, opacity: 0.45 }, after: 10 * k };
    const flow = flowMenu(menu, {
      paper, margin, columns: o.columns, gap: 30 * k, categoryGap: 18 * k, firstTop: margin.top + title.height + flourish,
      blocks: {
        item: (item, w) => pricedDish(item, w, dish, kit.money, kit.measure),
        heading(category, w, { again = false } = {}) {
          const lines = category.name ? wrap(category.name, fonts.heading, w, kit.measure) : [];
          const notes = category.description && !again ? wrap(category.description, fonts.note, w, kit.measure) : [];
          if (!lines.length && !notes.length) return null;
          const height = lines.length * lineOf(fonts.heading) + notes.length * lineOf(fonts.note) + 16 * k;
          return { height, draw(x, top, out) {
            let y = top + fonts.heading.size;
            const centre = x + w / 2;
            let widest = 0;
            for (const line of lines) {
              out.push(textElement(centre, y, line, fonts.heading, accent, "middle"));
              widest = Math.max(widest, kit.measure(line, fonts.heading));
              y += lineOf(fonts.heading);
            }
            if (lines.length) {
              const ruleY = y - lineOf(fonts.heading) + 7 * k;
              out.push(lineElement(centre - widest / 2 - 8 * k, ruleY, centre + widest / 2 + 8 * k, ruleY, accent, 1.1 * k, { dash: [7 * k, 3 * k], opacity: 0.8 }));
              y += 5 * k;
            }
            for (const line of notes) { out.push(textElement(centre, y, line, fonts.note, CHALK, "middle", 0.75)); y += lineOf(fonts.note); }
          } };
        },
      },
    });
    const pages = finishPages(flow.pages, paper, (page, count) => {
      const under = [rectElement(0, 0, paper.width, paper.height, { fill: board }),
        rectElement(20 * k, 20 * k, paper.width - 40 * k, paper.height - 40 * k, { stroke: CHALK, strokeWidth: 1.6 * k, strokeOpacity: 0.55, dash: [14 * k, 4 * k] }),
        rectElement(27 * k, 27 * k, paper.width - 54 * k, paper.height - 54 * k, { stroke: accent, strokeWidth: 0.6 * k, strokeOpacity: 0.6 })];
      const over = [];
      if (page.number === 1) {
        title.draw(margin.left, margin.top, over, { title: CHALK, contact: CHALK, contactOpacity: 0.8 });
        const cy = margin.top + title.height + flourish * 0.3, cx = paper.width / 2;
        over.push(lineElement(cx - 80 * k, cy, cx + 80 * k, cy, accent, 1.4 * k, { dash: [2 * k, 4 * k] }));
      }
      if (count > 1) over.push(textElement(paper.width / 2, paper.height - 44 * k, page.number + " / " + count, fonts.folio, CHALK, "middle", 0.7));
      return { under, over };
    });
    return { pages, overflow: flow.overflow };
  },
};
