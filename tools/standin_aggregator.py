#!/usr/bin/python3
"""Stand-in probe aggregator.

Listens for the probe's event channel, plays the aggregator's side of the
handshake and prints every record it receives as one JSON object per line on
standard output: the handshake records, then for each block its frame, its
symbols, its locations and its events, with their field names.

Run it with the system interpreter (/usr/bin/python3), which has Debian's
python3-thrift, and point it at the Python code generated from the
event-channel definition (the build puts it in <build>/tools/gen-py):

    /usr/bin/python3 tools/standin_aggregator.py --gen-py build/tools/gen-py --port 2626

With --port 0 a free port is picked. The first line printed always names the
port listened on. Every line is a JSON object with a "record" key:

  listening                        the address listened on ("host", "port")
  ThriftProtocolIdentificationDTO  the probe's identification (per connection)
  ThriftProbeMetaDataDTO           the probe's metadata
  frame                            a block's frame: "block" number, "length"
  SymbolDTO, LocationDTO, EventDTO one line per record of the block, with the
                                   fields the probe set (nested by name)
  blockEnd                         the block's list sizes
  error, closed                    a problem with a frame; the connection ended

Records of a connection carry its number as "connection" (each PHP worker
keeps a connection of its own).
"""

import argparse
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

    def __init__(self, sock, number, output):
        self.sock = sock
        self.number = number
        self.output = output
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

    def __init__(self, host, port, output):
        self.output = output
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
            connection = EventChannelConnection(sock, self.connections, self.output)
            threading.Thread(target=connection.run, daemon=True).start()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Stand-in probe aggregator: prints what the probe sends.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=2626,
                        help="event channel port (default 2626; 0 picks a free one)")
    parser.add_argument("--gen-py", default=os.environ.get("QUILLET_GEN_PY", ""),
                        help="folder of the Python code generated from the event-channel definition")
    args = parser.parse_args(argv)

    load_generated(args.gen_py)
    output = Output(sys.stdout)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    events = EventChannelServer(args.host, args.port, output)
    output.emit({"record": "listening", "service": "events", "host": events.host, "port": events.port})
    # The probe's registration (HTTP) endpoint will be served beside the
    # event channel, on a thread of its own, when the daemon needs it.
    try:
        events.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
