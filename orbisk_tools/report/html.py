"""The report of a site for its customer as one HTML page that needs nothing else: its style
inline, its chart an inline SVG, no script, no font, image or link to fetch (its content
security policy forbids them besides), printable on A4 with the table's header on every page and
no row split. Every text from a device, a file or the history is escaped."""

from html import escape

from orbisk_tools.report.customer import NO_ATTEMPT, NOT_KNOWN, result_totals, verdict_kind, verdict_totals, \
    version_counts
from orbisk_tools.report.output import shown_time

# The colour of each result and verdict: a class of the style below, never a text of the data.
RESULT_CLASSES = {"updated": "good", "loaded": "good", "skipped": "good", "failed": "bad", "interrupted": "warn",
                  "ended unrecorded": "warn", "running": "warn", "not started": "idle", "dry run": "idle",
                  NO_ATTEMPT: "idle"}
VERDICT_CLASSES = {"runs": "good", "holds, not loaded": "warn", "holds, not confirmed": "warn", "differs": "bad",
                   "cannot tell": "bad"}
SHA_SHOWN = 12  # hex digits of an image's SHA-256 in the table; the whole in its title
CHART_VERSIONS = 12  # versions the chart shows at most; the rarer ones are counted as one bar

STYLE = """
@page { size: A4 landscape; margin: 12mm 10mm; }
* { box-sizing: border-box; }
html { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
body { font-family: system-ui, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif; font-size: 13px;
       color: #1f2328; margin: 24px; line-height: 1.35; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 16px; margin: 20px 0 8px; }
h3 { font-size: 13px; margin: 12px 0 4px; }
.totals h3:first-child { margin-top: 0; }
p { margin: 2px 0; }
.meta { color: #57606a; }
code { font-family: ui-monospace, "SFMono-Regular", Menlo, Consolas, "Liberation Mono", monospace; font-size: 12px; }
.overview { display: flex; flex-wrap: wrap; gap: 24px; align-items: flex-start; break-inside: avoid; }
.totals table { border-collapse: collapse; }
.totals th { text-align: left; font-weight: normal; padding: 2px 16px 2px 0; }
.totals td { text-align: right; padding: 2px 0; font-variant-numeric: tabular-nums; }
.totals tr.all th, .totals tr.all td { font-weight: 600; border-bottom: 1px solid #d0d7de; }
figure { margin: 0; }
figcaption { font-weight: 600; font-size: 13px; margin-bottom: 4px; }
svg text { font-size: 12px; fill: #1f2328; }
.mark { display: inline-block; width: 9px; height: 9px; border-radius: 50%; margin-right: 6px; }
.good .mark { background: #1a7f37; }
.bad .mark { background: #cf222e; }
.warn .mark { background: #bf8700; }
.idle .mark { background: #8c959f; }
table.devices { border-collapse: collapse; width: 100%; font-size: 12px; }
table.devices th { text-align: left; background: #eaeef2; border-bottom: 2px solid #8c959f; padding: 5px 6px;
                   white-space: nowrap; }
table.devices td { border-bottom: 1px solid #d0d7de; padding: 4px 6px; vertical-align: top; }
table.devices tbody tr:nth-child(even) { background: #f6f8fa; }
table.devices td.nowrap { white-space: nowrap; }
table.devices tr.bad td.result { color: #a40e26; font-weight: 600; }
table.devices td.verdict.bad { color: #a40e26; font-weight: 600; }
.none { color: #8c959f; }
footer { margin-top: 16px; color: #57606a; font-size: 11px; }
thead { display: table-header-group; }
tr { break-inside: avoid; page-break-inside: avoid; }
@media print {
  body { margin: 0; font-size: 10px; line-height: 1.25; }
  h1 { font-size: 18px; }
  table.devices { font-size: 9px; }
  table.devices th { padding: 3px 5px; }
  table.devices td { padding: 2px 5px; }
  code { font-size: 9px; }
  h2 { break-after: avoid; }
}
"""


def page(report):
    """The whole page of `report`, a customer.SiteReport, as text."""
    title = f"FPGA update report: {report.site}"
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en">',
        "<head>",
        '<meta charset="utf-8">',
        # Nothing may be fetched, whatever a text of the data would hold.
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">",
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{escape(title)}</title>",
        f"<style>{STYLE}</style>",
        "</head>",
        "<body>",
        "<header>",
        f"<h1>{escape(title)}</h1>",
        f'<p class="meta">{len(report.devices)} devices · {escape(report.span)} · '
        f"made {escape(shown_time(report.made))} UTC by {escape(report.made_by)}</p>",
    ]
    if report.verified:
        parts.append(f'<p class="meta">Verdicts of a final read-back of every device against '
                     f'{escape(report.image)}, SHA-256 <code>{escape(report.image_sha256)}</code></p>')
        if report.vendor:
            parts.append(f'<p class="meta">{escape(report.vendor)}</p>')
    parts += ["</header>", '<section class="overview">', totals(report), chart(version_counts(report.devices)),
              "</section>", "<h2>Devices</h2>", device_table(report), footer(), "</body>", "</html>", ""]
    return "\n".join(parts)


def totals(report):
    rows = [f'<tr class="all"><th>Devices</th><td>{len(report.devices)}</td></tr>']
    rows += [f'<tr class="{RESULT_CLASSES.get(result, "warn")}"><th><span class="mark"></span>{escape(result)}</th>'
             f"<td>{count}</td></tr>" for result, count in result_totals(report.devices)]
    parts = ['<div class="totals">', "<h3>By the result of their newest attempt</h3>",
             '<table class="totals-results">', *rows, "</table>"]
    if report.verified:
        parts += ["<h3>By the verdict of the final read-back</h3>", '<table class="totals-verdicts">']
        parts += [f'<tr class="{VERDICT_CLASSES.get(verdict, "warn")}"><th><span class="mark"></span>'
                  f"{escape(verdict)}</th><td>{count}</td></tr>" for verdict, count in verdict_totals(report.devices)]
        parts.append("</table>")
    parts.append("</div>")
    return "\n".join(parts)


def chart(counts):
    """A bar chart as inline SVG: for each FPGA version, how many devices had it before (grey) and
    have it after (blue), with the numbers beside the bars."""
    if len(counts) > CHART_VERSIONS:
        kept = sorted(counts, key=lambda count: -(count[1] + count[2]))[:CHART_VERSIONS - 1]
        rest = [count for count in counts if count not in kept]
        counts = [count for count in counts if count in kept]
        counts.append((f"{len(rest)} other versions", sum(c[1] for c in rest), sum(c[2] for c in rest)))
    label_width, bar_width, bar, gap, group_gap, top = 130, 380, 13, 2, 12, 30
    width = label_width + bar_width + 50
    height = top + len(counts) * (2 * bar + gap + group_gap)
    most = max([1, *(max(before, after) for _, before, after in counts)])
    described = "; ".join(f"{version}: {before} before, {after} after" for version, before, after in counts)
    parts = ['<figure class="chart"><figcaption>FPGA versions before and after</figcaption>',
             f'<svg width="{width}" height="{height}" viewBox="0 0 {width} {height}" role="img">',
             f"<title>{escape(described)}</title>",
             '<rect x="0" y="4" width="12" height="12" fill="#8c959f"/><text x="18" y="14">before</text>',
             '<rect x="80" y="4" width="12" height="12" fill="#0969da"/><text x="98" y="14">after</text>']
    y = top
    for version, before, after in counts:
        shown = version if len(version) <= 18 else version[:17] + "…"
        style = ' font-style="italic"' if version == NOT_KNOWN else ""
        parts.append(f'<text x="{label_width - 8}" y="{y + bar + gap // 2 + 4}" text-anchor="end"{style}>'
                     f"{escape(shown)}</text>")
        for offset, count, colour in ((0, before, "#8c959f"), (bar + gap, after, "#0969da")):
            length = round(bar_width * count / most)
            parts.append(f'<rect x="{label_width}" y="{y + offset}" width="{length}" height="{bar}" '
                         f'fill="{colour}"/>')
            parts.append(f'<text x="{label_width + length + 4}" y="{y + offset + bar - 2}">{count}</text>')
        y += 2 * bar + gap + group_gap
    parts += ["</svg>", "</figure>"]
    return "\n".join(parts)


def device_table(report):
    headings = ["Serial", "Address", "Tags", "FPGA before", "FPGA after", "Result", "When (UTC)", "By",
                "Image SHA-256", *(["Verdict"] if report.verified else [])]
    parts = ['<table class="devices">', "<thead><tr>", *(f"<th>{heading}</th>" for heading in headings),
             "</tr></thead>", "<tbody>"]
    for record in report.devices:
        parts.append(device_row(record, report.verified))
    parts += ["</tbody>", "</table>"]
    return "\n".join(parts)


def device_row(record, verified):
    result_class = RESULT_CLASSES.get(record.result, "warn")
    cells = [cell(record.serial, "nowrap"), cell(record.address, "nowrap"), cell(" ".join(record.tags)),
             cell(record.version_before, "nowrap"),
             cell(record.version_after, "nowrap", missing=NOT_KNOWN if record.result != NO_ATTEMPT else "-"),
             f'<td class="result" title="{escape(record.message)}"><span class="mark"></span>'
             f"{escape(record.result_text)}</td>",
             cell(shown_time(record.started)), cell(record.operator), sha_cell(record)]
    if verified:
        kind = VERDICT_CLASSES.get(verdict_kind(record), "warn") if record.verdict else ""
        verdict = escape(record.verdict) if record.verdict else '<span class="none">-</span>'
        cells.append(f'<td class="verdict {kind}" title="{escape(record.verdict_text)}">{verdict}</td>')
    return f'<tr class="{result_class}">{"".join(cells)}</tr>'


def cell(text, kind="", missing="-"):
    shown = escape(text) if text else f'<span class="none">{escape(missing)}</span>'
    return f'<td class="{kind}">{shown}</td>' if kind else f"<td>{shown}</td>"


def sha_cell(record):
    """The image's SHA-256, its first digits then an ellipsis, the whole in its title."""
    if not record.image_sha256:
        return cell("")
    sha = escape(record.image_sha256)
    return f'<td class="nowrap" title="{sha}"><code>{escape(record.image_sha256[:SHA_SHOWN])}…</code></td>'


def footer():
    return ("<footer>Each device's row shows its newest update attempt in the span (a dry run or an update not "
            "started is passed over when an older attempt is there). FPGA before: what the device reported "
            "before its first attempt in the span; FPGA after: what it reported at the end of its newest one, or "
            "at the final read-back when there was one (not known: its update erased it without loading an image "
            "since, or it was not asked). Times are in UTC. Made by orbisk-fpga report.</footer>")
