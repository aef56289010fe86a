"""Dev upload service: the seven requests as the uploader sends them, byte for byte.

Forms are built here by hand the way the uploader writes them (quoted-printable text fields,
8bit UTF-8 fields, RFC 2047 B-encoded KOI8-R file names, HTTP/1.0 head), so the service's email
parser is checked against an encoder written independently of it.
"""

import base64
import http.client
import json
import os
import random
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc
import unittest
import unittest.mock
import zipfile

SOURCE_DIR = os.environ.get("UNMZ_SOURCE_DIR") or os.path.join(os.path.dirname(__file__), "..", "..")
TOOLS_DIR = os.path.join(SOURCE_DIR, "tools", "devservice")
SERVICE = os.path.join(TOOLS_DIR, "devservice.py")
sys.path.insert(0, TOOLS_DIR)

import devservice  # noqa: E402

FAST_STAGE = "0.2"
POLL_TIMEOUT_SECONDS = 20
ENCODED_WORD_LIMIT = 75
QP_LINE_LIMIT = 70
XLSX = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"


# ---------------------------------------------------------------------------------------------
# The uploader's wire format


def quoted_printable(value):
    """Text field data: one byte per character ("?" above U+00FF), soft breaks at 70."""
    data = "".join(c if ord(c) <= 0xFF else "?" for c in value).encode("latin-1")
    lines = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n")
    if data.endswith((b"\n", b"\r")):
        lines.pop()
    out = bytearray()
    for line in lines:
        count = 0
        for index, byte in enumerate(line):
            last = index == len(line) - 1
            if byte == 46 and count == 0:
                text = b"=2E"
            elif 33 <= byte <= 126 and byte != 61:
                text = bytes([byte])
            elif byte in (32, 9) and not last:
                text = bytes([byte])
            else:
                text = b"=%02X" % byte
            out += text
            count += len(text)
            if count >= QP_LINE_LIMIT:
                out += b"=\r\n"
                count = 0
        out += b"\r\n"
    return bytes(out)


def encoded_words(name, codec="koi8_r", label="KOI8-R"):
    """A part-header file name: runs of words with bytes outside 32..126 as B encoded-words."""
    data = name.encode(codec, errors="replace")
    words = re.findall(rb"([ \t\r\n]*)([^ \t\r\n]+)", data)  # (white space before, word)
    tail = data[len(b"".join(space + word for space, word in words)):]
    needs = [any(b < 32 or b > 126 for b in word) for _, word in words]
    out = bytearray()
    prefix = b"=?" + label.encode() + b"?B?"
    room = (ENCODED_WORD_LIMIT - len(prefix) - 2) // 4 * 3
    index = 0
    while index < len(words):
        if not needs[index]:
            out += words[index][0] + words[index][1]
            index += 1
            continue
        end = index
        while end + 1 < len(words) and needs[end + 1]:
            end += 1
        run = words[index][1] + b"".join(space + word for space, word in words[index + 1 : end + 1])
        out += words[index][0]
        pieces = [run[i : i + room] for i in range(0, len(run), room)]
        out += b"?=\r\n ".join(prefix + base64.b64encode(piece) for piece in pieces) + b"?="
        index = end + 1
    return (bytes(out) + tail).decode("ascii")


class UploaderForm:
    """The fields of one request, written as the uploader writes them."""

    def __init__(self, action):
        self.boundary = "--------" + time.strftime("%m%d%y%H%M%S") + "%03d" % (time.time() * 1000 % 1000)
        self.parts = []
        self.add_text("action", action)

    def add_text(self, name, value):
        head = 'Content-Disposition: form-data; name="%s"\r\nContent-Type: text/plain\r\n' % name
        head += "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
        self.parts.append(head.encode() + (quoted_printable(value) if value else b"\r\n"))
        return self

    def add_utf8(self, name, value):
        head = 'Content-Disposition: form-data; name="%s"\r\nContent-Type: text/plain; charset="utf-8"\r\n' % name
        head += "Content-Transfer-Encoding: 8bit\r\n\r\n"
        self.parts.append(head.encode() + value.encode("utf-8") + b"\r\n")
        return self

    def add_file(self, file_name, data, content_type="application/pdf"):
        head = 'Content-Disposition: form-data; name="data"; filename="%s"\r\n' % encoded_words(file_name)
        head += "Content-Type: %s\r\nContent-Transfer-Encoding: binary\r\n\r\n" % content_type
        self.parts.append(head.encode() + data + b"\r\n")
        return self

    def body(self):
        delimiter = b"--" + self.boundary.encode() + b"\r\n"
        return b"".join(delimiter + part for part in self.parts) + b"--" + self.boundary.encode() + b"--\r\n"


class Dropped(Exception):
    """The service closed the connection without a reply."""


def post(port, form, cookie=None, path="/QuorvelFiles"):
    """One HTTP/1.0 request on a connection of its own; returns the http.client response with
    its body read into .text."""
    body = form.body()
    head = ["POST %s HTTP/1.0" % path, "Connection: keep-alive",
            "Content-Type: multipart/form-data; boundary=" + form.boundary,
            "Content-Length: %d" % len(body), "Host: 127.0.0.1:%d" % port,
            "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
            "Accept-Encoding: identity", "User-Agent: Mozilla/3.0 (compatible; Indy Library)"]
    if cookie:
        head.append("Cookie: " + cookie)
    with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
        sock.sendall(("\r\n".join(head) + "\r\n\r\n").encode("ascii") + body)
        reply = http.client.HTTPResponse(sock)
        try:
            reply.begin()
        except http.client.RemoteDisconnected:
            raise Dropped()
        reply.text = reply.read().decode("utf-8")
    return reply


def item_kind(item):
    """How the uploader's journal shows a progress item."""
    lower = item.lower()
    if lower == "complete!":
        return "complete"
    if "ошибка" in lower or "ошибок" in lower:
        return "error"
    if "warning! " in lower:
        return "warning"
    if "good! " in lower:
        return "ok"
    return "plain"


def split_items(reply):
    if not reply:
        return []
    items = reply.split(";")
    return items[:-1] if reply.endswith(";") else items


def make_workbook(path, rows, shared_strings=True):
    """A workbook as spreadsheet programs write it: shared strings, sheet found through rels."""
    main = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
    strings, cells_xml = [], []
    for number, cells in enumerate(rows, start=1):
        out = []
        for column, text in enumerate(cells):
            if text == "":
                continue
            ref = "%s%d" % (chr(ord("A") + column), number)
            if shared_strings:
                strings.append(text)
                out.append('<c r="%s" t="s"><v>%d</v></c>' % (ref, len(strings) - 1))
            else:
                out.append('<c r="%s" t="inlineStr"><is><t>%s</t></is></c>' % (ref, text))
        cells_xml.append('<row r="%d">%s</row>' % (number, "".join(out)))
    rels = "http://schemas.openxmlformats.org/package/2006/relationships"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("xl/workbook.xml", '<workbook xmlns="%s" xmlns:r="http://schemas.openxmlformats.org/'
                         'officeDocument/2006/relationships"><sheets><sheet name="Лист" sheetId="1" '
                         'r:id="rId7"/></sheets></workbook>' % main)
        archive.writestr("xl/_rels/workbook.xml.rels", '<Relationships xmlns="%s"><Relationship Id="rId7" '
                         'Type="x" Target="worksheets/data.xml"/></Relationships>' % rels)
        archive.writestr("xl/worksheets/data.xml",
                         '<worksheet xmlns="%s"><sheetData>%s</sheetData></worksheet>' % (main, "".join(cells_xml)))
        if shared_strings:
            archive.writestr("xl/sharedStrings.xml", '<sst xmlns="%s">%s</sst>' % (
                main, "".join("<si><t>%s</t></si>" % s for s in strings)))


MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def sheet_xml(rows_xml, prolog=""):
    return '%s<worksheet xmlns="%s"><sheetData>%s</sheetData></worksheet>' % (prolog, MAIN_NS, rows_xml)


def sheet_book(path, sheet, shared=None):
    """A deflated workbook of one worksheet, found without a workbook part."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("xl/worksheets/sheet1.xml", sheet)
        if shared is not None:
            archive.writestr("xl/sharedStrings.xml", '<sst xmlns="%s">%s</sst>' % (MAIN_NS, shared))
    return path


def column_name(number):
    """1 -> "A", 27 -> "AA"."""
    name = ""
    while number:
        number, rest = divmod(number - 1, 26)
        name = chr(ord("A") + rest) + name
    return name


def cell(reference, text="x"):
    return '<c r="%s" t="inlineStr"><is><t>%s</t></is></c>' % (reference, text)


# ---------------------------------------------------------------------------------------------
# A service per test


class Service:
    def __init__(self, *options, stage=FAST_STAGE):
        self.root = tempfile.TemporaryDirectory(prefix="devservice-")
        self.data = os.path.join(self.root.name, "data")
        self.log_path = os.path.join(self.root.name, "requests.jsonl")
        command = [sys.executable, SERVICE, "--port", "0", "--data", self.data, "--quiet",
                   "--stage-seconds", stage, "--request-log", self.log_path] + list(options)
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().strip()
        if not line.startswith("listening on 127.0.0.1:"):
            self.process.kill()
            raise RuntimeError("service did not start: %r" % line)
        self.port = int(line.rsplit(":", 1)[1])

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()
        self.root.cleanup()

    def post(self, form, cookie=None, path="/QuorvelFiles"):
        return post(self.port, form, cookie, path)

    def session(self):
        """A new job: (cookie header value, session id)."""
        reply = self.post(UploaderForm("getSession"))
        return reply.getheader("Set-Cookie").split(";")[0], reply.text

    def load(self, cookie, folder, name, data, registry=False):
        form = UploaderForm("loadFile")
        if registry:
            form.add_text("folder", folder).add_utf8("fileName", name).add_text("isRegistry", "true")
            form.add_file(name, data, XLSX)
        else:
            form.add_utf8("folder", folder).add_utf8("fileName", name).add_file(name, data)
        return self.post(form, cookie).text

    def progress(self, sid):
        return self.post(UploaderForm("progress").add_text("sid", sid)).text

    def collect(self, sid, polls=None):
        """Polls until "complete!"; returns every item up to and including it."""
        items, deadline = [], time.time() + POLL_TIMEOUT_SECONDS
        while time.time() < deadline:
            reply = self.progress(sid)
            if polls is not None:
                polls.append((time.time(), reply))
            items += split_items(reply)
            if "complete!" in items:
                return items
            time.sleep(0.05)
        raise AssertionError("no complete! within %d s: %r" % (POLL_TIMEOUT_SECONDS, items))

    def stage(self, cookie, sid, action, *fields):
        """Sends a processing request and polls meanwhile; returns (reply or Dropped, items, polls)."""
        form = UploaderForm(action)
        for name, value in fields:
            form.add_text(name, value)
        result = {}

        def send():
            try:
                result["reply"] = self.post(form, cookie)
                result["at"] = time.time()
            except Dropped as dropped:
                result["reply"] = dropped
                result["at"] = time.time()

        sender = threading.Thread(target=send)
        sender.start()
        polls = []
        items = self.collect(sid, polls)
        sender.join(POLL_TIMEOUT_SECONDS)
        return result["reply"], items, polls, result["at"]

    def log(self):
        with open(self.log_path, encoding="utf-8") as log:
            return sorted((json.loads(line) for line in log), key=lambda entry: entry["seq"])

    def stored(self):
        """Relative paths of every file below the temporary root, the data folder included."""
        found = set()
        for folder, _, files in os.walk(self.root.name):
            for name in files:
                found.add(os.path.relpath(os.path.join(folder, name), self.root.name))
        return found - {"requests.jsonl"}


class ServiceTestCase(unittest.TestCase):
    service_options = ()

    def start(self, *options, stage=FAST_STAGE):
        service = Service(*options, stage=stage)
        self.addCleanup(service.close)
        return service

    def setUp(self):
        self.service = self.start(*self.service_options)


def pdf(text):
    return b"%PDF-1.4\n" + text.encode("utf-8") + b"\n%%EOF\n"


# ---------------------------------------------------------------------------------------------


class SessionTest(ServiceTestCase):
    def test_get_session_sets_cookie_and_replies_session_id(self):
        reply = self.service.post(UploaderForm("getSession"))
        self.assertEqual(reply.status, 200)
        self.assertEqual(reply.getheader("Content-Type"), "text/plain; charset=UTF-8")
        self.assertEqual(reply.getheader("Connection"), "close")
        self.assertEqual(int(reply.getheader("Content-Length")), len(reply.text.encode("utf-8")))
        cookie = reply.getheader("Set-Cookie")
        self.assertRegex(cookie, r"^UNMZJOB=[0-9a-f]+; Path=/")
        self.assertTrue(reply.text)
        self.assertNotIn(reply.text, cookie)  # progress finds the job by sid, the rest by cookie
        self.assertNotEqual(self.service.session(), self.service.session())

    def test_job_requests_need_the_session_cookie(self):
        cookie, _ = self.service.session()
        for label, header in [("no cookie", None), ("unknown job", "UNMZJOB=0123"),
                              ("other cookie only", "theme=dark")]:
            with self.subTest(label):
                self.assertNotEqual(self.service.load(header, "", "a.pdf", pdf("a")), "success")
                self.assertNotEqual(self.service.post(UploaderForm("processRegistry").add_text("drawTiles", "1"),
                                                      header).text, "success")
                self.assertNotEqual(self.service.post(UploaderForm("processFiles"), header).text, "success")
        self.assertEqual(self.service.stored(), set())
        self.assertEqual(self.service.load("theme=dark; " + cookie, "", "a.pdf", pdf("a")), "success")

    def test_endpoint_with_double_slash_is_served_and_other_paths_are_not(self):
        self.assertEqual(self.service.post(UploaderForm("getSession"), path="//QuorvelFiles").status, 200)
        self.assertEqual(self.service.post(UploaderForm("getSession"), path="/Other").status, 404)
        self.assertEqual(self.service.post(UploaderForm("getSession"), path="/QuorvelFiles/x").status, 404)

    def raw(self, head):
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=30) as sock:
            sock.sendall(head)
            sock.shutdown(socket.SHUT_WR)
            return b"".join(iter(lambda: sock.recv(65536), b""))

    def test_body_one_past_the_limit_is_refused_unread(self):
        head = "POST /QuorvelFiles HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=x\r\n"
        reply = self.raw((head + "Content-Length: %d\r\n\r\n" % (devservice.MAX_BODY_BYTES + 1)).encode())
        self.assertTrue(reply.startswith(b"HTTP/1.0 413 "), reply)
        reply = self.raw((head + "Content-Length: %d\r\n\r\n" % devservice.MAX_BODY_BYTES).encode())
        self.assertEqual(reply, b"")  # within the limit: waits for a body that never comes
        self.assertEqual(self.service.log()[-1]["error"], "body ended %d bytes early" % devservice.MAX_BODY_BYTES)

    def test_truncated_form_stores_nothing(self):
        cookie, _ = self.service.session()
        form = UploaderForm("loadFile").add_utf8("folder", "").add_utf8("fileName", "a.pdf").add_file("a.pdf", pdf("a"))
        body = form.body()
        head = "POST /QuorvelFiles HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=%s\r\n" % form.boundary
        head += "Content-Length: %d\r\nCookie: %s\r\n\r\n" % (len(body), cookie)
        self.assertEqual(self.raw(head.encode() + body[:-10]), b"")
        self.assertEqual(self.service.stored(), set())

    def test_malformed_content_length_is_a_bad_request(self):
        head = b"POST /QuorvelFiles HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=x\r\n"
        table = [
            ("superscript two", [b"\xb2"], 400),  # isdigit() says yes
            ("superscript one after a digit", [b"1\xb9"], 400),
            ("negative", [b"-1"], 400),
            ("plus sign", [b"+5"], 400),
            ("hexadecimal", [b"0x10"], 400),
            ("space inside", [b"1 2"], 400),
            ("empty", [b""], 400),
            ("two different values", [b"5", b"6"], 400),
            ("5000 digits", [b"9" * 5000], 413),
            ("none", [], 411),
        ]
        for label, values, status in table:
            with self.subTest(label):
                lengths = b"".join(b"Content-Length: " + value + b"\r\n" for value in values)
                reply = self.raw(head + lengths + b"\r\n")
                self.assertTrue(reply.startswith(b"HTTP/1.0 %d " % status), reply)
        self.assertEqual(self.service.post(UploaderForm("getSession")).status, 200)

    def raw_form(self, part_head, value):
        """A form of one part, the part's head given byte for byte; returns (status, body)."""
        body = b"--x\r\n" + part_head + b"\r\n\r\n" + value + b"\r\n--x--\r\n"
        head = b"POST /QuorvelFiles HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=x\r\n"
        reply = self.raw(head + b"Content-Length: %d\r\n\r\n" % len(body) + body)
        self.assertTrue(reply.startswith(b"HTTP/1.0 "), reply)
        return int(reply.split(b" ", 2)[1]), reply.split(b"\r\n\r\n", 1)[1].decode("utf-8")

    def test_malformed_part_heads_get_a_reply(self):
        disposition = b'Content-Disposition: form-data; name="action"'
        table = [
            # The header parser gives up at the parenthesis and leaves the name an RFC 2231 triple.
            ("RFC 2231 name after a parenthesis", b"Content-Disposition: form-data(; name*=utf-8''action", 200),
            ("charset without a decoder for replace", disposition + b"\r\nContent-Type: text/plain; charset=idna", 200),
            ("charset with a NUL", disposition + b'\r\nContent-Type: text/plain; charset="utf\x00-8"', 200),
            ("parameter the header parser trips over", b"Content-Disposition: form-data; name*\r", 400),
        ]
        for label, part_head, status in table:
            with self.subTest(label):
                self.assertEqual(self.raw_form(part_head, b"progress")[0], status)
                entry = self.service.log()[-1]
                if status == 400:
                    self.assertEqual(entry["reply"], devservice.REPLY_BAD_FORM)
                    self.assertIn("IndexError", entry["error"])
                else:
                    self.assertEqual(list(entry["fields"].values()), ["progress"])
        self.assertEqual(self.service.post(UploaderForm("getSession")).status, 200)

    def test_unknown_action_is_a_failure_reply(self):
        self.assertNotEqual(self.service.post(UploaderForm("deleteEverything")).text, "success")

    def test_progress_of_unknown_session_is_an_error_item(self):
        self.assertEqual([item_kind(i) for i in split_items(self.service.progress("nope"))], ["error"])


class AuthTest(unittest.TestCase):
    def test_auth_modes(self):
        table = [
            ("any non-empty sid without --sid", [], "web-1", True),
            ("empty sid refused", [], "", False),
            ("listed sid", ["--sid", "A1", "--sid", "B2"], "B2", True),
            ("unlisted sid", ["--sid", "A1", "--sid", "B2"], "C3", False),
            ("refuse-auth", ["--refuse-auth"], "web-1", False),
        ]
        for label, options, sid, accepted in table:
            with self.subTest(label):
                service = Service(*options)
                try:
                    reply = service.post(UploaderForm("auth").add_text("sid", sid))
                    self.assertEqual(reply.text == "success", accepted, reply.text)
                    self.assertNotIn("Set-Cookie", reply.headers)
                finally:
                    service.close()


class StorageTest(ServiceTestCase):
    def test_files_stored_under_session_and_folder_value(self):
        cookie, sid = self.service.session()
        long_name = "Очень длинное название документа о приёмке объекта строительства 2022 года.pdf"
        awkward = bytes(range(256)) + b"\r\n--" + b"\r" + b"\n\r\n"
        uploads = [
            ("", "Реестр УНМЗ 2022.xlsx", b"PK workbook bytes", True),
            ("", "a.pdf", pdf("top")),
            ("Документы", "акт 1.pdf", pdf("one")),
            ("Документы\\Участок 1", long_name, awkward),
            ("P1\\Q\\R", "z.PDF", b""),
        ]
        for folder, name, data, *registry in uploads:
            self.assertEqual(self.service.load(cookie, folder, name, data, bool(registry)), "success", name)
        expected = {
            "Реестр УНМЗ 2022.xlsx": b"PK workbook bytes",
            "a.pdf": pdf("top"),
            "Документы/акт 1.pdf": pdf("one"),
            "Документы/Участок 1/" + long_name: awkward,
            "P1/Q/R/z.PDF": b"",
        }
        self.assertEqual(self.service.stored(), {os.path.join("data", sid, p) for p in expected})
        for relative, data in expected.items():
            with open(os.path.join(self.service.data, sid, relative), "rb") as stored:
                self.assertEqual(stored.read(), data, relative)

    def test_name_field_wins_over_part_name_that_lost_letters(self):
        cookie, sid = self.service.session()
        self.assertEqual(self.service.load(cookie, "Документы", "протокол №8.pdf", pdf("8")), "success")
        self.assertTrue(os.path.isfile(os.path.join(self.service.data, sid, "Документы", "протокол №8.pdf")))
        self.assertEqual(self.service.log()[-1]["files"], [{"name": "протокол ?8.pdf", "size": len(pdf("8"))}])

    def test_bad_folder_values_and_names_are_refused_and_nothing_written(self):
        table = [
            ("parent level", "..", "a.pdf"),
            ("parent level inside", "a\\..\\..\\b", "a.pdf"),
            ("current level", "a\\.", "a.pdf"),
            ("two backslashes", "a\\\\b", "a.pdf"),
            ("leading backslash", "\\etc", "a.pdf"),
            ("trailing backslash", "a\\", "a.pdf"),
            ("drive", "C:\\Windows", "a.pdf"),
            ("bare drive", "c:", "a.pdf"),
            ("absolute slash", "/tmp", "a.pdf"),
            ("slash inside", "a/../../b", "a.pdf"),
            ("name with slash", "", "../escape.pdf"),
            ("name with backslash", "", "..\\escape.pdf"),
            ("name is dots", "P1", ".."),
            ("name is a dot", "P1", "."),
            ("empty name", "", ""),
            ("line break in name", "", "a\nb.pdf"),
            ("escape in name", "", "a\x1b[31m.pdf"),
            ("line break in folder", "a\nb", "a.pdf"),
            ("tab in folder", "P\\a\tb", "a.pdf"),
            ("folder one level too deep", "\\".join(["a"] * (devservice.MAX_FOLDER_LEVELS + 1)), "a.pdf"),
            ("folder 2000 levels deep", "\\".join(["a"] * 2000), "a.pdf"),
        ]
        cookie, sid = self.service.session()
        for label, folder, name in table:
            with self.subTest(label):
                self.assertIn(self.service.load(cookie, folder, name, pdf(label)),
                              (devservice.REPLY_BAD_FOLDER, devservice.REPLY_BAD_NAME))
        self.assertEqual(self.service.stored(), set())
        self.assertEqual(os.listdir(self.service.data), [sid])
        self.assertEqual(os.listdir(os.path.join(self.service.data, sid)), [])

    def test_names_with_dots_inside_are_stored(self):
        cookie, sid = self.service.session()
        deepest = "\\".join(["L"] * devservice.MAX_FOLDER_LEVELS)
        for folder, name in [("", "Акт..pdf"), ("a..b\\..c", "a..b"), ("", "..."), (deepest, "x.pdf")]:
            self.assertEqual(self.service.load(cookie, folder, name, pdf(name)), "success", (folder, name))
        self.assertTrue(os.path.isfile(os.path.join(self.service.data, sid, "Акт..pdf")))
        self.assertTrue(os.path.isfile(os.path.join(self.service.data, sid, "a..b", "..c", "a..b")))
        self.assertTrue(os.path.isfile(os.path.join(self.service.data, sid, *(deepest.split("\\") + ["x.pdf"]))))

    def test_repeated_upload_keeps_latest_bytes(self):
        cookie, sid = self.service.session()
        self.service.load(cookie, "P", "a.pdf", pdf("old"))
        self.service.load(cookie, "P", "a.pdf", pdf("new"))
        with open(os.path.join(self.service.data, sid, "P", "a.pdf"), "rb") as stored:
            self.assertEqual(stored.read(), pdf("new"))


class MultipartTest(ServiceTestCase):
    def test_text_values_decode_to_what_was_sent(self):
        values = ["a=b", "end ", "tab\t", "A" * 100, "two\r\nlines", ".dot first", "=3D literal",
                  "Grüße ÿ", "", "x" * 69 + "=", " lead"]
        form = UploaderForm("progress")
        for index, value in enumerate(values):
            form.add_text("f%d" % index, value)
        form.add_utf8("u", "Участок №1\r\nстрока")
        self.service.post(form)
        fields = self.service.log()[-1]["fields"]
        for index, value in enumerate(values):
            self.assertEqual(fields["f%d" % index], value, repr(value))
        self.assertEqual(fields["u"], "Участок №1\r\nстрока")

    def test_file_bytes_survive_at_every_awkward_ending(self):
        cookie, sid = self.service.session()
        rng = random.Random(20240115)
        endings = [b"", b"\r", b"\n", b"\r\n", b"\r\n\r\n", b"\n\r", b"--", b"\r\n--", b"="]
        expected = {}
        for index, ending in enumerate(endings):
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 3000))) + ending
            name = "f%d.bin" % index
            expected[name] = data
            self.assertEqual(self.service.load(cookie, "", name, data), "success")
        for name, data in expected.items():
            with open(os.path.join(self.service.data, sid, name), "rb") as stored:
                self.assertEqual(stored.read(), data, name)

    def test_file_names_decode_whatever_the_folding(self):
        cookie, sid = self.service.session()
        names = ["plain.pdf", "акт.pdf", "акт 1.pdf", "Реестр УНМЗ 2022.xlsx", "два  пробела.pdf",
                 "ё" * 60 + ".pdf", "mixed Слово word Слово.pdf"]
        for name in names:
            self.service.load(cookie, "", name, pdf(name))
        logged = [entry["files"][0]["name"] for entry in self.service.log() if entry["action"] == "loadFile"]
        self.assertEqual(logged, names)


class ProgressTest(ServiceTestCase):
    ROWS = [["№", "Наименование", "Кадастровый номер"],
            ["1", "ЛЭП 10 кВ", "77:01:1"],
            ["2", "Подстанция", ""],
            ["3", "", "77:01:3"],
            ["4", "Газопровод", "77:01:4"],
            ["", "", ""]]

    def registry_job(self, data=None):
        cookie, sid = self.service.session()
        if data is None:
            path = os.path.join(self.service.root.name, "book.xlsx")
            make_workbook(path, self.ROWS)
            with open(path, "rb") as book:
                data = book.read()
        self.assertEqual(self.service.load(cookie, "", "Реестр.xlsx", data, registry=True), "success")
        return cookie, sid

    def test_registry_stage_items_follow_rows_and_end_with_complete(self):
        cookie, sid = self.registry_job()
        reply, items, _, _ = self.service.stage(cookie, sid, "processRegistry", ("drawTiles", "1"))
        self.assertEqual(reply.text, "success")
        kinds = [item_kind(i) for i in items]
        self.assertEqual(kinds[-1], "complete")
        self.assertEqual(kinds.count("complete"), 1)
        rows = [i for i in items if re.search(r"строк[еа] \d+", i.lower())]
        self.assertEqual(len(rows), 4, items)  # one item per non-blank data row
        self.assertEqual({"plain", "ok", "warning", "error"} - set(kinds), set())
        self.assertTrue(any(any("\u0400" <= c <= "\u04ff" for c in i) for i in items))
        self.assertEqual(self.service.progress(sid), "")  # drained

    def test_progress_is_answered_while_processing_runs(self):
        self.service = self.start(stage="1.5")
        cookie, sid = self.registry_job()
        _, items, polls, replied_at = self.service.stage(cookie, sid, "processRegistry", ("drawTiles", "0"))
        early = [reply for at, reply in polls if at < replied_at and reply]
        self.assertGreaterEqual(len(early), 2)
        self.assertIn("Отрисовка объектов на карте отключена", items)
        # The log keeps arrival order: the processing request before the polls it overlapped.
        with open(self.service.log_path, encoding="utf-8") as log:
            lines = [json.loads(line) for line in log]
        actions = [line["action"] for line in lines]
        after = lines[actions.index("processRegistry") + 1 :]
        self.assertGreaterEqual(len([line for line in after if line["reply"]]), 2)

    def test_unreadable_workbook_gets_the_fixed_script(self):
        cookie, sid = self.registry_job(b"not a zip at all")
        reply, items, _, _ = self.service.stage(cookie, sid, "processRegistry", ("drawTiles", "1"))
        self.assertEqual(reply.text, "success")
        self.assertEqual({"plain", "ok", "warning", "error", "complete"}, {item_kind(i) for i in items})

    def test_workbook_beyond_the_grid_gets_the_fixed_script(self):
        path = sheet_book(os.path.join(self.service.root.name, "wide.xlsx"),
                          sheet_xml("".join('<row r="%d">%s</row>' % (n, cell("ZZZZZ%d" % n)) for n in range(1, 16))))
        with open(path, "rb") as book:
            data = book.read()
        self.assertLess(len(data), 1024)
        cookie, sid = self.registry_job(data)
        reply, items, _, _ = self.service.stage(cookie, sid, "processRegistry", ("drawTiles", "1"))
        self.assertEqual(reply.text, "success")
        self.assertEqual(items[1], "Структура книги не распознана, проверка выполняется по шаблону")

    def test_processing_before_the_workbook_fails(self):
        cookie, _ = self.service.session()
        reply = self.service.post(UploaderForm("processRegistry").add_text("drawTiles", "1"), cookie)
        self.assertNotEqual(reply.text, "success")

    def test_documents_stage_reports_each_document(self):
        cookie, sid = self.registry_job()
        self.service.load(cookie, "Документы", "акт 1.pdf", pdf("1"))
        self.service.load(cookie, "Документы", "акт 1.pdf", pdf("1 again"))
        self.service.load(cookie, "", "записка.pdf", pdf("top"))
        self.service.load(cookie, "Документы", "скан.pdf", b"\xff\xd8 not a pdf")
        reply, items, _, _ = self.service.stage(cookie, sid, "processFiles")
        self.assertEqual(reply.text, "success")
        kinds = [item_kind(i) for i in items]
        self.assertEqual(kinds[1:5], ["ok", "warning", "warning", "error"])
        self.assertEqual(kinds[-1], "complete")
        self.assertFalse(any(";" in i for i in items))

    def test_documents_stage_without_documents_still_completes(self):
        cookie, sid = self.service.session()
        reply, items, _, _ = self.service.stage(cookie, sid, "processFiles")
        self.assertEqual(reply.text, "success")
        self.assertIn("warning", [item_kind(i) for i in items])


class RequestLogTest(ServiceTestCase):
    def test_one_line_per_request_with_fields_files_and_cookie(self):
        cookie, sid = self.service.session()
        self.service.load(cookie, "", "Реестр.xlsx", b"PK", registry=True)
        self.service.load(cookie, "Документы\\Участок 1", "акт 1.pdf", pdf("1"))
        self.service.progress(sid)
        log = self.service.log()
        self.assertEqual([e["action"] for e in log], ["getSession", "loadFile", "loadFile", "progress"])
        self.assertIsNone(log[0]["cookie"])
        self.assertEqual(log[0]["reply"], sid)
        workbook, document = log[1], log[2]
        self.assertEqual(workbook["cookie"], cookie)
        self.assertEqual(workbook["fields"], {"action": "loadFile", "folder": "", "fileName": "Реестр.xlsx",
                                              "isRegistry": "true"})
        self.assertEqual(workbook["files"], [{"name": "Реестр.xlsx", "size": 2}])
        self.assertEqual([(p["name"], p["encoding"], p["charset"]) for p in workbook["parts"]],
                         [("action", "quoted-printable", None), ("folder", "quoted-printable", None),
                          ("fileName", "8bit", "utf-8"), ("isRegistry", "quoted-printable", None),
                          ("data", "binary", None)])
        self.assertEqual(workbook["parts"][-1]["content_type"], XLSX)
        self.assertEqual(document["fields"]["folder"], "Документы\\Участок 1")
        self.assertNotIn("isRegistry", document["fields"])
        self.assertEqual(log[3]["fields"], {"action": "progress", "sid": sid})


class FailureSwitchTest(unittest.TestCase):
    def job(self, service, documents=()):
        cookie, sid = service.session()
        service.load(cookie, "", "Реестр.xlsx", b"PK", registry=True)
        for name in documents:
            service.load(cookie, "", name, pdf(name))
        return cookie, sid

    def service(self, *options):
        service = Service(*options)
        self.addCleanup(service.close)
        return service

    def test_failed_processing_still_completes_its_stage(self):
        for action, switch in [("processRegistry", "--fail-process-registry"),
                               ("processFiles", "--fail-process-files")]:
            with self.subTest(action):
                service = self.service(switch)
                cookie, sid = self.job(service, ["a.pdf"])
                reply, items, _, _ = service.stage(cookie, sid, action, ("drawTiles", "1"))
                self.assertNotEqual(reply.text, "success")
                self.assertEqual(item_kind(items[-2]), "error")
                self.assertEqual(items[-1], "complete!")

    def test_failing_load_file_refuses_only_that_name(self):
        service = self.service("--fail-load-file", "b.pdf")
        cookie, sid = service.session()
        self.assertEqual(service.load(cookie, "", "a.pdf", pdf("a")), "success")
        self.assertNotEqual(service.load(cookie, "P", "b.pdf", pdf("b")), "success")
        self.assertEqual(service.stored(), {os.path.join("data", sid, "a.pdf")})

    def test_dropped_load_file_gets_no_reply_and_stores_nothing(self):
        service = self.service("--drop-on", "loadFile")
        cookie, sid = service.session()
        with self.assertRaises(Dropped):
            service.load(cookie, "", "a.pdf", pdf("a"))
        self.assertEqual(service.stored(), set())
        self.assertTrue(service.log()[-1]["dropped"])

    def test_dropped_processing_gets_no_reply_after_its_stage(self):
        service = self.service("--drop-on", "processFiles")
        cookie, sid = self.job(service, ["a.pdf"])
        reply, items, _, _ = service.stage(cookie, sid, "processFiles")
        self.assertIsInstance(reply, Dropped)
        self.assertEqual(items[-1], "complete!")

    def test_slow_replies_wait(self):
        service = self.service("--slow", "0.6")
        started = time.time()
        self.assertEqual(service.post(UploaderForm("auth").add_text("sid", "x")).text, "success")
        self.assertGreaterEqual(time.time() - started, 0.6)


class RulesTest(unittest.TestCase):
    """The naming rules on their own, one past each edge."""

    def test_folder_levels(self):
        deepest = "\\".join(["a"] * devservice.MAX_FOLDER_LEVELS)
        longest = "x" * devservice.MAX_FOLDER_CHARS
        self.assertEqual(devservice.folder_levels(""), [])
        self.assertEqual(devservice.folder_levels("P1\\Q"), ["P1", "Q"])
        self.assertEqual(devservice.folder_levels("12:30\\..a"), ["12:30", "..a"])
        self.assertEqual(devservice.folder_levels("Акт..1\\a..b\\..."), ["Акт..1", "a..b", "..."])
        self.assertEqual(len(devservice.folder_levels(deepest)), devservice.MAX_FOLDER_LEVELS)
        self.assertEqual(devservice.folder_levels(longest), [longest])
        for bad in ["..", "P\\..", "\\P", "P\\", "P\\\\Q", "C:", "C:\\P", "P/Q", ".", "P\0", "a\rb", "a\x7fb",
                    "a\x85b", "a\udcffb", deepest + "\\a", longest + "x", "\\".join(["a"] * 2000)]:
            with self.subTest(bad[:40]), self.assertRaises(devservice.Refusal) as caught:
                devservice.folder_levels(bad)
            self.assertEqual(str(caught.exception), devservice.REPLY_BAD_FOLDER)

    def test_file_names(self):
        for good in ["a.pdf", "Акт..pdf", "a..b", "...", "..a", "a..", "a b\u00a0c.pdf"]:
            self.assertEqual(devservice.check_file_name(good), good)
        for bad in ["", ".", "..", "a/b", "a\\b", "a\0b", "a\nb", "a\tb", "a\x1bb", "a\x7fb", "a\x9fb", "a\udcffb"]:
            with self.subTest(repr(bad)), self.assertRaises(devservice.Refusal) as caught:
                devservice.check_file_name(bad)
            self.assertEqual(str(caught.exception), devservice.REPLY_BAD_NAME)

    def test_items_never_carry_the_separator(self):
        rows = [["h1", "h2"], ["1", "a;b\nc"]]
        for item in devservice.registry_script("x;y.xlsx", rows, "1"):
            self.assertNotIn(";", item)
            self.assertNotIn("\n", item)

    def test_workbook_rows_inline_and_shared(self):
        with tempfile.TemporaryDirectory() as folder:
            for shared in (True, False):
                path = os.path.join(folder, "b%d.xlsx" % shared)
                make_workbook(path, ProgressTest.ROWS, shared_strings=shared)
                expected = [r[: max(i + 1 for i, c in enumerate(r) if c)] for r in ProgressTest.ROWS if any(r)]
                self.assertEqual(devservice.read_workbook_rows(path), expected)
            self.assertIsNone(devservice.read_workbook_rows(os.path.join(folder, "missing.xlsx")))

    def read_sheet(self, rows_xml, prolog="", shared=None):
        with tempfile.TemporaryDirectory() as folder:
            return devservice.read_workbook_rows(sheet_book(os.path.join(folder, "b.xlsx"),
                                                            sheet_xml(rows_xml, prolog), shared))

    def test_cell_references_beyond_the_grid_are_refused(self):
        last_column = column_name(devservice.MAX_SHEET_COLUMNS)
        table = [
            ("last column", cell(last_column + "1"), devservice.MAX_SHEET_COLUMNS),
            ("last column in lower case", cell(last_column.lower() + "1"), devservice.MAX_SHEET_COLUMNS),
            ("one column past", cell(column_name(devservice.MAX_SHEET_COLUMNS + 1) + "1"), None),
            ("five letters", cell("ZZZZZ1"), None),
            ("a thousand letters", cell("A" * 1000 + "1"), None),
            ("last row", cell("B%d" % devservice.MAX_SHEET_ROWS), 2),
            ("one row past", cell("B%d" % (devservice.MAX_SHEET_ROWS + 1)), None),
            ("5000 digits", cell("B" + "9" * 5000), None),
            ("no row", cell("C"), 3),
        ]
        for label, cells, width in table:
            with self.subTest(label):
                rows = self.read_sheet("<row>%s</row>" % cells)
                self.assertEqual(rows and len(rows[0]), width)
        self.assertIsNone(self.read_sheet('<row r="%d">%s</row>' % (devservice.MAX_SHEET_ROWS + 1, cell("A1"))))

    def test_cells_kept_stop_at_the_limit(self):
        # Every row reaches the last column, so the empty cells before it count.
        full, rest = divmod(devservice.MAX_SHEET_CELLS, devservice.MAX_SHEET_COLUMNS)
        rows = ["<row>%s</row>" % cell(column_name(devservice.MAX_SHEET_COLUMNS) + "1")] * full
        if rest:
            rows.append("<row>%s</row>" % cell(column_name(rest) + "1"))
        self.assertEqual(len(self.read_sheet("".join(rows))), len(rows))
        self.assertIsNone(self.read_sheet("".join(rows) + "<row>%s</row>" % cell("A1")))

    def test_counted_limits_one_past(self):
        row = "<row>%s</row>" % cell("A1")
        si = "<si><t>s</t></si>"
        three_rows = 2 + 4 * 3  # elements: worksheet, sheetData, then row, c, is and t for each row
        table = [
            ("rows", "MAX_SHEET_ROWS", 3, lambda n: self.read_sheet(row * n)),
            ("shared strings", "MAX_SHARED_STRINGS", 3,
             lambda n: self.read_sheet('<row><c t="s"><v>0</v></c></row>', shared=si * n)),
            ("elements", "MAX_XML_ELEMENTS", three_rows,
             lambda n: self.read_sheet(row * ((n - 2) // 4) + "<x/>" * ((n - 2) % 4))),
        ]
        for label, name, limit, read in table:
            with self.subTest(label), unittest.mock.patch.object(devservice, name, limit):
                self.assertIsNotNone(read(limit))
                self.assertIsNone(read(limit + 1))

    def test_nesting_depth_one_past(self):
        # worksheet and sheetData are the first two levels
        def nested(levels):
            return "<x>" * levels + "</x>" * levels + "<row>%s</row>" % cell("A1")
        self.assertEqual(self.read_sheet(nested(devservice.MAX_XML_DEPTH - 2)), [["x"]])
        self.assertIsNone(self.read_sheet(nested(devservice.MAX_XML_DEPTH - 1)))

    def test_crafted_xml_is_refused(self):
        entities = '<!DOCTYPE worksheet [<!ENTITY a "aaaaaaaaaa">' + "".join(
            '<!ENTITY %s "%s">' % (chr(98 + i), ("&%s;" % chr(97 + i)) * 10) for i in range(8)) + "]>"
        held = devservice.MAX_XML_HELD_BYTES
        table = [
            ("an entity", '<!DOCTYPE worksheet [<!ENTITY e "x">]>', "<row>%s</row>" % cell("A1", "&e;"), None),
            ("entities that expand", entities, "<row>%s</row>" % cell("A1", "&i;"), None),
            ("a tag twice the held bytes", "", '<row a="%s">%s</row>' % ("a" * 2 * held, cell("A1")), None),
            ("a tag half the held bytes", "", '<row a="%s">%s</row>' % ("a" * (held // 2), cell("A1")), [["x"]]),
            ("a long text", "", "<row>%s</row>" % cell("A1", "t" * 2 * held), [["t" * 2 * held]]),
        ]
        for label, prolog, rows_xml, expected in table:
            with self.subTest(label):
                self.assertEqual(self.read_sheet(rows_xml, prolog), expected)

    def test_small_crafted_workbooks_read_in_little_memory(self):
        """Each of these is a few kilobytes deflated; none may grow into a big structure."""
        many = 100000
        table = [
            ("a far cell reference", "<row>%s</row>" % cell("ZZZZZ1"), None),
            ("many unknown elements", "<x/>" * many, None),
            ("deep nesting", "<x>" * many + "</x>" * many, None),
            ("an attribute of 30 MB", "<row a='%s'/>" % ("a" * 30000000), None),
            ("many shared strings", '<row><c t="s"><v>0</v></c></row>', "<si/>" * many),
        ]
        with tempfile.TemporaryDirectory() as folder:
            for label, rows_xml, shared in table:
                with self.subTest(label):
                    path = sheet_book(os.path.join(folder, "b.xlsx"), sheet_xml(rows_xml), shared)
                    self.assertLess(os.path.getsize(path), 64 * 1024)
                    tracemalloc.start()
                    try:
                        devservice.read_workbook_rows(path)
                        peak = tracemalloc.get_traced_memory()[1]
                    finally:
                        tracemalloc.stop()
                    self.assertLess(peak, 4 * 1024 * 1024)

    def test_oversized_sheet_falls_back(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "big.xlsx")
            with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
                archive.writestr("xl/worksheets/sheet1.xml", b" " * (devservice.MAX_SHEET_XML_BYTES + 1))
            self.assertIsNone(devservice.read_workbook_rows(path))


if __name__ == "__main__":
    unittest.main()
