"""Sample register generator: a workbook that opens as a zip of well-formed XML and whose rows the
dev service counts, and PDF files whose cross-reference tables point at their objects."""

import os
import re
import subprocess
import sys
import tempfile
import unittest
import zipfile
import xml.etree.ElementTree as ElementTree

from test_devservice import TOOLS_DIR, Service, UploaderForm, item_kind  # noqa: F401

import devservice
import make_sample_register as sample

GENERATOR = os.path.join(TOOLS_DIR, "make_sample_register.py")


def check_pdf(test, data, label):
    """The structure a PDF reader relies on: header, xref offsets, stream lengths, trailer."""
    test.assertTrue(data.startswith(b"%PDF-1.4\n"), label)
    test.assertTrue(data.endswith(b"%%EOF\n"), label)
    startxref = int(re.search(rb"startxref\n(\d+)\n%%EOF\n$", data).group(1))
    test.assertEqual(data[startxref : startxref + 5], b"xref\n", label)
    header = re.match(rb"xref\n0 (\d+)\n", data[startxref:])
    count = int(header.group(1))
    table = startxref + header.end()
    entries = [data[table + 20 * i : table + 20 * (i + 1)] for i in range(count)]
    test.assertEqual(entries[0], b"0000000000 65535 f \n", label)
    for number, entry in enumerate(entries[1:], start=1):
        test.assertRegex(entry, rb"^\d{10} 00000 n \n$", label)
        offset = int(entry[:10])
        test.assertTrue(data[offset:].startswith(b"%d 0 obj\n" % number), (label, number))
    test.assertIn(b"/Size %d" % count, data[table + 20 * count :])
    for match in re.finditer(rb"<< /Length (\d+) >>\nstream\n", data):
        end = match.end() + int(match.group(1))
        test.assertEqual(data[end : end + 10], b"endstream\n", label)


class SampleRegisterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory(prefix="sample-register-")
        result = subprocess.run([sys.executable, GENERATOR, cls.folder.name], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        cls.workbook = os.path.join(cls.folder.name, sample.WORKBOOK_NAME)
        cls.files = sorted(
            os.path.relpath(os.path.join(d, f), cls.folder.name) for d, _, fs in os.walk(cls.folder.name) for f in fs
        )
        cls.pdfs = [f for f in cls.files if f.lower().endswith(".pdf")]

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_workbook_is_a_zip_of_well_formed_parts(self):
        with zipfile.ZipFile(self.workbook) as archive:
            self.assertIsNone(archive.testzip())
            names = archive.namelist()
            for part in ["[Content_Types].xml", "_rels/.rels", "xl/workbook.xml", "xl/_rels/workbook.xml.rels",
                         "xl/worksheets/sheet1.xml"]:
                self.assertIn(part, names)
            for name in names:
                ElementTree.fromstring(archive.read(name))
            self.assertEqual(names[0], "[Content_Types].xml")

    def test_service_counts_the_rows(self):
        rows = devservice.read_workbook_rows(self.workbook)
        self.assertEqual(rows[0], sample.HEADER)
        self.assertEqual(len(rows), sample.DEFAULT_ROWS + 1)
        self.assertTrue(all(re.search("[а-яА-Я]", row[1] + row[3]) for row in rows[1:]))
        self.assertEqual([row[4] for row in rows[1:]],
                         [sample.document_path(r).replace("/", "\\") for r in range(1, sample.DEFAULT_ROWS + 1)])

    def test_documents_are_valid_pdfs_in_nested_cyrillic_folders(self):
        self.assertEqual(len(self.pdfs), sample.DEFAULT_ROWS + len(sample.TOP_LEVEL_DOCUMENTS))
        depths = {p.count(os.sep) for p in self.pdfs}
        self.assertEqual(depths, {0, 1, 2, 3})
        self.assertEqual(len([p for p in self.pdfs if p.endswith(".PDF")]), 1)
        self.assertTrue(all(re.search("[а-яА-Я]", p) for p in self.pdfs))
        self.assertIn(sample.STRAY_FILE, self.files)
        for relative in self.pdfs:
            with open(os.path.join(self.folder.name, relative), "rb") as document:
                check_pdf(self, document.read(), relative)

    def test_padding_reaches_the_size_and_keeps_the_structure(self):
        for size in [0, 1, 700, 1024 * 1024]:
            with self.subTest(size=size):
                data = sample.make_pdf("Заголовок", "caption", size)
                self.assertGreaterEqual(len(data), size)
                self.assertLess(len(data), max(size, 700) + 200)
                check_pdf(self, data, size)

    def test_same_arguments_same_bytes(self):
        with tempfile.TemporaryDirectory() as other:
            sample.make_sample(other)
            for relative in [sample.WORKBOOK_NAME] + self.pdfs:
                with open(os.path.join(other, relative), "rb") as a, \
                        open(os.path.join(self.folder.name, relative), "rb") as b:
                    self.assertEqual(a.read(), b.read(), relative)

    def test_row_count_option_and_empty_register(self):
        with tempfile.TemporaryDirectory() as other:
            for rows in (0, 1, 61):
                workbook, documents = sample.make_sample(os.path.join(other, str(rows)), rows)
                self.assertEqual(len(devservice.read_workbook_rows(workbook)), rows + 1)
                self.assertEqual(len(documents), rows + len(sample.TOP_LEVEL_DOCUMENTS))

    def test_service_stage_follows_the_sample(self):
        service = Service()
        self.addCleanup(service.close)
        cookie, sid = service.session()
        with open(self.workbook, "rb") as book:
            self.assertEqual(service.load(cookie, "", sample.WORKBOOK_NAME, book.read(), registry=True), "success")
        reply, items, _, _ = service.stage(cookie, sid, "processRegistry", ("drawTiles", "1"))
        self.assertEqual(reply.text, "success")
        per_row = [i for i in items if re.search(r"строк[еа] \d+", i.lower())]
        self.assertEqual(len(per_row), sample.DEFAULT_ROWS)
        self.assertEqual({item_kind(i) for i in items}, {"plain", "ok", "warning", "error", "complete"})


if __name__ == "__main__":
    unittest.main()
