#!/usr/bin/python3
"""Reads a whole result with pyodbc's fetchall, for orvbench's reference row.

Prints one line of key=value words: rows, cpu and wall (seconds spent in
execute + fetchall + close), rss_before_kb (resident set just before the
query), peak_kb (its high-water mark after), and with --checksum the CRC-32
that orvbench computes: every value as text followed by a zero byte, NULL as
the byte 0xFF and a zero byte, in row and column order.
"""
import argparse
import datetime
import sys
import time
import zlib

import pyodbc


def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def as_text(v):
    if isinstance(v, datetime.datetime):
        return v.isoformat(sep=" ").encode()
    if isinstance(v, (datetime.date, datetime.time)):
        return v.isoformat().encode()
    if isinstance(v, (bytes, bytearray)):
        return bytes(v)
    return str(v).encode()


def checksum(rows):
    crc = 0
    for row in rows:
        for v in row:
            if v is None:
                crc = zlib.crc32(b"\xff\x00", crc)
            else:
                crc = zlib.crc32(as_text(v) + b"\x00", crc)
    return crc


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--connect", required=True)
    p.add_argument("--query", required=True)
    p.add_argument("--init", action="append", default=[])
    p.add_argument("--checksum", action="store_true")
    a = p.parse_args()

    conn = pyodbc.connect(a.connect, autocommit=True)
    cur = conn.cursor()
    for sql in a.init:
        cur.execute(sql)
    before = status_kb("VmRSS")
    c0, w0 = time.process_time(), time.perf_counter()
    cur.execute(a.query)
    rows = cur.fetchall()
    cur.close()
    cpu, wall = time.process_time() - c0, time.perf_counter() - w0
    peak = status_kb("VmHWM")
    out = f"rows={len(rows)} cpu={cpu:.6f} wall={wall:.6f} " \
          f"rss_before_kb={before} peak_kb={peak}"
    if a.checksum:
        out += f" checksum={checksum(rows):08x}"
    print(out)
    conn.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
