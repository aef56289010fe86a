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
import http.server
import json
import os
import re
import secrets
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ElementTree
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
# Worksheet XML read to count rows; a bigger (or zip-bombed) sheet falls back to the fixed script.
MAX_SHEET_XML_BYTES = 64 * 1024 * 1024
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


class Refusal(Exception):
    """A request the service turns down with a failure reply."""


# ---------------------------------------------------------------------------------------------
# Names the uploader sends


_DRIVE_PART = re.compile(r"^[A-Za-z]:")


def folder_levels(value):
    """Folder names of a "folder" value, joined by backslashes; the empty value is the session
    folder itself. Raises Refusal for anything that could leave the session folder."""
    if value == "":
        return []
    if _DRIVE_PART.match(value) or value.startswith(("\\", "/")):
        raise Refusal(REPLY_BAD_FOLDER)
    levels = value.split("\\")
    for level in levels:
        # An empty level is two backslashes in a row or one at either end.
        if level in ("", ".", "..") or "/" in level or "\0" in level:
            raise Refusal(REPLY_BAD_FOLDER)
    return levels


def check_file_name(name):
    if name in ("", ".") or any(bad in name for bad in ("/", "\\", "..", "\0")):
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
    parser = email.parser.BytesFeedParser(policy=email.policy.HTTP)
    parser.feed(b"MIME-Version: 1.0\r\nContent-Type: " + content_type.encode("latin-1") + b"\r\n\r\n")
    remaining = length
    while remaining > 0:
        block = source.read(min(BLOCK_SIZE, remaining))
        if not block:
            break
        parser.feed(block)
        remaining -= len(block)
    message = parser.close()
    if not message.is_multipart():
        raise Refusal("Ошибка: тело запроса не является формой multipart/form-data")
    form = Form()
    for part in message.iter_parts():
        name = part.get_param("name", header="content-disposition")
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
            except LookupError:  # a charset Python does not know
                form.fields[name] = payload.decode("latin-1")
    return form


# ---------------------------------------------------------------------------------------------
# Workbooks

_MAIN_NS = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
_REL_NS = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"
_PKG_REL_NS = "{http://schemas.openxmlformats.org/package/2006/relationships}"


def _read_part(archive, name):
    info = archive.getinfo(name)
    if info.file_size > MAX_SHEET_XML_BYTES:
        raise ValueError("part too large: " + name)
    return archive.read(info)


def _first_sheet_name(archive):
    try:
        workbook = ElementTree.fromstring(_read_part(archive, "xl/workbook.xml"))
        sheet = workbook.find(_MAIN_NS + "sheets/" + _MAIN_NS + "sheet")
        rels = ElementTree.fromstring(_read_part(archive, "xl/_rels/workbook.xml.rels"))
        wanted = sheet.get(_REL_NS + "id")
        for rel in rels.iter(_PKG_REL_NS + "Relationship"):
            if rel.get("Id") == wanted:
                target = rel.get("Target")
                return target.lstrip("/") if target.startswith("/") else "xl/" + target
    except (KeyError, AttributeError, ElementTree.ParseError):
        pass
    sheets = sorted(n for n in archive.namelist() if n.startswith("xl/worksheets/") and n.endswith(".xml"))
    if not sheets:
        raise KeyError("no worksheet")
    return sheets[0]


def _column_index(reference):
    index = 0
    for char in reference:
        if not char.isalpha():
            break
        index = index * 26 + (ord(char.upper()) - ord("A") + 1)
    return index - 1


def _cell_text(cell, shared):
    kind = cell.get("t")
    if kind == "inlineStr":
        return "".join(t.text or "" for t in cell.iter(_MAIN_NS + "t"))
    value = cell.find(_MAIN_NS + "v")
    text = value.text if value is not None and value.text else ""
    if kind == "s" and text:
        return shared[int(text)]
    return text


def read_workbook_rows(path):
    """Rows of the first worksheet of an .xlsx workbook as lists of cell texts, blank rows
    left out; None when the file is no workbook these few lines can read."""
    try:
        with zipfile.ZipFile(path) as archive:
            shared = []
            if "xl/sharedStrings.xml" in archive.namelist():
                strings = ElementTree.fromstring(_read_part(archive, "xl/sharedStrings.xml"))
                for item in strings.iter(_MAIN_NS + "si"):
                    shared.append("".join(t.text or "" for t in item.iter(_MAIN_NS + "t")))
            sheet = ElementTree.fromstring(_read_part(archive, _first_sheet_name(archive)))
    except (OSError, KeyError, ValueError, zipfile.BadZipFile, ElementTree.ParseError, RuntimeError):
        return None
    rows = []
    for row in sheet.iter(_MAIN_NS + "row"):
        cells = []
        for cell in row.iter(_MAIN_NS + "c"):
            reference = cell.get("r")
            column = _column_index(reference) if reference else len(cells)
            if column < len(cells):
                column = len(cells)
            cells.extend([""] * (column - len(cells)))
            try:
                cells.append(_cell_text(cell, shared).strip())
            except (IndexError, ValueError):
                cells.append("")
        if any(cells):
            rows.append(cells)
    return rows


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
        with self.lock, open(self.path, "a", encoding="utf-8") as log:
            log.write(line + "\n")


# ---------------------------------------------------------------------------------------------
# HTTP


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
        path = self.path.split("?", 1)[0]
        # A base address with a trailing slash gives "//QuorvelFiles"; the uploader sends it as is.
        if path.lstrip("/") != ENDPOINT_NAME or not path.startswith("/"):
            self.reply_status(404, "Not Found")
            return
        length = self.headers.get("Content-Length", "")
        if not length.isdigit():
            self.reply_status(411, "Length Required")
            return
        if int(length) > MAX_BODY_BYTES:
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
                block = self.rfile.read(min(BLOCK_SIZE, remaining))
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
        if job.workbook is None:
            raise Refusal(REPLY_NO_WORKBOOK)
        options = self.server.options
        self.log_once()
        rows = read_workbook_rows(job.workbook)
        items = registry_script(os.path.basename(job.workbook), rows, form.text("drawTiles", "1"))
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
    parser.add_argument("--fail-process-files", action="store_true")
    parser.add_argument("--fail-load-file", action="append", default=[], metavar="NAME")
    parser.add_argument("--drop-on", action="append", default=[], metavar="ACTION",
                        help="close the connection without a reply (processing actions after their stage)")
    parser.add_argument("--slow", type=float, default=0.0, metavar="SECONDS", help="delay every reply")
    parser.add_argument("--stage-seconds", type=float, default=6.0, help="duration of each processing stage")
    parser.add_argument("--request-log", metavar="FILE", help="append one JSON line per request")
    parser.add_argument("--quiet", action="store_true", help="no access log on stderr")
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
