"""A small PDF 1.4 writer for text reports.

Lines of text are laid out top to bottom on A4 pages with the standard Type 1
fonts (nothing is embedded), in WinAnsi encoding; characters outside it are
written as "?".  The file has one content stream per page, an info
dictionary, and a classic cross-reference table.
"""

from __future__ import annotations

import textwrap

PAGE_WIDTH = 595  # A4, in points
PAGE_HEIGHT = 842
MARGIN = 56

# style -> (font resource, size, average glyph width as a share of the size)
STYLES = {
    "title": ("F2", 16, 0.58),
    "heading": ("F2", 11, 0.58),
    "body": ("F1", 10, 0.52),
    "mono": ("F3", 9, 0.6),
}
FONTS = {"F1": "Helvetica", "F2": "Helvetica-Bold", "F3": "Courier"}


def pdf_string(text: str) -> bytes:
    """A PDF literal string of ``text`` in WinAnsi encoding."""
    raw = text.encode("cp1252", errors="replace")
    escaped = raw.replace(b"\\", b"\\\\").replace(b"(", b"\\(").replace(b")", b"\\)")
    escaped = escaped.replace(b"\r", b"\\r").replace(b"\n", b"\\n")
    return b"(" + escaped + b")"


def _wrap(style: str, text: str) -> list[str]:
    _, size, share = STYLES[style]
    width = max(10, int((PAGE_WIDTH - 2 * MARGIN) / (size * share)))
    if not text:
        return [""]
    return textwrap.wrap(
        text, width, subsequent_indent="  ", replace_whitespace=False, drop_whitespace=False
    ) or [""]


def _paginate(lines: list[tuple[str, str]]) -> list[bytes]:
    """Content streams, one per page."""
    pages: list[list[bytes]] = [[]]
    y = PAGE_HEIGHT - MARGIN
    for style, text in lines:
        font, size, _ = STYLES[style]
        leading = size * 1.5
        for piece in _wrap(style, text):
            if y - leading < MARGIN:
                pages.append([])
                y = PAGE_HEIGHT - MARGIN
            y -= leading
            if piece:
                pages[-1].append(
                    b"BT /%s %d Tf %d %.1f Td %s Tj ET"
                    % (font.encode(), size, MARGIN, y, pdf_string(piece))
                )
    return [b"\n".join(ops) + b"\n" for ops in pages]


def render_pdf(lines: list[tuple[str, str]], title: str = "", producer: str = "") -> bytes:
    """The bytes of a PDF holding ``lines``, each a (style, text) pair.

    Styles: "title", "heading", "body", "mono".  Long lines are wrapped.
    """
    for style, _ in lines:
        if style not in STYLES:
            raise ValueError(f"unknown text style {style!r}")
    streams = _paginate(lines)

    # Object numbers: 1 catalog, 2 page tree, 3 info, 4-6 fonts, then a page
    # and its content stream for each page.
    font_numbers = {name: 4 + i for i, name in enumerate(FONTS)}
    first_page = 4 + len(FONTS)
    page_numbers = [first_page + 2 * i for i in range(len(streams))]

    objects: dict[int, bytes] = {
        1: b"<< /Type /Catalog /Pages 2 0 R >>",
        2: b"<< /Type /Pages /Kids [%s] /Count %d >>"
        % (b" ".join(b"%d 0 R" % n for n in page_numbers), len(streams)),
        3: b"<< /Title %s /Producer %s >>" % (pdf_string(title), pdf_string(producer)),
    }
    for name, number in font_numbers.items():
        objects[number] = (
            b"<< /Type /Font /Subtype /Type1 /BaseFont /%s /Encoding /WinAnsiEncoding >>"
            % FONTS[name].encode()
        )
    resources = b"<< /Font << %s >> >>" % b" ".join(
        b"/%s %d 0 R" % (name.encode(), number) for name, number in font_numbers.items()
    )
    for page_number, stream in zip(page_numbers, streams):
        objects[page_number] = (
            b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] /Resources %s /Contents %d 0 R >>"
            % (PAGE_WIDTH, PAGE_HEIGHT, resources, page_number + 1)
        )
        objects[page_number + 1] = (
            b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream"
        )

    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = {}
    for number in sorted(objects):
        offsets[number] = len(out)
        out += b"%d 0 obj\n" % number + objects[number] + b"\nendobj\n"
    size = max(objects) + 1
    xref_offset = len(out)
    out += b"xref\n0 %d\n" % size
    out += b"0000000000 65535 f \n"
    for number in range(1, size):
        out += b"%010d 00000 n \n" % offsets[number]
    out += b"trailer\n<< /Size %d /Root 1 0 R /Info 3 0 R >>\n" % size
    out += b"startxref\n%d\n%%%%EOF\n" % xref_offset
    return bytes(out)
