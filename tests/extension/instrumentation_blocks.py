"""Reading the aggregator's records back as requests: the calls a block
reports, with their names, depths, flags and exception details."""

import time

import qxharness


def points(*entries):
    """A point file listing each (class or None, method) in the layer App."""
    text = ""
    for i, (cls, method) in enumerate(entries):
        text += "[e%d]\n%smethod=%s\nlayer=App\n" % (i, "class=%s\n" % cls if cls else "", method)
    return text


def _method_fields(event, kind):
    body = event[kind]
    thread = body["methodEvent"]["threadData"]
    return {
        "depth": thread["depth"],
        "location": thread["captureEvent"]["locationId"],
        "time": thread["timeInMicroseconds"],
        "body": body,
    }


class Block:
    """One request's block: symbols known on its connection so far, its
    locations and its events in order."""

    def __init__(self, connection, number, symbols):
        self.connection = connection
        self.number = number
        self.symbols = symbols  # shared per connection, grows with each block
        self.locations = {}
        self.events = []
        self.complete = False

    def name_of(self, location_id):
        loc = self.locations[location_id]
        cls = self.symbols.get(loc["calleeClassNameToken"], "?")
        method = self.symbols.get(loc["calleeMethodNameToken"], "?")
        return cls + "::" + method if cls else method

    def layer_of(self, location_id):
        return self.symbols.get(self.locations[location_id]["layerToken"], "?")

    def starts(self):
        return [e for e in self.events if e["kind"] in ("start", "remoteStart")]

    def calls(self):
        """The instrumented calls (not the request's own root method), in the
        order of their start events, as dicts: name, depth, flags, type,
        message, trace, start, end, location."""
        ends = {}
        for e in self.events:
            if e["kind"] in ("end", "remoteEnd"):
                ends[e["start"]] = e
        out = []
        for e in self.starts():
            loc = e["location"]
            if loc in self.locations and self.layer_of(loc) == "Web Tier":
                continue
            end = ends.get(e["instance"])
            out.append({
                "name": self.name_of(loc) if loc in self.locations else None,
                "depth": e["depth"],
                "flags": end["flags"] if end else None,
                "type": end.get("type") if end else None,
                "message": end.get("message") if end else None,
                "trace": end.get("trace") if end else None,
                "start": e["time"],
                "end": end["time"] if end else None,
                "location": loc,
                "end_depth": end["depth"] if end else None,
                "remote": e["kind"] == "remoteStart",
                "sql": self.symbols.get(e["arg"]) if e["kind"] == "remoteStart" else None,
                "target": self.symbols.get(e["target"]) if e["kind"] == "remoteStart" else None,
                "layer_type": (self.symbols.get(self.locations[loc].get("layerTypeId"))
                               if loc in self.locations else None),
            })
        return out

    def names(self):
        return [c["name"] for c in self.calls()]

    def sql_calls(self):
        """The reported database calls (remote method events)."""
        return [c for c in self.calls() if c["remote"]]


def blocks(records):
    """The complete blocks of the records, in arrival order."""
    symbols_by_connection = {}
    open_blocks = {}
    done = []
    for r in records:
        kind = r.get("record")
        conn = r.get("connection")
        if kind not in ("SymbolDTO", "LocationDTO", "EventDTO", "frame", "blockEnd"):
            continue
        symbols = symbols_by_connection.setdefault(conn, {})
        key = (conn, r.get("block"))
        block = open_blocks.get(key)
        if block is None:
            block = open_blocks[key] = Block(conn, r.get("block"), symbols)
        if kind == "SymbolDTO":
            symbols[r["token"]] = r["value"]
        elif kind == "LocationDTO":
            block.locations[r["id"]] = r
        elif kind == "EventDTO":
            block.events.append(_event(r))
        elif kind == "blockEnd":
            block.complete = True
            done.append(block)
            del open_blocks[key]
    return done


def _event(r):
    if "methodStartEvent" in r:
        f = _method_fields(r, "methodStartEvent")
        return {"kind": "start", "depth": f["depth"], "location": f["location"], "time": f["time"],
                "instance": f["body"]["eventInstance"]}
    if "methodEndEvent" in r:
        f = _method_fields(r, "methodEndEvent")
        b = f["body"]
        return {"kind": "end", "depth": f["depth"], "location": f["location"], "time": f["time"],
                "start": b["startEventInstanceId"], "flags": b["flags"],
                "type": b.get("exceptionType"), "message": b.get("exceptionMessage"),
                "trace": b.get("stackTrace")}
    if "remoteMethodStartEvent" in r:
        body = r["remoteMethodStartEvent"]
        inner = {"methodStartEvent": body["methodStartEvent"]}
        f = _method_fields(inner, "methodStartEvent")
        return {"kind": "remoteStart", "depth": f["depth"], "location": f["location"], "time": f["time"],
                "instance": f["body"]["eventInstance"], "arg": f["body"].get("methodArgToken"),
                "target": body.get("targetInfoToken")}
    if "remoteMethodEndEvent" in r:
        inner = {"methodEndEvent": r["remoteMethodEndEvent"]["methodEndEvent"]}
        f = _method_fields(inner, "methodEndEvent")
        b = f["body"]
        return {"kind": "remoteEnd", "depth": f["depth"], "location": f["location"], "time": f["time"],
                "start": b["startEventInstanceId"], "flags": b["flags"],
                "type": b.get("exceptionType"), "message": b.get("exceptionMessage"),
                "trace": b.get("stackTrace")}
    for name in ("httpFragmentStartEvent", "httpFragmentEndEvent", "fragmentAttributeEvent",
                 "remoteFragmentStartEvent", "remoteFragmentEndEvent", "invocationAttributeEvent"):
        if name in r:
            return {"kind": name, "body": r[name], "location": None}
    return {"kind": "unknown", "body": r, "location": None}


class InstrumentedSite(qxharness.QuilletSite):
    """A site with the aggregator and the registration block in place, that
    returns the block each request produced."""

    # Shared PHP modules loaded before the extension (php -n loads none).
    modules = ()

    def server_command(self, port, overrides=None, load_extension=True):
        cmd = super().server_command(port, overrides, load_extension)
        extra = []
        for module in self.modules:
            extra += ["-d", "extension=" + module]
        return cmd[:2] + extra + cmd[2:]

    def start(self, points, scripts, overrides=None, workers=None, modules=()):
        self.modules = tuple(modules)
        self.write_point_file(points)
        for name, text in scripts.items():
            self.write_script(name, text)
        self.start_aggregator()
        self.write_block(registered=1)
        settings = {"qx.slow_function_threshold": 50}
        settings.update(overrides or {})
        self.start_server(workers=workers, overrides=settings)

    def block_for(self, path, timeout=qxharness.DEFAULT_TIMEOUT):
        """Makes the request and returns (status, body, its block)."""
        before = len(blocks(self.records()))
        status, body, _ = self.request(path)
        deadline = time.monotonic() + timeout
        while True:
            done = blocks(self.wait_records(lambda recs: len(blocks(recs)) > before,
                                            timeout=max(0.1, deadline - time.monotonic())))
            if len(done) > before or time.monotonic() >= deadline:
                break
        if len(done) <= before:
            raise AssertionError("no block for %s\n%s" % (path, self.diagnostics()))
        return status, body, done[before]
