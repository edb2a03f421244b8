#!/usr/bin/python3
"""Stand-in probe aggregator.

Listens for the probe's event channel, plays the aggregator's side of the
handshake and prints every record it receives as one JSON object per line on
standard output: the handshake records, then for each block its frame, its
symbols, its locations and its events, with their field names.

With --http-port it also answers the registration daemon (agent-daemon) over
HTTP, so the whole system can run against it: a POST on any path (the daemon
posts to /commander/registrar/register by default) is printed and answered
200; a GET or HEAD on any path is answered 200 without a line, so the daemon's
health-check URL may point here too when no web server is wanted.

Run it with the system interpreter (/usr/bin/python3), which has Debian's
python3-thrift, and point it at the Python code generated from the
event-channel definition (the build puts it in <build>/tools/gen-py):

    /usr/bin/python3 tools/standin_aggregator.py --gen-py build/tools/gen-py --port 2626
    /usr/bin/python3 tools/standin_aggregator.py --gen-py build/tools/gen-py --port 2626 --http-port 45000

With --port 0 (or --http-port 0) a free port is picked. The first line printed
always names the event channel's port; with --http-port the second names the
HTTP port. Every line is a JSON object with a "record" key:

  listening                        the address listened on: "service" ("events"
                                   or "registration"), "host", "port"
  registration                     a POST received: "method", "path",
                                   "headers" (name: value, in arrival order),
                                   "body" (the parsed JSON document, or the
                                   text when it is not JSON)
  ThriftProtocolIdentificationDTO  the probe's identification (per connection)
  ThriftProbeMetaDataDTO           the probe's metadata
  frame                            a block's frame: "block" number, "length"
  SymbolDTO, LocationDTO, EventDTO one line per record of the block, with the
                                   fields the probe set (nested by name)
  blockEnd                         the block's list sizes
  error, closed                    a problem with a frame; the connection ended
                                   (an HTTP request refused gives an "error"
                                   with "service": "registration", its
                                   "status" and "message")

Records of a connection carry its number as "connection" (each PHP worker
keeps a connection of its own).
"""

import argparse
import http.server
import json
import os
import signal
import socket
import struct
import sys
import threading

# Frames larger than this are refused (the connection is closed).
MAX_FRAME_BYTES = 256 * 1024 * 1024
# The aggregator's identification text; the probe does not examine it.
AGGREGATOR_HANDSHAKE_ID = "com.kolvane.common.io.mediator.EventChannel.Incoming\n"
PROTOCOL_VERSION = 1
# Registration bodies larger than this are refused (413); the daemon's
# document is a few hundred bytes.
MAX_REGISTRATION_BYTES = 1024 * 1024
# Seconds an HTTP client may stay silent before its connection is dropped.
HTTP_IDLE_SECONDS = 10


class Output:
    """One JSON object per line, flushed at once, from any thread."""

    def __init__(self, stream):
        self._stream = stream
        self._lock = threading.Lock()

    def emit(self, record):
        line = json.dumps(record, sort_keys=False, ensure_ascii=False)
        with self._lock:
            self._stream.write(line + "\n")
            self._stream.flush()


def load_generated(gen_py):
    if gen_py:
        sys.path.insert(0, gen_py)
    global TType, TTransport, TCompactProtocol
    global ThriftProtocolIdentificationDTO, ThriftProbeMetaDataDTO, BlockMetaData
    from thrift.Thrift import TType
    from thrift.transport import TTransport
    from thrift.protocol import TCompactProtocol
    from handshakeDTO.ttypes import ThriftProtocolIdentificationDTO, ThriftProbeMetaDataDTO
    from blockMetaData.ttypes import BlockMetaData


def make_protocol(transport):
    """Compact protocol whose strings never fail to decode: the probe sends
    UTF-8, but the texts it reports (SQL, URLs) are not always valid."""

    class LenientCompactProtocol(TCompactProtocol.TCompactProtocol):
        def readString(self):
            return self.readBinary().decode("utf-8", errors="backslashreplace")

    return LenientCompactProtocol(transport)


def to_json(value):
    """A decoded Thrift value with its field names; absent fields left out."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("latin-1")
    if isinstance(value, list):
        return [to_json(v) for v in value]
    spec = getattr(value, "thrift_spec", None)
    if spec is None:
        return value
    out = {}
    for field in spec:
        if field is None:
            continue
        name = field[2]
        item = getattr(value, name, None)
        if item is not None:
            out[name] = to_json(item)
    return out


class EventChannelConnection:
    """The aggregator's side of one probe connection."""

    def __init__(self, sock, number, output, frames_only=False):
        self.sock = sock
        self.number = number
        self.output = output
        self.frames_only = frames_only
        self.blocks = 0

    def emit(self, record, **fields):
        line = {"connection": self.number, "record": record}
        line.update(fields)
        self.output.emit(line)

    def run(self):
        reader = self.sock.makefile("rb")
        writer = self.sock.makefile("wb")
        reason = "closed by the probe"
        try:
            transport = TTransport.TFileObjectTransport(reader)
            protocol = make_protocol(transport)
            out_protocol = make_protocol(TTransport.TFileObjectTransport(writer))

            ident = ThriftProtocolIdentificationDTO(handshakeId=AGGREGATOR_HANDSHAKE_ID,
                                                    protocolVersion=PROTOCOL_VERSION)
            ident.write(out_protocol)
            writer.flush()

            peer = ThriftProtocolIdentificationDTO()
            peer.read(protocol)
            self.emit("ThriftProtocolIdentificationDTO", **to_json(peer))

            meta = ThriftProbeMetaDataDTO()
            meta.read(protocol)
            self.emit("ThriftProbeMetaDataDTO", **to_json(meta))

            while self.read_block(reader):
                pass
        except Exception as error:  # a broken peer ends its connection only
            reason = "%s: %s" % (type(error).__name__, error)
        finally:
            self.emit("closed", blocks=self.blocks, reason=reason)
            for f in (reader, writer):
                try:
                    f.close()
                except OSError:
                    pass
            self.sock.close()

    def read_exactly(self, reader, size):
        data = b""
        while len(data) < size:
            chunk = reader.read(size - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    def read_block(self, reader):
        prefix = self.read_exactly(reader, 4)
        if prefix is None:
            return False
        (length,) = struct.unpack(">I", prefix)
        if length > MAX_FRAME_BYTES:
            raise ValueError("frame of %d bytes is too large" % length)
        body = self.read_exactly(reader, length)
        if body is None:
            raise EOFError("frame cut short")
        self.blocks += 1
        block_no = self.blocks
        if self.frames_only:
            self.emit("blockEnd", block=block_no, length=length)
            return True
        self.emit("frame", block=block_no, length=length)

        buffer = TTransport.TMemoryBuffer(body)
        block = BlockMetaData()
        block.read(make_protocol(buffer))
        left = len(body) - buffer._buffer.tell()
        if left:
            self.emit("error", block=block_no, message="%d bytes after the block" % left)
        for symbol in block.symbols or []:
            self.emit("SymbolDTO", block=block_no, **to_json(symbol))
        for location in block.locations or []:
            self.emit("LocationDTO", block=block_no, **to_json(location))
        for event in block.events or []:
            self.emit("EventDTO", block=block_no, **to_json(event))
        self.emit("blockEnd", block=block_no,
                  symbols=None if block.symbols is None else len(block.symbols),
                  locations=None if block.locations is None else len(block.locations),
                  events=None if block.events is None else len(block.events))
        return True


class EventChannelServer:
    """Accepts probe connections; each is served on its own thread, since
    every PHP worker keeps a connection of its own."""

    def __init__(self, host, port, output, frames_only=False):
        self.output = output
        self.frames_only = frames_only
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, port))
        self.listener.listen(64)
        self.host, self.port = self.listener.getsockname()[:2]
        self.connections = 0

    def serve_forever(self):
        while True:
            sock, _ = self.listener.accept()
            self.connections += 1
            connection = EventChannelConnection(sock, self.connections, self.output, self.frames_only)
            threading.Thread(target=connection.run, daemon=True).start()


def parse_body(body):
    """The parsed JSON document, or the text when the body is not JSON."""
    try:
        return json.loads(body.decode("utf-8"), parse_constant=_refuse_constant)
    except (UnicodeDecodeError, ValueError, RecursionError):
        return body.decode("utf-8", errors="backslashreplace")


def _refuse_constant(name):
    # NaN and Infinity are not JSON; printing them would break the line.
    raise ValueError("not JSON: " + name)


def make_registration_handler(output):
    class RegistrationHandler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        timeout = HTTP_IDLE_SECONDS
        server_version = "StandinAggregator"
        sys_version = ""

        def log_request(self, *args):
            pass  # requests are reported on standard output as JSON lines

        def answer(self, status):
            self.send_response(status)
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True

        def refuse(self, status, message):
            output.emit({"record": "error", "service": "registration", "method": self.command,
                         "path": self.path, "status": status, "message": message})
            self.answer(status)

        def body_length(self):
            """The announced body length, or None after refusing the request."""
            if self.headers.get("Transfer-Encoding"):
                self.refuse(411, "only bodies with a Content-Length are read")
                return None
            values = self.headers.get_all("Content-Length") or ["0"]
            value = values[0].strip()
            if len(set(values)) != 1 or not (value.isascii() and value.isdigit()):
                self.refuse(400, "bad Content-Length: %s" % ", ".join(values))
                return None
            length = int(value)
            if length > MAX_REGISTRATION_BYTES:
                self.refuse(413, "body of %d bytes is larger than %d" % (length, MAX_REGISTRATION_BYTES))
                return None
            return length

        def handle_expect_100(self):
            # Refuse an oversized body before the client sends it.
            if self.body_length() is None:
                return False
            return super().handle_expect_100()

        def do_POST(self):
            length = self.body_length()
            if length is None:
                return
            body = self.rfile.read(length) if length else b""
            if len(body) != length:
                self.close_connection = True
                output.emit({"record": "error", "service": "registration", "method": self.command,
                             "path": self.path, "message": "body cut short: %d of %d bytes" % (len(body), length)})
                return
            headers = {}
            for name, value in self.headers.items():
                headers[name] = headers[name] + ", " + value if name in headers else value
            output.emit({"record": "registration", "method": self.command, "path": self.path,
                         "headers": headers, "body": parse_body(body)})
            self.answer(200)

        def do_GET(self):
            self.answer(200)

        do_HEAD = do_GET

        def handle_one_request(self):
            try:
                super().handle_one_request()
            except OSError:
                self.close_connection = True  # the client went away or fell silent

    return RegistrationHandler


class RegistrationServer:
    """Answers the registration daemon's HTTP requests on a thread of its
    own, each request on a thread of its own."""

    def __init__(self, host, port, output):
        self.server = http.server.ThreadingHTTPServer((host, port), make_registration_handler(output))
        self.server.daemon_threads = True
        self.host, self.port = self.server.server_address[:2]

    def start(self):
        threading.Thread(target=self.server.serve_forever, daemon=True).start()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Stand-in probe aggregator: prints what the probe sends.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=2626,
                        help="event channel port (default 2626; 0 picks a free one)")
    parser.add_argument("--http-port", type=int, default=None,
                        help="also answer the registration daemon over HTTP on this port "
                             "(default: not at all; 0 picks a free one)")
    parser.add_argument("--gen-py", default=os.environ.get("QUILLET_GEN_PY", ""),
                        help="folder of the Python code generated from the event-channel definition")
    parser.add_argument("--frames-only", action="store_true",
                        help="print one blockEnd line per frame without decoding the block (for measurements: "
                             "decoding a block here costs about half a millisecond of CPU, which a real "
                             "aggregator spends on another machine)")
    args = parser.parse_args(argv)

    load_generated(args.gen_py)
    output = Output(sys.stdout)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    events = EventChannelServer(args.host, args.port, output, args.frames_only)
    registration = None
    if args.http_port is not None:
        registration = RegistrationServer(args.host, args.http_port, output)
    output.emit({"record": "listening", "service": "events", "host": events.host, "port": events.port})
    if registration:
        output.emit({"record": "listening", "service": "registration",
                     "host": registration.host, "port": registration.port})
        registration.start()
    try:
        events.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
