#!/usr/bin/python3
"""Prints what the stand-in aggregator received (its JSON lines, read from a
file) for a person: each connection's handshake, then each block with its
events, the texts their tokens stand for, and the block's locations."""

import json
import sys


def flatten(value, out):
    for k, v in value.items():
        if isinstance(v, dict):
            flatten(v, out)
        elif k not in out:
            out[k] = v
    return out


def main(path):
    known = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        records = [json.loads(line) for line in f if line.strip()]
    for r in records:
        conn = r.get("connection")
        kind = r.get("record")
        if kind == "ThriftProbeMetaDataDTO":
            print("connection %s: handshake from probe %r (id %r) on host %r, probe type %s"
                  % (conn, r.get("probeName"), r.get("probeOID"), r.get("hostname"), r.get("probeType")))
        elif kind == "frame":
            print("connection %s, block %s (%s bytes):" % (conn, r["block"], r["length"]))
        elif kind == "SymbolDTO":
            known.setdefault(conn, {})[r["token"]] = r["value"]
        elif kind == "LocationDTO":
            syms = known.get(conn, {})
            print("    location %-4s method %r layer %r class %r line %s"
                  % (r["id"], syms.get(r["calleeMethodNameToken"]), syms.get(r["layerToken"]),
                     syms.get(r["calleeClassNameToken"]), r["callerLineNumber"]))
        elif kind == "EventDTO":
            name = [k for k in r if k not in ("connection", "record", "block")][0]
            e = flatten(r[name], {})
            syms = known.get(conn, {})
            details = []
            for key in ("locationId", "depth", "eventInstance", "startEventInstanceId", "flags",
                        "httpStatusCode", "name", "value", "exceptionType", "exceptionMessage"):
                if key in e:
                    details.append("%s=%r" % (key, e[key]))
            if "uriToken" in e:
                details.append("uri=%r" % syms.get(e["uriToken"]))
            if name == "remoteMethodStartEvent":
                details.append("sql=%r target=%r" % (syms.get(e.get("methodArgToken")),
                                                     syms.get(e.get("targetInfoToken"))))
            print("    %-26s %s" % (name, " ".join(details)))
        elif kind == "blockEnd":
            print("    (%s events, %s locations, %s new symbols)" % (r["events"], r["locations"], r["symbols"]))
        elif kind in ("closed", "error"):
            print("connection %s %s: %s" % (conn, kind, r.get("reason") or r.get("message")))


if __name__ == "__main__":
    main(sys.argv[1])
