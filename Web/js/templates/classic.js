// Classic: serif type, a centred title under a fine double frame, centred headings between
// rules, and dotted leaders from each dish to its price.
import { font, lineOf, wrap, textElement, lineElement, rectElement, fmt, flowMenu, finishPages, pricedDish, titleBlock } from "../layout.js";

export default {
  id: "classic",
  name: "Classic",
  description: "Serif type, a centred title and dotted lines leading to each price.",
  colours: [
    { id: "burgundy", label: "Burgundy", accent: "#7a2e1f" },
    { id: "navy", label: "Navy blue", accent: "#1f3a5f" },
    { id: "forest", label: "Forest green", accent: "#2f5233" },
    { id: "charcoal", label: "Charcoal", accent: "#3a3a3a" },
  ],
  fonts: [
    { id: "serif-lato", label: "DejaVu Serif headings, Lato text", heading: "DejaVu Serif", body: "Lato" },
    { id: "serif", label: "DejaVu Serif throughout", heading: "DejaVu Serif", body: "DejaVu Serif" },
    { id: "lato", label: "Lato throughout", heading: "Lato", body: "Lato" },
    { id: "opensans", label: "Open Sans throughout", heading: "Open Sans", body: "Open Sans" },
  ],
  columns: [1, 2],
  defaults: { colour: "burgundy", fonts: "serif-lato", columns: 1 },
  logoBox: (paper) => ({ width: 150 * paper.width / 595, height: 80 * paper.width / 595 }),

  layout(menu, o, kit) {
    const { paper } = o;
    const k = paper.width / 595;
    const ink = "#1d1d1b", soft = "#55524c", accent = o.colour.accent;
    const H = o.fonts.heading, B = o.fonts.body;
    const fonts = {
      title: font(H, 30 * k, 700), contact: font(B, 10.5 * k), heading: font(H, 15.5 * k, 700), note: font(B, 10 * k, 400, true),
      name: font(B, 12 * k, 700), price: font(B, 12 * k, 700), detail: font(B, 10.2 * k), extras: font(B, 9.6 * k, 400, true), folio: font(B, 9 * k),
    };
    const margin = { top: 58 * k, right: 58 * k, bottom: 72 * k, left: 58 * k };
    const width = paper.width - margin.left - margin.right;
    const title = titleBlock(menu, width, { fonts, align: "middle", gap: 10 * k }, kit.measure, kit.logo);
    const ornament = 26 * k;
    const dish = { fonts, ink: { name: ink, price: ink, detail: soft, extras: accent, leader: soft },
      leader: { dash: [0.9, 2.6], width: 0.9, opacity: 0.9 }, after: 9 * k };
    const flow = flowMenu(menu, {
      paper, margin, columns: o.columns, gap: 26 * k, categoryGap: 16 * k, firstTop: margin.top + title.height + ornament,
      blocks: {
        item: (item, w) => pricedDish(item, w, dish, kit.money, kit.measure),
        heading(category, w, { again = false } = {}) {
          const lines = category.name ? wrap(category.name, fonts.heading, w - 50 * k, kit.measure) : [];
          const notes = category.description && !again ? wrap(category.description, fonts.note, w, kit.measure) : [];
          if (!lines.length && !notes.length) return null;
          const height = lines.length * lineOf(fonts.heading) + notes.length * lineOf(fonts.note) + 14 * k;
          return { height, draw(x, top, out) {
            let y = top + fonts.heading.size;
            const centre = x + w / 2;
            for (const line of lines) {
              out.push(textElement(centre, y, line, fonts.heading, accent, "middle"));
              const half = kit.measure(line, fonts.heading) / 2;
              const ruleY = y - fonts.heading.size * 0.32;
              if (centre - half - 10 * k > x + 4 * k) {
                out.push(lineElement(x, ruleY, centre - half - 10 * k, ruleY, accent, 0.6 * k, { opacity: 0.55 }));
                out.push(lineElement(centre + half + 10 * k, ruleY, x + w, ruleY, accent, 0.6 * k, { opacity: 0.55 }));
              }
              y += lineOf(fonts.heading);
            }
            y += 1 * k;
            for (const line of notes) { out.push(textElement(centre, y, line, fonts.note, soft, "middle")); y += lineOf(fonts.note); }
          } };
        },
      },
    });
    const pages = finishPages(flow.pages, paper, (page, count) => {
      const under = [rectElement(0, 0, paper.width, paper.height, { fill: "#ffffff" }),
        rectElement(22 * k, 22 * k, paper.width - 44 * k, paper.height - 44 * k, { stroke: accent, strokeWidth: 1.2 * k }),
        rectElement(27 * k, 27 * k, paper.width - 54 * k, paper.height - 54 * k, { stroke: accent, strokeWidth: 0.4 * k, strokeOpacity: 0.8 })];
      const over = [];
      if (page.number === 1) {
        title.draw(margin.left, margin.top, over, { title: ink, contact: soft });
        // A small ornament under the title: two rules and a diamond.
        const cy = margin.top + title.height + ornament * 0.35, cx = paper.width / 2, d = 3.2 * k;
        over.push(lineElement(cx - 60 * k, cy, cx - 8 * k, cy, accent, 0.7 * k), lineElement(cx + 8 * k, cy, cx + 60 * k, cy, accent, 0.7 * k),
          `<path d="M${fmt(cx)} ${fmt(cy - d)} L${fmt(cx + d)} ${fmt(cy)} L${fmt(cx)} ${fmt(cy + d)} L${fmt(cx - d)} ${fmt(cy)} Z" fill="${accent}"/>`);
      }
      if (count > 1) over.push(textElement(paper.width / 2, paper.height - 42 * k, "– " + page.number + " / " + count + " –", fonts.folio, soft, "middle"));
      return { under, over };
    });
    return { pages, overflow: flow.overflow };
  },
};
