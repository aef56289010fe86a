#!/usr/bin/env python3
"""Writes a sample register for unmz-uploader demos and tests.

    python3 make_sample_register.py DIR [--rows N] [--pdf-bytes N]

DIR receives "Реестр УНМЗ.xlsx" (an Office Open XML workbook with one sheet of inline strings)
and one small PDF 1.4 document per row, with Cyrillic names, one to three folder levels below
DIR, plus two at the top level. Python 3 standard library only; the same arguments always give
the same bytes.
"""

import argparse
import os
import sys
import zipfile
from xml.sax.saxutils import escape

WORKBOOK_NAME = "Реестр УНМЗ.xlsx"
DEFAULT_ROWS = 36
ROWS_PER_PLOT = 6
HEADER = ["№", "Наименование объекта", "Кадастровый номер", "Адрес", "Документ"]
TOP_LEVEL_DOCUMENTS = ["Пояснительная записка.pdf", "Сводная ведомость.pdf"]
# Not a document: the uploader sends PDF files only.
STRAY_FILE = os.path.join("Документы", "Участок 1", "заметки.txt")
ZIP_TIME = (2024, 1, 15, 9, 30, 0)

OBJECT_KINDS = [
    "Линия электропередачи 10 кВ",
    "Трансформаторная подстанция",
    "Газопровод низкого давления",
    "Водопроводная сеть",
    "Автомобильная дорога",
    "Кабельная линия связи",
]
STREETS = ["ул. Лесная", "ул. Садовая", "пр. Мира", "ул. Заречная", "пер. Школьный", "ул. Полевая"]


def document_path(row):
    """Relative path ("/"-separated) of the document of a row, numbered from 1."""
    plot = "Участок %d" % ((row - 1) // ROWS_PER_PLOT + 1)
    if row % 5 == 0:
        return "Договоры/договор %d.pdf" % row
    if row % 3 == 0:
        return "Документы/%s/Схемы/схема %d.pdf" % (plot, row)
    if row == 4:
        return "Документы/%s/акт %d.PDF" % (plot, row)
    if row == 8:
        # "№" is missing from the Russian part-header charset: the part's file name loses it.
        return "Документы/%s/протокол №%d.pdf" % (plot, row)
    return "Документы/%s/акт %d.pdf" % (plot, row)


def register_rows(count):
    rows = [HEADER]
    for row in range(1, count + 1):
        street = STREETS[row % len(STREETS)]
        name = "%s %s-%d" % (OBJECT_KINDS[row % len(OBJECT_KINDS)], street.split(". ", 1)[1], row)
        cadastral = "77:01:0004%03d:%d" % (row, 100 + row)
        if row % 7 == 0:
            cadastral = ""  # the service warns about a row with an empty field
        if row == 12:
            name = ""  # and reports an error for a row without a name
        address = "г. Москва, %s, д. %d" % (street, row)
        rows.append([str(row), name, cadastral, address, document_path(row).replace("/", "\\")])
    return rows


def column_letter(index):
    letters = ""
    index += 1
    while index:
        index, rest = divmod(index - 1, 26)
        letters = chr(ord("A") + rest) + letters
    return letters


def sheet_xml(rows):
    out = ['<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
           '<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
           '<sheetData>']
    for number, cells in enumerate(rows, start=1):
        out.append('<row r="%d">' % number)
        for column, text in enumerate(cells):
            reference = "%s%d" % (column_letter(column), number)
            if not text:
                continue
            if number > 1 and column == 0:
                out.append('<c r="%s"><v>%s</v></c>' % (reference, text))
            else:
                out.append('<c r="%s" t="inlineStr"><is><t>%s</t></is></c>' % (reference, escape(text)))
        out.append("</row>")
    out.append("</sheetData></worksheet>")
    return "".join(out)


WORKBOOK_PARTS = {
    "[Content_Types].xml":
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
        '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
        '<Default Extension="xml" ContentType="application/xml"/>'
        '<Override PartName="/xl/workbook.xml" '
        'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
        '<Override PartName="/xl/worksheets/sheet1.xml" '
        'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>'
        '</Types>',
    "_rels/.rels":
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        '<Relationship Id="rId1" '
        'Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" '
        'Target="xl/workbook.xml"/>'
        '</Relationships>',
    "xl/workbook.xml":
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        '<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
        'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
        '<sheets><sheet name="Реестр" sheetId="1" r:id="rId1"/></sheets>'
        '</workbook>',
    "xl/_rels/workbook.xml.rels":
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        '<Relationship Id="rId1" '
        'Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" '
        'Target="worksheets/sheet1.xml"/>'
        '</Relationships>',
}


def write_workbook(path, rows):
    parts = dict(WORKBOOK_PARTS)
    parts["xl/worksheets/sheet1.xml"] = sheet_xml(rows)
    with zipfile.ZipFile(path, "w") as archive:
        for name, text in parts.items():
            info = zipfile.ZipInfo(name, ZIP_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, text.encode("utf-8"))


def pdf_text_string(text):
    return "<FEFF" + text.encode("utf-16-be").hex().upper() + ">"


def make_pdf(title, caption, min_bytes=0):
    """A one-page PDF 1.4 file with a correct cross-reference table, at least min_bytes long
    (comment lines in the page's content stream make up the difference)."""
    content = "BT /F1 18 Tf 72 760 Td (%s) Tj ET\n" % caption
    objects = [
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] "
        "/Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>",
        None,  # the content stream, sized below
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Title %s /Producer (unmz sample register) >>" % pdf_text_string(title),
    ]

    def build(stream):
        objects[3] = "<< /Length %d >>\nstream\n%sendstream" % (len(stream), stream)
        out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
        offsets = []
        for number, body in enumerate(objects, start=1):
            offsets.append(len(out))
            out += ("%d 0 obj\n%s\nendobj\n" % (number, body)).encode("latin-1")
        xref = len(out)
        out += ("xref\n0 %d\n" % (len(objects) + 1)).encode("ascii")
        out += b"0000000000 65535 f \n"
        for offset in offsets:
            out += ("%010d 00000 n \n" % offset).encode("ascii")
        out += ("trailer\n<< /Size %d /Root 1 0 R /Info 6 0 R >>\nstartxref\n%d\n%%%%EOF\n"
                % (len(objects) + 1, xref)).encode("ascii")
        return bytes(out)

    pdf = build(content)
    if len(pdf) < min_bytes:
        missing = min_bytes - len(pdf)
        filler = "".join("%% %s\n" % ("x" * 76) for _ in range(missing // 79 + 1))
        pdf = build(content + filler)
    return pdf


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def make_sample(folder, rows=DEFAULT_ROWS, pdf_bytes=0):
    """Writes the sample into folder; returns the workbook's path and the documents' relative paths."""
    os.makedirs(folder, exist_ok=True)
    workbook = os.path.join(folder, WORKBOOK_NAME)
    write_workbook(workbook, register_rows(rows))
    documents = list(TOP_LEVEL_DOCUMENTS) + [document_path(row) for row in range(1, rows + 1)]
    for number, relative in enumerate(documents):
        title = os.path.splitext(os.path.basename(relative))[0]
        write_file(os.path.join(folder, relative), make_pdf(title, "UNMZ sample document %d" % number, pdf_bytes))
    write_file(os.path.join(folder, STRAY_FILE), "Черновые заметки, не для загрузки.\n".encode("utf-8"))
    return workbook, documents


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write a sample register workbook and its PDF documents.")
    parser.add_argument("folder")
    parser.add_argument("--rows", type=int, default=DEFAULT_ROWS, help="objects in the workbook, one PDF each")
    parser.add_argument("--pdf-bytes", type=int, default=0, help="pad every PDF to at least this size")
    options = parser.parse_args(argv)
    workbook, documents = make_sample(options.folder, options.rows, options.pdf_bytes)
    print("%s: %d rows, %d PDF documents" % (workbook, options.rows, len(documents)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
