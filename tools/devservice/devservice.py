#!/usr/bin/env python3
"""Development upload service for unmz-uploader.

Answers the seven requests the uploader sends to "<base>/QuorvelFiles", stores the workbook and
the documents under DATA/<session>/ and simulates the processing stages with progress items of
every kind. Python 3 standard library only; the multipart forms are read by the email parser, so
the uploader's encoder is checked against an independent decoder on every request.

    python3 devservice.py --port 8080 --data DIR [--host 127.0.0.1] [options]
"""

import argparse
import email.parser
import email.policy
import email.utils
import http.server
import json
import os
import re
import secrets
import ssl
import sys
import tempfile
import threading
import time
import xml.parsers.expat
import zipfile

ENDPOINT_NAME = "QuorvelFiles"
SUCCESS = "success"
COMPLETE = "complete!"
ITEM_SEPARATOR = ";"
COOKIE_NAME = "UNMZJOB"
CONTENT_TYPE = "text/plain; charset=UTF-8"

BLOCK_SIZE = 32768
# A dev service has no business accepting more; the uploader's documents are about 1 MB.
MAX_BODY_BYTES = 256 * 1024 * 1024
# Decompressed bytes read of any workbook part; a bigger (or zip-bombed) part makes the workbook
# unreadable, and the workbook stage runs the fixed script.
MAX_SHEET_XML_BYTES = 64 * 1024 * 1024
# The spreadsheet grid: column XFD, row 1048576. A reference beyond it is no workbook of ours.
MAX_SHEET_COLUMNS = 16384
MAX_SHEET_ROWS = 1048576
# Cells kept of a sheet, the empty ones a reference skips included, and shared strings kept:
# a register has a few thousand rows of a few dozen columns.
MAX_SHEET_CELLS = 1048576
MAX_SHARED_STRINGS = 1048576
# Workbook XML is a few levels deep and has short tags; deeper nesting, or input the parser
# holds this long without a single event (one huge tag), is a crafted file. Elements read of a
# part: three or four for every cell kept, and a bound on the time a part takes.
MAX_XML_DEPTH = 64
MAX_XML_HELD_BYTES = 1024 * 1024
MAX_XML_ELEMENTS = 4 * MAX_SHEET_CELLS
# A folder value is a path below the register's folder, its levels joined by backslashes.
MAX_FOLDER_CHARS = 4096
MAX_FOLDER_LEVELS = 64
# Seconds a connection may stay silent before its thread gives up on it.
SOCKET_TIMEOUT_SECONDS = 120

WORKBOOK_ACTIONS = ("loadFile", "processRegistry", "processFiles")

# Failure replies: any text but "success" is a failure to the uploader.
REPLY_NO_SESSION = "Ошибка: сессия загрузки не найдена"
REPLY_AUTH_REFUSED = "Ошибка: сессия пользователя не найдена или завершена"
REPLY_UNKNOWN_ACTION = "Ошибка: неизвестное действие"
REPLY_BAD_FOLDER = "Ошибка: недопустимое имя папки"
REPLY_BAD_NAME = "Ошибка: недопустимое имя файла"
REPLY_NO_DATA = "Ошибка: файл не передан"
REPLY_LOAD_FAILED = "Ошибка: файл не сохранён"
REPLY_NO_WORKBOOK = "Ошибка: реестр не загружен"
REPLY_REGISTRY_FAILED = "Ошибка: обработка реестра не выполнена"
REPLY_FILES_FAILED = "Ошибка: привязка документов не выполнена"
# Logged only: a body that is no readable form gets "400 Bad Request".
REPLY_BAD_FORM = "Ошибка: тело запроса не является формой multipart/form-data"


class Refusal(Exception):
    """A request the service turns down with a failure reply."""


# ---------------------------------------------------------------------------------------------
# Names the uploader sends


_DRIVE_PART = re.compile(r"^[A-Za-z]:")
# Control characters, and lone surrogates (bytes a header decoder could not read): no file name
# or journal line should carry them.
_UNSAFE_CHAR = re.compile("[\x00-\x1f\x7f-\x9f\ud800-\udfff]")


def folder_levels(value):
    """Folder names of a "folder" value, joined by backslashes; the empty value is the session
    folder itself. Raises Refusal for anything that could leave the session folder."""
    if value == "":
        return []
    if len(value) > MAX_FOLDER_CHARS or _UNSAFE_CHAR.search(value):
        raise Refusal(REPLY_BAD_FOLDER)
    if _DRIVE_PART.match(value) or value.startswith(("\\", "/")):
        raise Refusal(REPLY_BAD_FOLDER)
    levels = value.split("\\")
    if len(levels) > MAX_FOLDER_LEVELS:
        raise Refusal(REPLY_BAD_FOLDER)
    for level in levels:
        # An empty level is two backslashes in a row or one at either end.
        if level in ("", ".", "..") or "/" in level:
            raise Refusal(REPLY_BAD_FOLDER)
    return levels


def check_file_name(name):
    # Only a whole "." or ".." names another folder; "Акт..pdf" is an ordinary name.
    if name in ("", ".", "..") or "/" in name or "\\" in name or _UNSAFE_CHAR.search(name):
        raise Refusal(REPLY_BAD_NAME)
    return name


def inside(root, path):
    root = os.path.realpath(root)
    return os.path.commonpath([root, os.path.realpath(path)]) == root


# ---------------------------------------------------------------------------------------------
# Multipart forms


class Form:
    """A parsed multipart/form-data body: text fields by name, and every part in order."""

    def __init__(self):
        self.fields = {}
        self.parts = []
        self.files = []  # (field name, decoded file name, content type, bytes)

    def text(self, name, default=None):
        return self.fields.get(name, default)


def parse_form(content_type, source, length):
    """Reads length bytes of a multipart body from the binary file source."""
    try:
        parser = email.parser.BytesFeedParser(policy=email.policy.HTTP)
        parser.feed(b"MIME-Version: 1.0\r\nContent-Type: " + content_type.encode("latin-1") + b"\r\n\r\n")
        remaining = length
        while remaining > 0:
            block = source.read(min(BLOCK_SIZE, remaining))
            if not block:
                break
            parser.feed(block)
            remaining -= len(block)
        return _form_of(parser.close())
    except (Refusal, OSError):
        raise
    except Exception as error:  # the email package trips over some malformed part headers
        raise Refusal(REPLY_BAD_FORM) from error


def _form_of(message):
    if not message.is_multipart():
        raise Refusal(REPLY_BAD_FORM)
    form = Form()
    for part in message.iter_parts():
        name = part.get_param("name", header="content-disposition")
        if isinstance(name, tuple):  # an RFC 2231 name*= parameter
            name = email.utils.collapse_rfc2231_value(name)
        file_name = part.get_filename()
        payload = part.get_payload(decode=True) or b""
        charset = part.get_content_charset()
        info = {
            "name": name,
            "content_type": part.get_content_type() if part.get("Content-Type") else None,
            "charset": charset,
            "encoding": part.get("Content-Transfer-Encoding"),
            "filename": file_name,
            "size": len(payload),
        }
        form.parts.append(info)
        if file_name is not None:
            form.files.append((name, file_name, info["content_type"], payload))
        elif name is not None:
            # A text field without a charset carries one byte per character.
            try:
                form.fields[name] = payload.decode(charset or "latin-1", errors="replace")
            except (LookupError, ValueError):  # a charset Python does not know, or no text codec
                form.fields[name] = payload.decode("latin-1")
    return form


# ---------------------------------------------------------------------------------------------
# Workbooks

# Tags and attribute names as the parser reports them: namespace, a space, local name.
_MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main "
_REL_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships "
_PKG_REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships "
_CELL_REFERENCE = re.compile(r"([A-Za-z]*)([0-9]*)")


class Unreadable(Exception):
    """A workbook these few lines cannot or will not read."""


class _PartReader:
    """Streams one workbook part through expat. Nothing of the document is kept but what the
    subclass collects, so a small archive cannot grow into a big tree in memory."""

    def __init__(self):
        self.path = []  # open tags, outermost first
        self._parser = None
        self._reported = 0  # input offset of the last event
        self._elements = 0

    def start(self, tag, attributes):
        pass

    def end(self, tag):
        pass

    def text(self, data):
        pass

    def parse(self, archive, name):
        info = archive.getinfo(name)
        if info.file_size > MAX_SHEET_XML_BYTES:
            raise Unreadable("part too large: " + name)
        parser = self._parser = xml.parsers.expat.ParserCreate(namespace_separator=" ")
        parser.buffer_text = True  # text in blocks, not one call per line
        parser.StartDoctypeDeclHandler = self._doctype
        parser.StartElementHandler = self._start
        parser.EndElementHandler = self._end
        parser.CharacterDataHandler = self._text
        fed = 0
        with archive.open(info) as member:
            while True:
                # The stored size is the archive's word; the bytes read are counted anyway.
                block = member.read(BLOCK_SIZE)
                if not block:
                    break
                fed += len(block)
                if fed > MAX_SHEET_XML_BYTES:
                    raise Unreadable("part too large: " + name)
                parser.Parse(block, False)
                if fed - self._reported > MAX_XML_HELD_BYTES:
                    raise Unreadable("tag too long in " + name)
        parser.Parse(b"", True)

    def _doctype(self, *_):
        # Workbook parts have no document type; one could declare entities that expand.
        raise Unreadable("document type declaration")

    def _start(self, tag, attributes):
        self._reported = self._parser.CurrentByteIndex
        if len(self.path) >= MAX_XML_DEPTH:
            raise Unreadable("nested too deep")
        self._elements += 1
        if self._elements > MAX_XML_ELEMENTS:
            raise Unreadable("too many elements")
        self.path.append(tag)
        self.start(tag, attributes)

    def _end(self, tag):
        self._reported = self._parser.CurrentByteIndex
        self.end(tag)
        self.path.pop()

    def _text(self, data):
        self._reported = self._parser.CurrentByteIndex
        self.text(data)


class _FirstSheetId(_PartReader):
    """The relationship id of the workbook's first sheet."""

    def __init__(self):
        super().__init__()
        self.found = None

    def start(self, tag, attributes):
        if self.found is None and self.path == [_MAIN_NS + "workbook", _MAIN_NS + "sheets", _MAIN_NS + "sheet"]:
            self.found = attributes.get(_REL_NS + "id")


class _RelationshipTarget(_PartReader):
    def __init__(self, wanted):
        super().__init__()
        self.wanted = wanted
        self.found = None

    def start(self, tag, attributes):
        if self.found is None and tag == _PKG_REL_NS + "Relationship" and attributes.get("Id") == self.wanted:
            self.found = attributes.get("Target")


class _SharedStrings(_PartReader):
    def __init__(self):
        super().__init__()
        self.strings = []
        self._pieces = None  # texts of the open string item
        self._reading = False

    def start(self, tag, attributes):
        if tag == _MAIN_NS + "si" and self._pieces is None:
            if len(self.strings) >= MAX_SHARED_STRINGS:
                raise Unreadable("too many shared strings")
            self._pieces = []
        elif tag == _MAIN_NS + "t" and self._pieces is not None:
            self._reading = True

    def end(self, tag):
        if tag == _MAIN_NS + "t":
            self._reading = False
        elif tag == _MAIN_NS + "si" and self._pieces is not None and self.path.count(tag) == 1:
            self.strings.append("".join(self._pieces))
            self._pieces = None

    def text(self, data):
        if self._reading:
            self._pieces.append(data)


def _bounded_number(digits, limit, what):
    """The number a cell or row reference carries, refused beyond the grid."""
    if len(digits) > len(str(limit)) or int(digits) > limit:
        raise Unreadable(what + " beyond the sheet")
    return int(digits)


def _column_index(reference):
    """The column of a reference such as "B7" counting from 0; None when it names none."""
    letters, digits = _CELL_REFERENCE.match(reference).groups()
    if digits:
        _bounded_number(digits, MAX_SHEET_ROWS, "row")
    if not letters:
        return None
    if len(letters) > 3:  # XFD is the last column
        raise Unreadable("column beyond the sheet")
    index = 0
    for char in letters.upper():
        index = index * 26 + (ord(char) - ord("A") + 1)
    if index > MAX_SHEET_COLUMNS:
        raise Unreadable("column beyond the sheet")
    return index - 1


class _SheetRows(_PartReader):
    """Rows of a worksheet as lists of cell texts, blank rows left out."""

    def __init__(self, shared):
        super().__init__()
        self.shared = shared
        self.rows = []
        self._row_count = 0
        self._cell_count = 0
        self._cells = None  # the open row
        self._cell = None  # the open cell: its type, reference and texts
        self._reading = None  # "v" or "t" while inside one of the open cell

    def start(self, tag, attributes):
        if tag == _MAIN_NS + "row" and self._cells is None:
            self._row_count += 1
            if self._row_count > MAX_SHEET_ROWS:
                raise Unreadable("too many rows")
            number = attributes.get("r", "")
            if number.isascii() and number.isdigit():
                _bounded_number(number, MAX_SHEET_ROWS, "row")
            self._cells = []
        elif tag == _MAIN_NS + "c" and self._cells is not None and self._cell is None:
            self._cell = {"type": attributes.get("t"), "reference": attributes.get("r"), "v": None, "t": []}
        elif self._cell is not None and self._reading is None:
            if tag == _MAIN_NS + "v" and self.path[-2] == _MAIN_NS + "c" and self._cell["v"] is None:
                self._cell["v"] = []
                self._reading = "v"
            elif tag == _MAIN_NS + "t":
                self._reading = "t"

    def end(self, tag):
        if self._reading is not None and tag == _MAIN_NS + self._reading:
            self._reading = None
        elif tag == _MAIN_NS + "c" and self._cell is not None and self.path.count(tag) == 1:
            self._close_cell()
        elif tag == _MAIN_NS + "row" and self._cells is not None and self.path.count(tag) == 1:
            if any(self._cells):
                self.rows.append(self._cells)
            self._cells = None

    def text(self, data):
        if self._reading == "v":
            self._cell["v"].append(data)
        elif self._reading == "t":
            self._cell["t"].append(data)

    def _close_cell(self):
        cell, cells = self._cell, self._cells
        self._cell = None
        column = _column_index(cell["reference"]) if cell["reference"] else None
        if column is None or column < len(cells):
            column = len(cells)
        self._cell_count += column - len(cells) + 1
        if self._cell_count > MAX_SHEET_CELLS:
            raise Unreadable("too many cells")
        cells.extend([""] * (column - len(cells)))
        if cell["type"] == "inlineStr":
            text = "".join(cell["t"])
        else:
            text = "".join(cell["v"] or ())
            if cell["type"] == "s" and text:
                index = int(text) if text.isascii() and text.isdigit() else len(self.shared)
                text = self.shared[index] if index < len(self.shared) else ""
        cells.append(text.strip())


def _first_sheet_name(archive):
    try:
        sheet = _FirstSheetId()
        sheet.parse(archive, "xl/workbook.xml")
        target = _RelationshipTarget(sheet.found)
        target.parse(archive, "xl/_rels/workbook.xml.rels")
        if sheet.found is not None and target.found:
            return target.found.lstrip("/") if target.found.startswith("/") else "xl/" + target.found
    except (KeyError, xml.parsers.expat.ExpatError):
        pass
    sheets = sorted(n for n in archive.namelist() if n.startswith("xl/worksheets/") and n.endswith(".xml"))
    if not sheets:
        raise Unreadable("no worksheet")
    return sheets[0]


def read_workbook_rows(path):
    """Rows of the first worksheet of an .xlsx workbook as lists of cell texts, blank rows
    left out; None when the file is no workbook these few lines can read, or one beyond the
    limits above."""
    try:
        with zipfile.ZipFile(path) as archive:
            shared = _SharedStrings()
            if "xl/sharedStrings.xml" in archive.namelist():
                shared.parse(archive, "xl/sharedStrings.xml")
            sheet = _SheetRows(shared.strings)
            sheet.parse(archive, _first_sheet_name(archive))
            return sheet.rows
    except Exception:  # whatever a damaged or crafted archive makes the readers raise
        return None


# ---------------------------------------------------------------------------------------------
# Progress scripts


def clean_item(text):
    # ";" separates items on the wire and a line break would split a journal line.
    return re.sub(r"[\r\n]+", " ", text).replace(ITEM_SEPARATOR, ",")


def summary(text, errors):
    """The closing line of a stage: an ok line when nothing failed, an error line otherwise
    (the uploader shows any item naming errors in red, even "0 errors")."""
    return "%s, ошибок %d" % (text, errors) if errors else "good! %s, без сбоев" % text


def registry_script(workbook_name, rows, draw_tiles):
    """Progress items of the workbook stage; the rows drive them when the workbook was read."""
    items = ["Начата обработка реестра «%s»" % workbook_name]
    if rows is None:
        return items + [
            "Структура книги не распознана, проверка выполняется по шаблону",
            "good! Лист «Реестр» найден",
            "warning! Формат книги устарел, рекомендуется .xlsx",
            "Ошибка в строке 3: не указано наименование объекта",
            "good! Объекты реестра загружены",
            "Итог: обработано строк 3, предупреждений 1, ошибок 1",
        ]
    header, data = (rows[0], rows[1:]) if rows else ([], [])
    items.append("Найдено строк с объектами: %d" % len(data))
    items.append("Объекты будут отрисованы на карте" if draw_tiles != "0" else "Отрисовка объектов на карте отключена")
    warnings = errors = 0
    for number, cells in enumerate(data, start=2):
        name = cells[1] if len(cells) > 1 else cells[0]
        empty = [c for c in range(len(header)) if c >= len(cells) or not cells[c]]
        if not name:
            errors += 1
            items.append("Ошибка в строке %d: не указано наименование объекта" % number)
        elif empty:
            warnings += 1
            items.append("warning! Строка %d: не заполнено поле «%s»" % (number, header[empty[0]]))
        else:
            items.append("good! Строка %d: объект «%s» добавлен" % (number, name))
    if not data:
        warnings += 1
        items.append("warning! В реестре нет строк с объектами")
    if draw_tiles != "0" and data:
        items.append("good! Объекты отрисованы на карте")
    items.append(summary("Итог: обработано строк %d, предупреждений %d" % (len(data), warnings), errors))
    return [clean_item(item) for item in items]


def documents_script(documents):
    items = ["Начата привязка документов, получено: %d" % len(documents)]
    attached = warnings = errors = 0
    for document in documents:
        shown = "\\".join(filter(None, (document["folder"], document["name"])))
        if not document["is_pdf"]:
            errors += 1
            items.append("Ошибка: файл «%s» не является PDF-документом" % shown)
        elif document["repeated"]:
            warnings += 1
            items.append("warning! Документ «%s» получен повторно, сохранена последняя версия" % shown)
        elif not document["folder"]:
            warnings += 1
            items.append("warning! Документ «%s» лежит в папке реестра и привязан к реестру целиком" % shown)
        else:
            attached += 1
            items.append("good! Документ «%s» привязан к объекту" % shown)
    if not documents:
        warnings += 1
        items.append("warning! Документы для привязки не получены")
    items.append(summary("Итог: привязано %d, предупреждений %d" % (attached, warnings), errors))
    return [clean_item(item) for item in items]


# ---------------------------------------------------------------------------------------------
# Jobs


class Job:
    def __init__(self, session_id, cookie, folder):
        self.session_id = session_id
        self.cookie = cookie
        self.folder = folder
        self.lock = threading.Lock()
        self.pending = []
        self.workbook = None
        self.documents = []
        self.stored = set()

    def add_items(self, items):
        with self.lock:
            self.pending.extend(items)

    def take_items(self):
        with self.lock:
            items, self.pending = self.pending, []
        return items


class JobTable:
    def __init__(self, data_dir):
        self.data_dir = data_dir
        self.lock = threading.Lock()
        self.by_cookie = {}
        self.by_session = {}
        self.count = 0

    def create(self):
        with self.lock:
            self.count += 1
            session_id = "%04d-%s" % (self.count, secrets.token_hex(4))
            job = Job(session_id, secrets.token_hex(16), os.path.join(self.data_dir, session_id))
            os.makedirs(job.folder, exist_ok=True)
            self.by_cookie[job.cookie] = job
            self.by_session[session_id] = job
        return job

    def by_cookie_header(self, header):
        with self.lock:
            for pair in (header or "").split(";"):
                name, _, value = pair.strip().partition("=")
                job = self.by_cookie.get(value.strip()) if name.strip() == COOKIE_NAME else None
                if job is not None:
                    return job
        return None

    def by_session_id(self, session_id):
        with self.lock:
            return self.by_session.get(session_id)


class RequestLog:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def write(self, entry):
        if not self.path:
            return
        line = json.dumps(entry, ensure_ascii=False)
        # Lone surrogates (undecodable header bytes) are written as JSON escapes.
        with self.lock, open(self.path, "a", encoding="utf-8", errors="backslashreplace") as log:
            log.write(line + "\n")


# ---------------------------------------------------------------------------------------------
# HTTP


_LENGTH = re.compile("[0-9]+")


class DropConnection(Exception):
    """Ends a request without any reply, as a crashed service would."""


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "unmz-devservice"
    timeout = SOCKET_TIMEOUT_SECONDS

    def log_message(self, format, *args):
        if not self.server.options.quiet:
            super().log_message(format, *args)

    def do_POST(self):
        self.close_connection = True
        try:
            self.serve_post()
        except (ConnectionError, TimeoutError):
            pass  # the uploader went away or fell silent: nobody is left to answer

    def serve_post(self):
        path = self.path.split("?", 1)[0]
        # A base address with a trailing slash gives "//QuorvelFiles"; the uploader sends it as is.
        if path.lstrip("/") != ENDPOINT_NAME or not path.startswith("/"):
            self.reply_status(404, "Not Found")
            return
        lengths = {value.strip() for value in self.headers.get_all("Content-Length", [])}
        if not lengths:
            self.reply_status(411, "Length Required")
            return
        length = lengths.pop()
        # ASCII digits only: str.isdigit() also takes "²" and the digits of other scripts.
        if lengths or not _LENGTH.fullmatch(length):
            self.reply_status(400, "Bad Request")
            return
        length = length.lstrip("0") or "0"
        if len(length) > len(str(MAX_BODY_BYTES)) or int(length) > MAX_BODY_BYTES:
            self.reply_status(413, "Payload Too Large")
            return
        self.entry_logged = False
        self.entry = entry = {
            "seq": self.server.next_sequence(),
            "time": time.strftime("%Y-%m-%dT%H:%M:%S"),
            "path": self.path,
            "cookie": self.headers.get("Cookie"),
            "action": None,
        }
        with tempfile.TemporaryFile() as body:
            remaining = int(length)
            while remaining > 0:
                try:
                    block = self.rfile.read(min(BLOCK_SIZE, remaining))
                except (ConnectionError, TimeoutError):  # gone or silent: as good as ended
                    break
                if not block:
                    break
                body.write(block)
                remaining -= len(block)
            if remaining > 0:
                entry["reply"] = None
                entry["error"] = "body ended %d bytes early" % remaining
                self.log_once()
                return
            body.seek(0)
            try:
                form = parse_form(self.headers.get("Content-Type", ""), body, int(length))
            except Refusal as refusal:
                entry["reply"] = str(refusal)
                if refusal.__cause__ is not None:
                    entry["error"] = repr(refusal.__cause__)
                self.log_once()
                self.reply_status(400, "Bad Request")
                return
        entry["action"] = form.text("action")
        entry["fields"] = form.fields
        entry["parts"] = form.parts
        entry["files"] = [{"name": file_name, "size": len(data)} for _, file_name, _, data in form.files]
        entry["dropped"] = entry["action"] in self.server.options.drop_on
        entry["reply"] = None
        headers = []
        try:
            reply = self.handle_action(form, headers)
        except DropConnection:
            self.log_once()
            return
        except Exception as error:  # a fault of this service must still answer the uploader
            entry["error"] = repr(error)
            self.log_once()
            self.reply_status(500, "Internal Server Error")
            raise
        entry["reply"] = reply
        self.log_once()
        self.reply_text(reply, headers)

    def log_once(self):
        """Writes the request's log line unless already written. Lines go out in arrival order:
        a processing request is logged when its stage starts, before the polls it overlaps."""
        if not getattr(self, "entry_logged", False):
            self.entry_logged = True
            self.server.request_log.write(self.entry)

    def handle_action(self, form, headers):
        options = self.server.options
        action = form.text("action")
        if action in options.drop_on and action not in ("processRegistry", "processFiles"):
            raise DropConnection()
        if action == "auth":
            return self.auth(form.text("sid", ""))
        if action == "getSession":
            job = self.server.jobs.create()
            headers.append(("Set-Cookie", "%s=%s; Path=/; HttpOnly" % (COOKIE_NAME, job.cookie)))
            return job.session_id
        if action == "progress":
            job = self.server.jobs.by_session_id(form.text("sid", ""))
            if job is None:
                return "Ошибка: задание «%s» не найдено" % clean_item(form.text("sid", ""))
            return ITEM_SEPARATOR.join(job.take_items())
        if action not in WORKBOOK_ACTIONS:
            return REPLY_UNKNOWN_ACTION
        # These carry no identifier: the cookie set by "getSession" is the only tie to the job.
        job = self.server.jobs.by_cookie_header(self.headers.get("Cookie"))
        if job is None:
            return REPLY_NO_SESSION
        try:
            if action == "loadFile":
                return self.load_file(job, form)
            if action == "processRegistry":
                return self.process_registry(job, form)
            return self.process_files(job)
        except Refusal as refusal:
            return str(refusal)

    def auth(self, sid):
        options = self.server.options
        if options.refuse_auth or not sid:
            return REPLY_AUTH_REFUSED
        if options.sid and sid not in options.sid:
            return REPLY_AUTH_REFUSED
        return SUCCESS

    def load_file(self, job, form):
        if not form.files:
            raise Refusal(REPLY_NO_DATA)
        _, part_name, _, data = form.files[0]
        # "fileName" is UTF-8; the part's own name may have lost letters to its header charset.
        name = check_file_name(form.text("fileName", part_name))
        folder = form.text("folder", "")
        levels = folder_levels(folder)
        if name in self.server.options.fail_load_file or part_name in self.server.options.fail_load_file:
            return REPLY_LOAD_FAILED
        target_dir = os.path.join(job.folder, *levels)
        target = os.path.join(target_dir, name)
        if not inside(job.folder, target):
            raise Refusal(REPLY_BAD_FOLDER)
        temporary = target + ".part-" + secrets.token_hex(4)
        try:
            os.makedirs(target_dir, exist_ok=True)
            with open(temporary, "wb") as out:
                out.write(data)
            os.replace(temporary, target)
        except OSError:
            # A name the file system refuses (too long, a folder in the way).
            if os.path.exists(temporary):
                os.unlink(temporary)
            raise Refusal(REPLY_LOAD_FAILED)
        if (form.text("isRegistry") or "").lower() == "true":
            job.workbook = target
        else:
            with job.lock:
                repeated = (folder, name) in job.stored
                job.stored.add((folder, name))
                job.documents.append(
                    {"folder": folder, "name": name, "is_pdf": data.startswith(b"%PDF-"), "repeated": repeated}
                )
        return SUCCESS

    def run_stage(self, job, items, failed, fail_text):
        if failed:
            items = items[: max(1, len(items) // 2)] + [fail_text]
        step = self.server.options.stage_seconds / (len(items) + 1)
        for item in items:
            time.sleep(step)
            job.add_items([item])
        time.sleep(step)
        job.add_items([COMPLETE])

    def process_registry(self, job, form):
        options = self.server.options
        if job.workbook is None:
            if options.process_without_workbook:
                # A service that goes on without the register: nothing to read, documents welcome.
                self.run_stage(job, [], False, "")
                return SUCCESS
            raise Refusal(REPLY_NO_WORKBOOK)
        self.log_once()
        rows = read_workbook_rows(job.workbook)
        items = registry_script(os.path.basename(job.workbook), rows, form.text("drawTiles", "1"))
        # A talkative service: many progress lines, for tests of slow output.
        items += ["Строка %d: %s" % (i, "проверена " * 20) for i in range(options.chatty)]
        self.run_stage(job, items, options.fail_process_registry, "Ошибка: обработка реестра прервана")
        if "processRegistry" in options.drop_on:
            raise DropConnection()
        return REPLY_REGISTRY_FAILED if options.fail_process_registry else SUCCESS

    def process_files(self, job):
        options = self.server.options
        self.log_once()
        with job.lock:
            documents = list(job.documents)
        self.run_stage(job, documents_script(documents), options.fail_process_files,
                       "Ошибка: привязка документов прервана")
        if "processFiles" in options.drop_on:
            raise DropConnection()
        return REPLY_FILES_FAILED if options.fail_process_files else SUCCESS

    def reply_text(self, text, headers=()):
        body = text.encode("utf-8")
        if self.server.options.slow:
            time.sleep(self.server.options.slow)
        self.send_response(200)
        self.send_header("Content-Type", CONTENT_TYPE)
        self.send_header("Content-Length", str(len(body)))
        # The uploader asks for keep-alive but opens a new connection for every request anyway.
        self.send_header("Connection", "close")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def reply_status(self, code, text):
        body = text.encode("utf-8")
        self.send_response(code)
        self.send_header("Content-Type", CONTENT_TYPE)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)


class DevService(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, options):
        self.options = options
        self.jobs = JobTable(os.path.abspath(options.data))
        self.request_log = RequestLog(options.request_log)
        self.sequence_lock = threading.Lock()
        self.sequence = 0
        super().__init__((options.host, options.port), Handler)
        if options.tls:
            # https: each connection's handshake happens in its own handler thread.
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*options.tls)
            self.socket = context.wrap_socket(self.socket, server_side=True,
                                              do_handshake_on_connect=False)

    def next_sequence(self):
        with self.sequence_lock:
            self.sequence += 1
            return self.sequence


def parse_options(argv):
    parser = argparse.ArgumentParser(description="Development upload service for unmz-uploader.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080, help="0 picks a free port")
    parser.add_argument("--data", required=True, help="folder that receives the uploaded files")
    parser.add_argument("--sid", action="append", default=[], help="web session id that auth accepts")
    parser.add_argument("--refuse-auth", action="store_true")
    parser.add_argument("--fail-process-registry", action="store_true")
    parser.add_argument("--chatty", type=int, default=0, metavar="N",
                        help="N more progress lines while the workbook is processed")
    parser.add_argument("--process-without-workbook", action="store_true",
                        help="processRegistry succeeds even when no workbook was stored")
    parser.add_argument("--fail-process-files", action="store_true")
    parser.add_argument("--fail-load-file", action="append", default=[], metavar="NAME")
    parser.add_argument("--drop-on", action="append", default=[], metavar="ACTION",
                        help="close the connection without a reply (processing actions after their stage)")
    parser.add_argument("--slow", type=float, default=0.0, metavar="SECONDS", help="delay every reply")
    parser.add_argument("--stage-seconds", type=float, default=6.0, help="duration of each processing stage")
    parser.add_argument("--request-log", metavar="FILE", help="append one JSON line per request")
    parser.add_argument("--quiet", action="store_true", help="no access log on stderr")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"),
                        help="serve https with this certificate chain and key (PEM)")
    return parser.parse_args(argv)


def main(argv=None):
    options = parse_options(argv)
    os.makedirs(options.data, exist_ok=True)
    server = DevService(options)
    host, port = server.server_address[:2]
    print("listening on %s:%d" % (host, port), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
