// One-page card: everything centred on a single tinted page inside a fine rounded border, the
// type made smaller, step by step, until the whole menu fits on the one page.
import { font, lineOf, wrap, textElement, lineElement, rectElement, fmt, flowMenu, finishPages, titleBlock } from "../layout.js";

const SMALLEST = 0.6;      // below this share of the normal sizes a card is no longer easy to read

export default {
  id: "card",
  name: "One-page card",
  description: "Everything centred on one page; the type gets smaller to make it fit.",
  colours: [
    { id: "ivory", label: "Ivory and gold", paper: "#fbf7ee", accent: "#8a6a2f" },
    { id: "white", label: "White and black", paper: "#ffffff", accent: "#222222" },
    { id: "sage", label: "Sage green", paper: "#f1f5ee", accent: "#46663f" },
    { id: "blush", label: "Blush and plum", paper: "#fbf0ee", accent: "#8e3b51" },
  ],
  fonts: [
    { id: "serif-lato", label: "DejaVu Serif headings, Lato text", heading: "DejaVu Serif", body: "Lato" },
    { id: "lato", label: "Lato throughout", heading: "Lato", body: "Lato" },
    { id: "opensans-lato", label: "Open Sans headings, Lato text", heading: "Open Sans", body: "Lato" },
  ],
  columns: [1, 2, 3],
  defaults: { colour: "ivory", fonts: "serif-lato", columns: 1 },
  logoBox: (paper) => ({ width: 120 * paper.width / 595, height: 66 * paper.width / 595 }),

  layout(menu, o, kit) {
    for (let share = 1; share >= SMALLEST - 1e-9; share -= 0.05) {
      const laid = this.layoutAt(menu, o, kit, share);
      if (laid.pages.length === 1) return laid;
    }
    // Not on one page even in small type: then in the normal size, over as many pages as needed.
    const laid = this.layoutAt(menu, o, kit, 1);
    return { ...laid, note: "This menu has more dishes than fit on one card at a size that is easy to read, so it goes on over " +
      laid.pages.length + " pages. Choose more columns, a larger paper or fewer dishes to keep it on one page." };
  },

  layoutAt(menu, o, kit, share) {
    const { paper } = o;
    const k = paper.width / 595;
    const s = k * share;
    const ink = "#222222", soft = "#5a5650", accent = o.colour.accent;
    const H = o.fonts.heading, B = o.fonts.body;
    const fonts = {
      title: font(H, 28 * k * Math.max(share, 0.8), 700), contact: font(B, 9.5 * k), heading: font(H, 14 * s, 700), note: font(B, 9.5 * s, 400, true),
      name: font(B, 11.5 * s, 700), price: font(B, 11.5 * s, 700), detail: font(B, 9.8 * s), extras: font(B, 9.2 * s, 400, true), folio: font(B, 9 * k),
    };
    const margin = { top: 50 * k, right: 50 * k, bottom: 52 * k, left: 50 * k };
    const width = paper.width - margin.left - margin.right;
    const title = titleBlock(menu, width, { fonts, align: "middle", gap: 8 * k }, kit.measure, kit.logo);
    const flow = flowMenu(menu, {
      paper, margin, columns: o.columns, gap: 22 * k, categoryGap: 14 * s, firstTop: margin.top + title.height + 14 * k,
      blocks: {
        item(item, w) {
          const priceText = kit.money(item.price);
          const separator = "   ";
          const priceWidth = kit.measure(separator + priceText, fonts.price);
          const nameLines = wrap(item.name, fonts.name, w - priceWidth, kit.measure);
          const detailLines = item.detail ? wrap(item.detail, fonts.detail, w, kit.measure) : [];
          const extrasLines = item.extras ? wrap(item.extras, fonts.extras, w, kit.measure) : [];
          const height = nameLines.length * lineOf(fonts.name) + detailLines.length * lineOf(fonts.detail) + extrasLines.length * lineOf(fonts.extras) + 8 * s;
          return { height, draw(x, top, out) {
            const centre = x + w / 2;
            let y = top + fonts.name.size;
            nameLines.forEach((line, index) => {
              if (index < nameLines.length - 1) { out.push(textElement(centre, y, line, fonts.name, ink, "middle")); y += lineOf(fonts.name); return; }
              // The last line carries the price: both centred together as one line.
              const nameWidth = kit.measure(line, fonts.name);
              const left = centre - (nameWidth + priceWidth) / 2;
              out.push(textElement(left, y, line, fonts.name, ink));
              out.push(textElement(left + nameWidth + kit.measure(separator, fonts.price), y, priceText, fonts.price, accent));
              y += lineOf(fonts.name);
            });
            y -= lineOf(fonts.name) - lineOf(fonts.detail);
            for (const line of detailLines) { out.push(textElement(centre, y, line, fonts.detail, soft, "middle")); y += lineOf(fonts.detail); }
            if (extrasLines.length) y += lineOf(fonts.extras) - lineOf(fonts.detail);
            for (const line of extrasLines) { out.push(textElement(centre, y, line, fonts.extras, accent, "middle")); y += lineOf(fonts.extras); }
          } };
        },
        heading(category, w, { again = false } = {}) {
          const lines = category.name ? wrap(category.name, fonts.heading, w, kit.measure) : [];
          const notes = category.description && !again ? wrap(category.description, fonts.note, w, kit.measure) : [];
          if (!lines.length && !notes.length) return null;
          const height = lines.length * lineOf(fonts.heading) + notes.length * lineOf(fonts.note) + 12 * s;
          return { height, draw(x, top, out) {
            const centre = x + w / 2;
            let y = top + fonts.heading.size;
            for (const line of lines) { out.push(textElement(centre, y, line, fonts.heading, accent, "middle")); y += lineOf(fonts.heading); }
            if (lines.length) {
              const ruleY = y - lineOf(fonts.heading) + 5 * s;
              out.push(lineElement(centre - 16 * s, ruleY, centre + 16 * s, ruleY, accent, 0.8 * s));
              y += 4 * s;
            }
            for (const line of notes) { out.push(textElement(centre, y, line, fonts.note, soft, "middle")); y += lineOf(fonts.note); }
          } };
        },
      },
    });
    // A card that fits on its page sits in the middle of it, not at the top (a thumbnail of a
    // few dishes stays at the top, where the picker shows it).
    const single = flow.pages.length === 1 ? flow.pages[0] : null;
    const lift = single && !kit.sample ? Math.max(0, (paper.height - margin.bottom - (single.used || single.top)) / 2) : 0;
    if (lift > 1) {
      single.parts.unshift(`<g transform="translate(0 ${fmt(lift)})">`);
      single.parts.push("</g>");
    }
    const pages = finishPages(flow.pages, paper, (page, count) => {
      const under = [rectElement(0, 0, paper.width, paper.height, { fill: o.colour.paper }),
        rectElement(24 * k, 24 * k, paper.width - 48 * k, paper.height - 48 * k, { stroke: accent, strokeWidth: 0.8 * k, rx: 10 * k })];
      const over = [];
      if (page.number === 1) {
        title.draw(margin.left, margin.top + lift, over, { title: ink, contact: soft });
        const cy = margin.top + lift + title.height + 2 * k, cx = paper.width / 2;
        over.push(`<circle cx="${fmt(cx)}" cy="${fmt(cy)}" r="${fmt(1.8 * k)}" fill="${accent}"/>`,
          lineElement(cx - 46 * k, cy, cx - 7 * k, cy, accent, 0.6 * k), lineElement(cx + 7 * k, cy, cx + 46 * k, cy, accent, 0.6 * k));
      }
      if (count > 1) over.push(textElement(paper.width / 2, paper.height - 33 * k, page.number + " / " + count, fonts.folio, soft, "middle"));
      return { under, over };
    });
    return { pages, overflow: flow.overflow };
  },
};
