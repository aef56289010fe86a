#!/usr/bin/env python3
"""Reads a multipart/form-data body with Python's own email parser and prints what it
finds as JSON, so a C++ test can compare it with what it put into the form.

usage: multipart_check.py BODY_FILE BOUNDARY
Output: {"defects": [...], "parts": [{"name", "filename", "content_type", "charset",
"transfer_encoding", "value" (text fields) | "size" and "sha256" (files)}]}
"""
import email.header
import email.parser
import email.policy
import hashlib
import json
import sys


def decode_words(raw):
    """A parameter value with RFC 2047 encoded-words, as text."""
    if raw is None:
        return None
    # Adjacent encoded-words of one charset are joined before their bytes are read,
    # so a character cut between two words comes back whole.
    return str(email.header.make_header(email.header.decode_header(raw)))


def main():
    body_path, boundary = sys.argv[1], sys.argv[2]
    with open(body_path, "rb") as f:
        body = f.read()
    head = ("Content-Type: multipart/form-data; boundary=%s\r\n\r\n" % boundary).encode("ascii")
    message = email.parser.BytesParser(policy=email.policy.compat32).parsebytes(head + body)
    result = {"defects": [type(d).__name__ for d in message.defects], "parts": []}
    if not message.is_multipart():
        result["defects"].append("NotMultipart")
    for part in message.get_payload() if message.is_multipart() else []:
        result["defects"] += [type(d).__name__ for d in part.defects]
        entry = {
            "name": decode_words(part.get_param("name", header="content-disposition")),
            "filename": decode_words(part.get_param("filename", header="content-disposition")),
            "content_type": part.get_content_type(),
            "charset": part.get_content_charset(),
            "transfer_encoding": part.get("Content-Transfer-Encoding"),
            "header_count": len(part.keys()),
        }
        data = part.get_payload(decode=True)
        if entry["filename"] is not None:
            entry["size"] = len(data)
            entry["sha256"] = hashlib.sha256(data).hexdigest()
        else:
            entry["value"] = data.decode(entry["charset"] or "latin-1")
        result["parts"].append(entry)
    json.dump(result, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main()
