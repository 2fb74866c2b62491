#!/usr/bin/env python3
"""HTTP/1.1 (and HTTPS) server that misbehaves on request, for download tests.

It serves one archive file at every path, optionally with an ETag, and can be
told to lie about the length, stall, cut the connection, throttle, redirect or
answer with an error status. It prints "PORT <n>" as the first line on stdout
once it listens; nothing else ever goes to stdout. Stop it with SIGTERM.

With --stats FILE it keeps a JSON file of counters up to date (see Stats), so a
test can tell how much of the body a client really pulled.

Only the Python standard library is used.
"""

import argparse
import email.utils
import json
import os
import re
import select
import signal
import socket
import ssl
import sys
import threading
import time
import traceback
from urllib.parse import urlsplit

BODY_CHUNK = 1 << 20
# Plain-HTTP bodies go through sendfile in pieces this large; small enough that
# the byte counter moves while a 1 GiB body is on its way.
SENDFILE_PIECE = 8 << 20
# Big enough for a request carrying a ~100 KB If-None-Match.
MAX_REQUEST_HEAD = 1 << 20
KEEPALIVE_IDLE_SECONDS = 30
# An "endless" body ends here, so that a client that never stops still
# sees an end.
ENDLESS_LIMIT = 1 << 30
TLS_HANDSHAKE_SECONDS = 10
LINGER_SECONDS = 2
# Byte-count-only updates of the stats file are coalesced to this interval;
# anything that changes a request or body counter is written at once.
STATS_BYTES_INTERVAL = 0.05

REASONS = {
    200: "OK", 201: "Created", 202: "Accepted", 203: "Non-Authoritative Information",
    204: "No Content", 205: "Reset Content", 206: "Partial Content",
    301: "Moved Permanently", 302: "Found", 303: "See Other", 304: "Not Modified",
    307: "Temporary Redirect", 308: "Permanent Redirect",
    400: "Bad Request", 401: "Unauthorized", 403: "Forbidden", 404: "Not Found",
    405: "Method Not Allowed", 408: "Request Timeout", 410: "Gone",
    416: "Range Not Satisfiable", 429: "Too Many Requests",
    500: "Internal Server Error", 501: "Not Implemented", 502: "Bad Gateway",
    503: "Service Unavailable", 504: "Gateway Timeout",
}

HOP_PATH = re.compile(r"/hop([0-9]+)")


class ClientGone(Exception):
    """The peer closed or reset the connection while we still had data for it."""


class Stats:
    """Counters, mirrored into a JSON file replaced atomically on each change.

    requests          requests read and answered (any status, redirects too)
    body_bytes_sent   archive bytes handed to the kernel (redirect and error
                      texts are not counted)
    completed_bodies  archive bodies sent in full as announced
    aborted_bodies    archive bodies the client walked away from: it closed or
                      reset the connection before everything was sent
    truncated_bodies  archive bodies this server cut short on purpose
                      (--cut-after, or --length larger than the file)
    connections       TCP connections accepted
    tls_handshake_failures  TLS handshakes that failed (for instance because
                      the client rejected the certificate)
    signature_bytes_sent  bytes of --signature-endless bodies handed to the
                      kernel
    """

    KEYS = ("requests", "body_bytes_sent", "completed_bodies", "aborted_bodies",
            "truncated_bodies", "connections", "tls_handshake_failures",
            "signature_bytes_sent")

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.values = dict.fromkeys(self.KEYS, 0)
        self.last_write = 0.0
        self.write_failed = False

    def add(self, key, amount=1):
        with self.lock:
            self.values[key] += amount
            self._write_locked()

    def add_bytes(self, amount, key="body_bytes_sent"):
        with self.lock:
            self.values[key] += amount
            if time.monotonic() - self.last_write >= STATS_BYTES_INTERVAL:
                self._write_locked()

    def flush(self):
        with self.lock:
            self._write_locked()

    def _write_locked(self):
        self.last_write = time.monotonic()
        if not self.path:
            return
        tmp = "%s.tmp.%d" % (self.path, os.getpid())
        try:
            with open(tmp, "w", encoding="ascii") as out:
                json.dump(self.values, out)
                out.write("\n")
            os.replace(tmp, self.path)
        except OSError as error:
            # Typically a test that removed its directory before stopping us;
            # serving must go on, but say it once.
            if not self.write_failed:
                self.write_failed = True
                sys.stderr.write("agent_server: cannot write %s: %s\n" % (self.path, error))


class RequestLog:
    """One JSON object per request, appended, so tests can see what was asked."""

    def __init__(self, path):
        self.lock = threading.Lock()
        self.out = open(path, "a", encoding="utf-8") if path else None

    def record(self, request):
        if self.out is None:
            return
        entry = {
            "method": request.method,
            "target": request.target,
            "version": request.version,
            "headers": [[name, value] for name, value in request.header_list],
        }
        with self.lock:
            self.out.write(json.dumps(entry) + "\n")
            self.out.flush()


class Request:
    def __init__(self, method, target, version, header_list):
        self.method = method
        self.target = target
        self.version = version
        self.header_list = header_list
        self.headers = {}
        for name, value in header_list:
            self.headers[name.lower()] = value

    @property
    def path(self):
        if "://" in self.target:
            return urlsplit(self.target).path or "/"
        return self.target.split("?", 1)[0] or "/"

    def wants_keepalive(self):
        tokens = {t.strip().lower() for t in self.headers.get("connection", "").split(",")}
        if self.version == "HTTP/1.1":
            return "close" not in tokens
        return "keep-alive" in tokens


class BadRequest(Exception):
    pass


class Connection:
    """Reads requests off one client socket (plain or TLS)."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def _fill(self):
        try:
            data = self.sock.recv(65536)
        except (socket.timeout, ssl.SSLError, OSError):
            return False
        if not data:
            return False
        self.buffer += data
        return True

    def read_request(self):
        """Next request, or None when the client is done (EOF, idle, garbage)."""
        self.sock.settimeout(KEEPALIVE_IDLE_SECONDS)
        # Tolerate stray blank lines between requests, as RFC 9112 asks.
        while True:
            while b"\r\n" not in self.buffer and b"\n" not in self.buffer:
                if len(self.buffer) > MAX_REQUEST_HEAD or not self._fill():
                    return None
            if self.buffer.startswith(b"\r\n"):
                self.buffer = self.buffer[2:]
            elif self.buffer.startswith(b"\n"):
                self.buffer = self.buffer[1:]
            else:
                break
        while True:
            end = self.buffer.find(b"\r\n\r\n")
            sep = 4
            if end < 0:
                end = self.buffer.find(b"\n\n")
                sep = 2
            if end >= 0:
                break
            if len(self.buffer) > MAX_REQUEST_HEAD:
                raise BadRequest("request head too large")
            if not self._fill():
                return None
        head = self.buffer[:end].decode("latin-1")
        self.buffer = self.buffer[end + sep:]
        lines = head.replace("\r\n", "\n").split("\n")
        parts = lines[0].split(" ")
        if len(parts) != 3 or not parts[2].startswith("HTTP/"):
            raise BadRequest("malformed request line")
        header_list = []
        for line in lines[1:]:
            if line[:1] in (" ", "\t") and header_list:
                name, value = header_list[-1]
                header_list[-1] = (name, value + " " + line.strip())
                continue
            name, colon, value = line.partition(":")
            if not colon or not name or name != name.strip():
                raise BadRequest("malformed header line")
            header_list.append((name, value.strip()))
        request = Request(parts[0], parts[1], parts[2], header_list)
        self._skip_request_body(request)
        return request

    def wait_unless_gone(self, seconds):
        """Sleep, but raise ClientGone as soon as the peer closes the connection.

        This is what lets a test see an abort during a stall instead of only
        at the next write, e.g. a client that hangs up right after the headers.
        Whatever the client sends meanwhile (a pipelined request) is kept.
        """
        deadline = time.monotonic() + seconds
        watching = True
        try:
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    return
                if not watching:
                    time.sleep(left)
                    return
                pending = isinstance(self.sock, ssl.SSLSocket) and self.sock.pending()
                if not pending:
                    readable, _, _ = select.select([self.sock.fileno()], [], [],
                                                   min(left, 0.25))
                    if not readable:
                        continue
                self.sock.settimeout(0)
                try:
                    data = self.sock.recv(65536)
                except (ssl.SSLWantReadError, ssl.SSLWantWriteError, BlockingIOError):
                    continue
                except (OSError, ValueError) as error:
                    raise ClientGone() from error
                if not data:
                    raise ClientGone()
                self.buffer += data
                # A client flooding us is not worth buffering without bound;
                # the next write will tell whether it is still there.
                watching = len(self.buffer) <= MAX_REQUEST_HEAD
        finally:
            try:
                self.sock.settimeout(None)
            except OSError:
                pass

    def _skip_request_body(self, request):
        if "transfer-encoding" in request.headers:
            raise BadRequest("chunked request bodies are not supported")
        length = request.headers.get("content-length")
        if length is None:
            return
        if not length.isdigit():
            raise BadRequest("bad Content-Length")
        remaining = int(length)
        while remaining > 0:
            if not self.buffer and not self._fill():
                raise ClientGone()
            taken = min(remaining, len(self.buffer))
            self.buffer = self.buffer[taken:]
            remaining -= taken


class Server:
    def __init__(self, args, stats, request_log, tls_context):
        self.args = args
        self.stats = stats
        self.request_log = request_log
        self.tls_context = tls_context
        self.lock = threading.Lock()
        self.requests_taken = 0
        self.no_more_requests = threading.Event()
        # Requests claimed but not yet fully answered; idle keep-alive
        # connections do not count, so they do not delay the exit.
        self.answering = 0
        # What the next requests do, in order, before the options take over.
        self.plan = list(args.plan)

    # -- bookkeeping ---------------------------------------------------------

    def log(self, message):
        if self.args.verbose:
            sys.stderr.write("agent_server: %s\n" % message)
            sys.stderr.flush()

    def claim_request(self):
        """Returns (allowed, is_last) for a request that has just been read."""
        with self.lock:
            if self.requests_taken >= self.args.max_requests:
                return False, True
            self.requests_taken += 1
            self.answering += 1
            last = self.requests_taken >= self.args.max_requests
            if last:
                self.no_more_requests.set()
        self.stats.add("requests")
        return True, last

    def next_step(self):
        with self.lock:
            return self.plan.pop(0) if self.plan else None

    def answered(self):
        with self.lock:
            self.answering -= 1

    def busy(self):
        with self.lock:
            return self.answering > 0

    # -- connections ---------------------------------------------------------

    def handle_connection(self, sock, address):
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self.tls_context is not None:
                sock.settimeout(TLS_HANDSHAKE_SECONDS)
                try:
                    sock = self.tls_context.wrap_socket(sock, server_side=True)
                except (OSError, ValueError) as error:
                    self.log("TLS handshake with %s failed: %s" % (address[0], error))
                    self.stats.add("tls_handshake_failures")
                    close_abruptly(sock)
                    return
            self.serve(Connection(sock))
        except Exception:  # a bug here must show, but must not kill the server
            traceback.print_exc()
            close_abruptly(sock)

    def serve(self, conn):
        while True:
            try:
                request = conn.read_request()
            except BadRequest as error:
                self.log("bad request: %s" % error)
                try:
                    self.send_text(conn.sock, None, 400, close=True)
                except ClientGone:
                    close_abruptly(conn.sock)
                    return
                close_gracefully(conn.sock)
                return
            except ClientGone:
                close_abruptly(conn.sock)
                return
            if request is None:
                close_abruptly(conn.sock)
                return
            allowed, last = self.claim_request()
            if not allowed:
                # Past --max-requests: hang up without an answer, so even a
                # client retrying forever ends up with an error.
                close_abruptly(conn.sock)
                return
            try:
                self.request_log.record(request)
                self.log("%s %s" % (request.method, request.target))
                keep = request.wants_keepalive() and not last
                try:
                    outcome = self.respond(conn, request, keep)
                except ClientGone:
                    close_abruptly(conn.sock)
                    return
                if outcome == "keep":
                    continue
                if outcome == "cut":
                    self.cut(conn.sock)
                else:
                    close_gracefully(conn.sock)
                return
            finally:
                self.answered()

    # -- responses -----------------------------------------------------------

    def respond(self, conn, request, keep):
        """Answers one request; returns "keep", "close" or "cut"."""
        args = self.args
        sock = conn.sock
        if request.method not in ("GET", "HEAD"):
            self.stall_headers(conn, counts_as_body=False)
            self.send_text(sock, request, 405, keep is False, extra=[("Allow", "GET, HEAD")])
            return "keep" if keep else "close"

        if request.path.endswith(".sig") and args.signature is not None:
            return self.send_signature(conn, request, keep)

        location = self.redirect_target(request)
        if location is not None:
            self.stall_headers(conn, counts_as_body=False)
            self.send_redirect(sock, request, location, keep is False)
            return "keep" if keep else "close"

        step = self.next_step()
        if step == "drop":
            return "cut"
        status = args.status
        cut_after = args.cut_after
        if isinstance(step, int):
            status, cut_after = step, None
        elif step is not None:
            status, cut_after = 200, step[1]
        if args.conditional and self.matches(request.headers.get("if-none-match")):
            status = 304
        if status in (204, 205, 304):
            self.stall_headers(conn, counts_as_body=False)
            head = self.head_lines(status, keep is False,
                                   etag=not (status == 304 and args.not_modified_without_etag))
            send_all(sock, finish_head(head))
            return "keep" if keep else "close"
        if not 200 <= status < 300:
            self.stall_headers(conn, counts_as_body=False)
            extra = []
            if args.retry_after is not None and status in (429, 503):
                extra.append(("Retry-After", args.retry_after))
            self.send_text(sock, request, status, keep is False, extra=extra, etag=True)
            return "keep" if keep else "close"
        return self.send_archive(conn, request, keep, status, cut_after)

    def send_signature(self, conn, request, keep):
        """The --signature file at any path ending in ".sig": moved once to
        /moved<path> with --signature-redirect, else --signature-status."""
        args = self.args
        sock = conn.sock
        if args.signature_redirect and not request.path.startswith("/moved/"):
            self.send_redirect(sock, request, "/moved" + request.path, keep is False)
            return "keep" if keep else "close"
        if args.signature_status != 200:
            self.send_text(sock, request, args.signature_status, keep is False)
            return "keep" if keep else "close"
        if args.signature_endless:
            head = self.head_lines(200, True, etag=False)
            head.append(b"Content-Type: application/octet-stream")
            send_all(sock, finish_head(head))
            if request.method == "HEAD":
                return "close"
            piece = b"A" * 65536
            try:
                for _ in range(ENDLESS_LIMIT // len(piece)):
                    sock.sendall(piece)
                    self.stats.add_bytes(len(piece), "signature_bytes_sent")
            except OSError as error:
                raise ClientGone() from error
            finally:
                self.stats.flush()
            return "close"
        with open(args.signature, "rb") as source:
            body = source.read()
        head = self.head_lines(200, keep is False, etag=False)
        head.append(b"Content-Type: application/octet-stream")
        head.append(b"Content-Length: %d" % len(body))
        send_all(sock, finish_head(head) + (body if request.method != "HEAD" else b""))
        return "keep" if keep else "close"

    def matches(self, if_none_match):
        """Whether If-None-Match names this server's ETag (weak comparison)."""
        if if_none_match is None or self.args.etag_bytes is None:
            return False
        if if_none_match.strip() == "*":
            return True
        ours = self.args.etag_bytes.decode("latin-1")
        ours = ours[2:] if ours.startswith("W/") else ours
        for tag in if_none_match.split(","):
            tag = tag.strip()
            if (tag[2:] if tag.startswith("W/") else tag) == ours:
                return True
        return False

    def range_start(self, request, size):
        """(status, first byte) for a GET of the archive under --ranges."""
        wanted = request.headers.get("range")
        if not self.args.ranges or wanted is None or self.args.range_answer == 200:
            return 200, 0
        if self.args.range_answer == 416:
            return 416, 0
        if_range = request.headers.get("if-range")
        if if_range is not None and (self.args.etag_bytes is None or
                                     if_range != self.args.etag_bytes.decode("latin-1")):
            return 200, 0
        match = re.fullmatch(r"bytes=([0-9]+)-", wanted.strip())
        if match is None:
            return 200, 0
        first = int(match.group(1))
        return (416, 0) if first >= size else (206, first)

    def redirect_target(self, request):
        args = self.args
        path = request.path
        if args.redirect_to is not None:
            return None if path == "/final" else args.redirect_to
        if args.redirect_loop:
            return request.target if "://" not in request.target else path
        if args.redirect > 0:
            match = HOP_PATH.fullmatch(path)
            hop = int(match.group(1)) if match else 0
            if hop < args.redirect:
                return "/hop%d" % (hop + 1)
        return None

    def stall_headers(self, conn, counts_as_body):
        if self.args.stall_headers <= 0:
            return
        try:
            conn.wait_unless_gone(self.args.stall_headers)
        except ClientGone:
            if counts_as_body:
                self.stats.add("aborted_bodies")
            raise

    def head_lines(self, status, close, etag=True):
        lines = [b"HTTP/1.1 %d %s" % (status, REASONS.get(status, "Status").encode()),
                 b"Date: " + email.utils.formatdate(usegmt=True).encode()]
        if etag and self.args.etag_bytes is not None:
            lines.append(b"ETag: " + self.args.etag_bytes)
        for header in self.args.header_bytes:
            lines.append(header)
        if close:
            lines.append(b"Connection: close")
        return lines

    def send_text(self, sock, request, status, close, extra=(), etag=False):
        body = b"%d %s\n" % (status, REASONS.get(status, "Status").encode())
        head = self.head_lines(status, close, etag=etag)
        head.append(b"Content-Type: text/plain")
        head.append(b"Content-Length: %d" % len(body))
        for name, value in extra:
            head.append(("%s: %s" % (name, value)).encode("latin-1"))
        data = finish_head(head)
        if request is None or request.method != "HEAD":
            data += body
        send_all(sock, data)

    def send_redirect(self, sock, request, location, close):
        args = self.args
        status = args.redirect_status
        body = b"redirecting\n"
        lines = [b"HTTP/1.1 %d %s" % (status, REASONS[status].encode()),
                 b"Date: " + email.utils.formatdate(usegmt=True).encode(),
                 b"Location: " + os.fsencode(location),
                 b"Content-Type: text/plain",
                 b"Content-Length: %d" % len(body)]
        if args.redirect_etag_bytes is not None:
            lines.append(b"ETag: " + args.redirect_etag_bytes)
        if close:
            lines.append(b"Connection: close")
        data = finish_head(lines)
        if request.method != "HEAD":
            data += body
        send_all(sock, data)

    def send_archive(self, conn, request, keep, status, cut_after):
        args = self.args
        sock = conn.sock
        try:
            archive = open(args.archive, "rb")
        except OSError as error:
            sys.stderr.write("agent_server: cannot open %s: %s\n" % (args.archive, error))
            self.send_text(sock, request, 500, True)
            return "close"
        with archive:
            size = os.fstat(archive.fileno()).st_size
            range_status, first = self.range_start(request, size)
            if range_status == 416:
                self.send_text(sock, request, 416, keep is False, etag=True,
                               extra=[("Content-Range", "bytes */%d" % size)])
                return "keep" if keep else "close"
            if range_status == 206:
                status = 206
            if isinstance(cut_after, str):  # a share of the archive: "50%"
                cut_after = size * int(cut_after[:-1]) // 100
            announced = None if args.no_length else (
                args.length if args.length is not None else size) - first
            to_send = size - first if announced is None else min(size - first, announced)
            if cut_after is not None:
                to_send = min(to_send, cut_after)
            cut = to_send < (size if announced is None else announced)
            close = (not keep) or announced is None
            is_get = request.method == "GET"

            self.stall_headers(conn, counts_as_body=is_get)
            if args.chunked:
                return self.send_chunked(sock, archive, is_get)
            # A cut must come as a surprise, except that a body without a
            # length can only ever end with the connection.
            head = self.head_lines(status, announced is None or (close and not cut))
            head.append(b"Content-Type: application/zip")
            if args.ranges:
                head.append(b"Accept-Ranges: bytes")
            if status == 206:
                head.append(b"Content-Range: bytes %d-%d/%d" % (first, size - 1, size))
            if announced is not None:
                head.append(b"Content-Length: %d" % announced)
            try:
                send_all(sock, finish_head(head))
            except ClientGone:
                if is_get:
                    self.stats.add("aborted_bodies")
                raise
            if not is_get:
                return "close" if close else "keep"
            try:
                self.send_body(conn, archive.fileno(), first, to_send)
            except ClientGone:
                self.stats.add("aborted_bodies")
                raise
        if cut:
            self.stats.add("truncated_bodies")
            return "cut"
        self.stats.add("completed_bodies")
        return "close" if close else "keep"

    def send_chunked(self, sock, archive, is_get):
        head = self.head_lines(self.args.status, True)
        head.append(b"Transfer-Encoding: chunked")
        if self.args.length is not None:
            head.append(b"Content-Length: %d" % self.args.length)
        data = finish_head(head)
        if is_get:
            while True:
                piece = archive.read(BODY_CHUNK)
                if not piece:
                    break
                data += b"%x\r\n" % len(piece) + piece + b"\r\n"
                self.stats.add_bytes(len(piece))
            data += b"0\r\n\r\n"
        send_all(sock, data)
        if is_get:
            self.stats.add("completed_bodies")
        return "close"

    def send_body(self, conn, fd, first, to_send):
        args = self.args
        sock = conn.sock
        use_sendfile = not isinstance(sock, ssl.SSLSocket)
        buffer = None if use_sendfile else bytearray(BODY_CHUNK)
        rate = args.rate
        rate_piece = max(1, min(BODY_CHUNK, rate // 20)) if rate else None
        stall_at = (args.stall_after or 0) if args.stall > 0 else None
        sent = 0
        started = time.monotonic()
        sock.settimeout(None)
        while sent < to_send:
            if stall_at is not None and sent >= stall_at:
                stall_at = None
                conn.wait_unless_gone(args.stall)
                # Do not make up for the stall with a burst afterwards.
                if rate:
                    started = time.monotonic() - sent / rate
            limit = to_send
            if stall_at is not None:
                limit = min(limit, stall_at)
            piece = min(limit - sent, SENDFILE_PIECE if use_sendfile else BODY_CHUNK)
            if rate:
                piece = min(piece, rate_piece)
                delay = started + sent / rate - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
            try:
                if use_sendfile:
                    count = os.sendfile(sock.fileno(), fd, first + sent, piece)
                else:
                    view = memoryview(buffer)[:piece]
                    count = os.preadv(fd, [view], first + sent)
                    if count > 0:
                        sock.sendall(view[:count])
            except (OSError, ValueError) as error:
                self.log("client went away after %d body bytes: %s" % (sent, error))
                raise ClientGone() from error
            if count == 0:
                raise RuntimeError("archive shrank while being served")
            sent += count
            self.stats.add_bytes(count)

    def cut(self, sock):
        if self.args.cut_rst:
            try:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
            except OSError:
                pass
        close_abruptly(sock)


def finish_head(lines):
    return b"\r\n".join(lines) + b"\r\n\r\n"


def send_all(sock, data):
    try:
        sock.settimeout(None)
        sock.sendall(data)
    except (OSError, ValueError) as error:
        raise ClientGone() from error


def close_abruptly(sock):
    """Close without TLS close_notify and without waiting for the peer."""
    try:
        # SSLSocket.close() never calls SSL_shutdown, which is what we want here.
        sock.close()
    except OSError:
        pass


def close_gracefully(sock):
    """End a response whose end is the connection's end (no length, HTTP/1.0).

    Send TLS close_notify and FIN, then read until the peer closes: closing
    with unread input would make the kernel send RST, which can destroy data
    the client has not read yet.
    """
    try:
        sock.settimeout(LINGER_SECONDS)
        if isinstance(sock, ssl.SSLSocket):
            try:
                sock = sock.unwrap()
            except (OSError, ValueError):
                close_abruptly(sock)
                return
        sock.shutdown(socket.SHUT_WR)
        deadline = time.monotonic() + LINGER_SECONDS
        while time.monotonic() < deadline:
            if not sock.recv(65536):
                break
    except OSError:
        pass
    finally:
        close_abruptly(sock)


def header_value(text, option):
    value = os.fsencode(text)
    if b"\r" in value or b"\n" in value:
        raise SystemExit("agent_server: %s must not contain CR or LF" % option)
    return value


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Serve one archive over HTTP(S) at every path, with optional misbehaviour. "
                    "Prints 'PORT <n>' on stdout once listening. Redirect answers carry a "
                    "small text body; answers with a non-2xx --status carry a short text "
                    "body '<status> <reason>\\n' (and the ETag, if any); 204, 205 and 304 "
                    "carry no body; any other 2xx carries the archive.")
    parser.add_argument("--archive", required=True, metavar="FILE",
                        help="the body to serve (reopened for every request)")
    etag = parser.add_mutually_exclusive_group()
    etag.add_argument("--etag", metavar="VALUE",
                      help="send 'ETag: VALUE' exactly as given (quotes, W/ included)")
    etag.add_argument("--etag-file", metavar="FILE",
                      help="like --etag, value read from FILE (one trailing newline dropped); "
                           "for values too long for a command line")
    length = parser.add_mutually_exclusive_group()
    parser.add_argument("--chunked", action="store_true",
                        help="send the whole archive with chunked transfer coding; with "
                             "--length, a Content-Length of N as well, as broken servers do")
    length.add_argument("--no-length", action="store_true",
                        help="send no Content-Length; the body ends when the connection closes")
    length.add_argument("--length", type=int, metavar="N",
                        help="announce N as Content-Length; if smaller than the file, only N "
                             "bytes are sent; if larger, the whole file is sent, then the "
                             "connection is closed")
    parser.add_argument("--status", type=int, default=200, metavar="N",
                        help="status of the final answer (200..599, default 200)")
    parser.add_argument("--header", action="append", default=[], metavar="'NAME: VALUE'",
                        help="extra header line on final answers (repeatable)")
    redirect = parser.add_mutually_exclusive_group()
    redirect.add_argument("--redirect", type=int, default=0, metavar="N",
                          help="answer / -> /hop1 -> ... -> /hopN with redirects; "
                               "/hopN (and only it) gets the final answer")
    redirect.add_argument("--redirect-loop", action="store_true",
                          help="redirect every request to its own path")
    redirect.add_argument("--redirect-to", metavar="URL",
                          help="redirect every path except /final to URL")
    parser.add_argument("--redirect-status", type=int, default=302,
                        choices=(301, 302, 303, 307, 308), help="default 302")
    parser.add_argument("--redirect-etag", metavar="VALUE",
                        help="ETag to put on redirect answers (none by default)")
    parser.add_argument("--stall-headers", type=float, default=0, metavar="SECONDS",
                        help="after reading a request, wait this long before answering")
    parser.add_argument("--stall-after", type=int, metavar="BYTES",
                        help="with --stall: pause after this many body bytes (default 0: "
                             "right after the headers)")
    parser.add_argument("--stall", type=float, default=0, metavar="SECONDS",
                        help="length of the pause set by --stall-after")
    parser.add_argument("--cut-after", type=int, metavar="BYTES",
                        help="send only this many body bytes, then close the connection "
                             "(without TLS close_notify); the announced length is unchanged")
    parser.add_argument("--cut-rst", action="store_true",
                        help="end cut connections with a TCP reset instead of a FIN")
    parser.add_argument("--rate", type=int, default=0, metavar="BYTES_PER_SEC",
                        help="throttle the body to about this many bytes per second")
    parser.add_argument("--conditional", action="store_true",
                        help="answer 304 with no body when If-None-Match names the ETag")
    parser.add_argument("--not-modified-without-etag", action="store_true",
                        help="304 answers carry no ETag")
    parser.add_argument("--ranges", action="store_true",
                        help="send 'Accept-Ranges: bytes' and answer 'Range: bytes=N-' (with "
                             "an If-Range equal to the ETag, or none) with a 206")
    parser.add_argument("--range-answer", type=int, choices=(200, 206, 416), default=206,
                        help="with --ranges: answer range requests with the whole archive "
                             "(200) or with 416 instead")
    parser.add_argument("--plan", default="", metavar="STEP,...",
                        help="the first requests, in order: a status (503: a text answer, "
                             "200: the archive), cut:N or cut:P%% (the archive cut after N "
                             "bytes or P%% of it), or drop (closed without an answer); later "
                             "requests follow the other options")
    parser.add_argument("--retry-after", metavar="VALUE",
                        help="put 'Retry-After: VALUE' on 429 and 503 answers")
    parser.add_argument("--signature", metavar="FILE",
                        help="serve FILE at every path that ends in .sig (the archive elsewhere)")
    parser.add_argument("--signature-status", type=int, default=200, metavar="N",
                        help="with --signature: answer .sig paths with this status instead")
    parser.add_argument("--signature-endless", action="store_true",
                        help="the signature's body has no length and goes on until the "
                             "client leaves (or 1 GiB)")
    parser.add_argument("--signature-redirect", action="store_true",
                        help="with --signature: redirect a .sig path once, to /moved<path>")
    parser.add_argument("--tls-cert", metavar="FILE", help="serve HTTPS with this certificate")
    parser.add_argument("--tls-key", metavar="FILE", help="private key for --tls-cert")
    parser.add_argument("--bind", default="127.0.0.1", metavar="ADDR",
                        help="address to listen on (default 127.0.0.1; ::1 for IPv6)")
    parser.add_argument("--stats", metavar="FILE",
                        help="keep JSON counters in FILE, replaced atomically on change")
    parser.add_argument("--request-log", metavar="FILE",
                        help="append each request (method, target, headers) as a JSON line")
    parser.add_argument("--max-requests", type=int, default=100, metavar="N",
                        help="answer at most N requests, then exit once they are done "
                             "(default 100)")
    parser.add_argument("--lifetime", type=float, default=600, metavar="SECONDS",
                        help="exit after this long no matter what (default 600)")
    parser.add_argument("--verbose", action="store_true", help="log requests on stderr")
    args = parser.parse_args(argv)

    if not 200 <= args.status <= 599:
        parser.error("--status must be between 200 and 599")
    for name in ("length", "cut_after", "stall_after", "rate", "redirect"):
        value = getattr(args, name)
        if value is not None and value < 0:
            parser.error("--%s must not be negative" % name.replace("_", "-"))
    for name in ("stall_headers", "stall"):
        if getattr(args, name) < 0:
            parser.error("--%s must not be negative" % name.replace("_", "-"))
    if args.stall_after is not None and args.stall <= 0:
        parser.error("--stall-after needs --stall SECONDS")
    if args.max_requests < 1:
        parser.error("--max-requests must be at least 1")
    if args.lifetime <= 0:
        parser.error("--lifetime must be positive")
    if (args.tls_cert is None) != (args.tls_key is None):
        parser.error("--tls-cert and --tls-key go together")
    if not os.path.isfile(args.archive):
        parser.error("--archive %s is not a readable file" % args.archive)

    args.etag_bytes = None
    if args.etag is not None:
        args.etag_bytes = header_value(args.etag, "--etag")
    elif args.etag_file is not None:
        try:
            with open(args.etag_file, "rb") as source:
                value = source.read()
        except OSError as error:
            parser.error("--etag-file: %s" % error)
        if value.endswith(b"\r\n"):
            value = value[:-2]
        elif value.endswith(b"\n"):
            value = value[:-1]
        args.etag_bytes = header_value(os.fsdecode(value), "--etag-file")
    args.redirect_etag_bytes = (None if args.redirect_etag is None
                                else header_value(args.redirect_etag, "--redirect-etag"))
    if args.redirect_to is not None:
        header_value(args.redirect_to, "--redirect-to")
    plan = []
    for step in filter(None, args.plan.split(",")):
        if step == "drop":
            plan.append(step)
        elif re.fullmatch(r"[2-5][0-9][0-9]", step):
            plan.append(int(step))
        elif re.fullmatch(r"cut:[0-9]+", step):
            plan.append(("cut", int(step[4:])))
        elif re.fullmatch(r"cut:[0-9]+%", step) and int(step[4:-1]) <= 100:
            plan.append(("cut", step[4:]))
        else:
            parser.error("--plan: unknown step %r" % step)
    args.plan = plan
    args.header_bytes = []
    for header in args.header:
        if ":" not in header:
            parser.error("--header wants 'NAME: VALUE', got %r" % header)
        args.header_bytes.append(header_value(header, "--header"))
    return args


def listen(address):
    infos = socket.getaddrinfo(address, 0, socket.AF_UNSPEC, socket.SOCK_STREAM, 0,
                               socket.AI_PASSIVE | socket.AI_NUMERICHOST)
    family, kind, proto, _, sockaddr = infos[0]
    sock = socket.socket(family, kind, proto)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(sockaddr)
    sock.listen(64)
    return sock


def main(argv):
    args = parse_args(argv)
    stats = Stats(args.stats)
    stats.flush()
    request_log = RequestLog(args.request_log)

    tls_context = None
    if args.tls_cert:
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        try:
            tls_context.load_cert_chain(args.tls_cert, args.tls_key)
        except (OSError, ssl.SSLError) as error:
            sys.stderr.write("agent_server: cannot load %s / %s: %s\n"
                             % (args.tls_cert, args.tls_key, error))
            return 1

    try:
        listener = listen(args.bind)
    except (OSError, socket.gaierror) as error:
        sys.stderr.write("agent_server: cannot listen on %s: %s\n" % (args.bind, error))
        return 1

    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, on_signal)

    server = Server(args, stats, request_log, tls_context)
    deadline = time.monotonic() + args.lifetime
    sys.stdout.write("PORT %d\n" % listener.getsockname()[1])
    sys.stdout.flush()

    listener.settimeout(0.2)
    while not stop.is_set() and not server.no_more_requests.is_set():
        if time.monotonic() >= deadline:
            server.log("lifetime over")
            break
        try:
            client, address = listener.accept()
        except socket.timeout:
            continue
        except OSError as error:  # e.g. EMFILE: keep going, the lifetime bounds it
            server.log("accept failed: %s" % error)
            time.sleep(0.05)
            continue
        stats.add("connections")
        threading.Thread(target=server.handle_connection, args=(client, address),
                         daemon=True).start()
    listener.close()

    # After the last allowed request, let the answers in flight finish.
    while not stop.is_set() and time.monotonic() < deadline and server.busy():
        time.sleep(0.05)

    stats.flush()
    sys.stdout.flush()
    sys.stderr.flush()
    # Handler threads may sit in blocking sends; do not wait for them.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
