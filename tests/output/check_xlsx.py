#!/usr/bin/python3
"""Checks a workbook with an independent reader (openpyxl).

usage: check_xlsx.py WORKBOOK EXPECTATIONS

EXPECTATIONS holds one expectation per line, fields separated by tabs:
  sheets   NAME|NAME|...            the sheets, in order
  number   SHEET CELL VALUE         a number (not text, not a date) equal to VALUE
  date     SHEET CELL SERIAL        a number shown as a date, equal to the day count SERIAL
  text     SHEET CELL VALUE         a text
  formula  SHEET CELL FORMULA       a formula with exactly this text
  hasref   SHEET CELL TEXT          a formula whose text contains TEXT
  empty    SHEET CELL               no value
  result   SHEET CELL VALUE         the stored result of the cell's formula: a number equal
                                    to VALUE (relative tolerance 1e-9)
  noresult SHEET CELL               the formula's stored result is empty (no number, no text)
  format   SHEET CELL NUMFORMAT     the cell's number format
  name     NAME DESTINATION         a defined name ("SHEET!NAME" for a sheet's own name)
  noname   NAME
  merged   SHEET RANGE              a merged range
  charts   SHEET COUNT              number of charts on the sheet
  nopart   PART                     the archive has no such part
  contains PART TEXT                the part's XML contains TEXT
  samepart PART OTHER_WORKBOOK      the part is byte-identical in both archives
Prints one line per failed expectation and exits with 1 when any failed.
"""

import datetime
import sys
import zipfile

import openpyxl
from openpyxl.utils.datetime import to_excel


def defined_names(wb):
    """{(sheet or None, name): destination text} for openpyxl 3.0 and 3.1."""
    out = {}
    dn = wb.defined_names
    if hasattr(dn, "definedName"):  # 3.0: one list with localSheetId
        for d in dn.definedName:
            sheet = None if d.localSheetId is None else wb.sheetnames[int(d.localSheetId)]
            out[(sheet, d.name)] = d.attr_text
    else:  # 3.1: workbook names plus names per sheet
        for name, d in dn.items():
            out[(None, name)] = d.attr_text
        for ws in wb.worksheets:
            for name, d in ws.defined_names.items():
                out[(ws.title, name)] = d.attr_text
    return out


def close(a, b):
    return abs(a - b) <= 1e-9 * max(1.0, abs(a), abs(b))


def check(path, lines):
    wb = openpyxl.load_workbook(path)
    results = None  # the same workbook with formulas replaced by their stored results
    archive = zipfile.ZipFile(path)
    names = defined_names(wb)
    fails = []

    def cell(sheet, ref):
        if sheet not in wb.sheetnames:
            fails.append("no sheet %s" % sheet)
            return None
        return wb[sheet][ref]

    for line in lines:
        if not line.strip():
            continue
        f = line.split("\t")
        kind, args = f[0], f[1:]
        where = " ".join(args[:2])
        if kind == "sheets":
            if wb.sheetnames != args[0].split("|"):
                fails.append("sheets are %s" % wb.sheetnames)
        elif kind in ("number", "date", "text", "formula", "hasref", "empty", "format"):
            c = cell(args[0], args[1])
            if c is None:
                continue
            v = c.value
            if kind == "number":
                ok = isinstance(v, (int, float)) and not isinstance(v, bool) and not c.is_date
                if not ok or not close(float(v), float(args[2])):
                    fails.append("%s: expected number %s, found %r" % (where, args[2], v))
            elif kind == "date":
                ok = isinstance(v, datetime.datetime) and c.is_date
                if not ok or not close(to_excel(v), float(args[2])):
                    fails.append("%s: expected date %s, found %r" % (where, args[2], v))
            elif kind == "text":
                if c.data_type != "s" or v != args[2]:
                    fails.append("%s: expected text %r, found %r" % (where, args[2], v))
            elif kind == "formula":
                if c.data_type != "f" or v != args[2]:
                    fails.append("%s: expected formula %s, found %r" % (where, args[2], v))
            elif kind == "hasref":
                if c.data_type != "f" or args[2] not in v:
                    fails.append("%s: expected formula with %s, found %r" % (where, args[2], v))
            elif kind == "empty":
                if v is not None:
                    fails.append("%s: expected empty, found %r" % (where, v))
            elif kind == "format":
                if c.number_format != args[2]:
                    fails.append("%s: expected format %s, found %s" % (where, args[2], c.number_format))
        elif kind in ("result", "noresult"):
            if results is None:
                results = openpyxl.load_workbook(path, data_only=True)
            if args[0] not in results.sheetnames:
                fails.append("no sheet %s" % args[0])
                continue
            v = results[args[0]][args[1]].value
            if kind == "result":
                ok = isinstance(v, (int, float)) and not isinstance(v, bool)
                if not ok or not close(float(v), float(args[2])):
                    fails.append("%s: expected result %s, found %r" % (where, args[2], v))
            elif v not in (None, ""):
                fails.append("%s: expected an empty result, found %r" % (where, v))
        elif kind in ("name", "noname"):
            sheet, _, name = args[0].rpartition("!")
            key = (sheet or None, name)
            if kind == "noname":
                if key in names:
                    fails.append("name %s exists" % args[0])
            elif names.get(key) != args[1]:
                fails.append("name %s: expected %s, found %s" % (args[0], args[1], names.get(key)))
        elif kind == "merged":
            ranges = [str(r) for r in wb[args[0]].merged_cells.ranges]
            if args[1] not in ranges:
                fails.append("%s: no merged range %s in %s" % (args[0], args[1], ranges))
        elif kind == "charts":
            n = len(wb[args[0]]._charts)
            if n != int(args[1]):
                fails.append("%s: %d charts, expected %s" % (args[0], n, args[1]))
        elif kind == "nopart":
            if args[0] in archive.namelist():
                fails.append("part %s present" % args[0])
        elif kind == "contains":
            text = archive.read(args[0]).decode("utf-8")
            if args[1] not in text:
                fails.append("part %s lacks %s" % (args[0], args[1]))
        elif kind == "samepart":
            other = zipfile.ZipFile(args[1])
            if archive.read(args[0]) != other.read(args[0]):
                fails.append("part %s differs from %s" % (args[0], args[1]))
        else:
            fails.append("unknown expectation %s" % kind)
    return fails


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    with open(sys.argv[2], encoding="utf-8") as fh:
        lines = fh.read().split("\n")
    try:
        fails = check(sys.argv[1], lines)
    except Exception as e:  # an unreadable workbook is a failed check, with the reason
        fails = ["cannot read %s: %s: %s" % (sys.argv[1], type(e).__name__, e)]
    for f in fails:
        print(f)
    return 1 if fails else 0


if __name__ == "__main__":
    sys.exit(main())
