#!/usr/bin/python3
"""Imports an Access file (.mdb or .accdb) with kro into a MariaDB database and compares
every table with what MDB Tools reads from the file: row counts with mdb-count, values
with mdb-export (numbers by value, dates and times as text, texts byte for byte, OLE
objects as hex). Prints one line per table and exits 1 when any table differs.

Needs: kro, mdbtools (mdb-tables, mdb-count, mdb-export), the mariadb client, and the MDB
Tools ODBC driver registered with unixODBC (Debian: odbc-mdbtools registers "MDBTools").

  scripts/compare-access.py FILE --database DB [--host H] [--port P | --socket S]
                            [--user U] [--password PW] [--kro PATH] [--no-import]

With --no-import the database is compared as it is. The database is dropped and made
again by the import; never point it at a database you need.
"""
import argparse
import decimal
import os
import subprocess
import sys
import tempfile
from xml.sax.saxutils import escape

FIELD, ROW, NULL = "\x1f", "\x1e", "\x1d"
NUMERIC = {"tinyint", "smallint", "mediumint", "int", "bigint", "decimal"}
FLOATING = {"double", "float"}


def run(args, **kwargs):
    result = subprocess.run(args, capture_output=True, **kwargs)
    if result.returncode != 0:
        sys.exit("%s failed: %s" % (args[0], result.stderr.decode(errors="replace").strip()))
    return result.stdout


class Target:
    def __init__(self, options):
        self.options = options
        self.base = ["mariadb", "--default-character-set=utf8mb4", "-u", options.user]
        if options.socket:
            self.base += ["-S", options.socket]
        else:
            self.base += ["-h", options.host, "-P", str(options.port)]
        self.env = dict(os.environ, MYSQL_PWD=options.password)

    def execute(self, sql):
        return run(self.base + ["-e", sql], env=self.env)

    # One value per field: "N" for NULL, else "V" and the value's bytes in hex, so that no
    # byte of a value can be taken for a separator.
    def rows(self, sql):
        out = run(self.base + ["-B", "-N", "-e", sql], env=self.env).decode()
        rows = []
        for line in out.split("\n"):
            if not line:
                continue
            rows.append([None if f == "N" else bytes.fromhex(f[1:]) for f in line.split("\t")])
        return rows


def backquoted(name):
    return "`" + name.replace("`", "``") + "`"


def target_name(table):
    return table.replace(".", "_").replace("/", "_").replace("\\", "_")


def import_file(options, target):
    target.execute("DROP DATABASE IF EXISTS %s" % backquoted(options.database))
    with tempfile.TemporaryDirectory() as work:
        job = os.path.join(work, "job.xml")
        with open(job, "w", encoding="utf-8") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<job><odbcimport><source>'
                    "<host>%s</host><port>%d</port><user>%s</user><pwd>%s</pwd><database>%s</database></source>"
                    '<dsn type="access"><name>%s</name></dsn><tables all="yes"/></odbcimport></job>\n'
                    % (escape(options.host), options.port, escape(options.user), escape(options.password),
                       escape(options.database), escape(os.path.abspath(options.file))))
        result = subprocess.run([options.kro, job, "-l" + os.path.join(work, "kro.log"),
                                 "-s" + os.path.join(work, "session.xml")], capture_output=True, cwd=work)
        sys.stdout.write(result.stdout.decode(errors="replace"))
        print("kro exit code: %d" % result.returncode)
        return result.returncode


# A value of a column in a form both sides give alike; mdb-export shows binary values in hex.
def normal(kind, value, exported):
    if value is None:
        return None
    if kind in NUMERIC:
        return decimal.Decimal(value.decode())
    if kind in FLOATING:
        return float(value.decode())
    if kind.endswith("blob"):
        return value.decode().upper() if exported else value.hex().upper()
    return value


def exported_rows(options, table):
    out = run(["mdb-export", "-Q", "-d", FIELD, "-R", ROW, "-0", NULL, "-b", "hex", "-D", "%Y-%m-%d %H:%M:%S",
               "-T", "%Y-%m-%d %H:%M:%S", options.file, table])
    records = out.split(ROW.encode())
    if records and records[-1] in (b"", b"\n"):
        records.pop()
    header = records[0].decode().split(FIELD)
    rows = [[None if f == NULL.encode() else f for f in r.split(FIELD.encode())] for r in records[1:]]
    return header, rows


def compare_table(options, target, table):
    name = target_name(table)
    expected_count = int(run(["mdb-count", options.file, table]).decode().strip())
    columns = target.rows("SELECT CONCAT('V', HEX(COLUMN_NAME)), CONCAT('V', HEX(DATA_TYPE)) FROM information_schema.COLUMNS WHERE"
                          " TABLE_SCHEMA = '%s' AND TABLE_NAME = '%s' ORDER BY ORDINAL_POSITION"
                          % (options.database.replace("'", "''"), name.replace("'", "''")))
    if not columns:
        return "missing on the target (mdb-count %d rows)" % expected_count
    kinds = {c[0].decode(): c[1].decode().lower() for c in columns}
    header, exported = exported_rows(options, table)
    if set(header) != set(kinds):
        return "columns differ: file %s, target %s" % (header, list(kinds))
    fields = []
    for column in header:
        kind, quoted = kinds[column], backquoted(column)
        if kind == "datetime":
            value = "DATE_FORMAT(%s, '%%Y-%%m-%%d %%H:%%i:%%s')" % quoted
        elif kind == "date":
            # A Date/Time column of the Short Date format: any time the file holds is lost.
            value = "DATE_FORMAT(%s, '%%Y-%%m-%%d 00:00:00')" % quoted
        elif kind.endswith("blob"):
            value = quoted
        else:
            value = "CAST(%s AS CHAR)" % quoted
        fields.append("IF(%s IS NULL, 'N', CONCAT('V', HEX(%s)))" % (quoted, value))
    imported = target.rows("SELECT %s FROM %s.%s" % (", ".join(fields), backquoted(options.database), backquoted(name)))
    count = len(imported)
    if count != expected_count or len(exported) != expected_count:
        return "row count: mdb-count %d, mdb-export %d, target %d" % (expected_count, len(exported), count)

    def key(row):
        return [(v is None, repr(v)) for v in row]

    file_rows = sorted(([normal(kinds[c], v, True) for c, v in zip(header, row)] for row in exported), key=key)
    target_rows = sorted(([normal(kinds[c], v, False) for c, v in zip(header, row)] for row in imported), key=key)
    for a, b in zip(file_rows, target_rows):
        if a != b:
            diff = [(c, x, y) for c, x, y in zip(header, a, b) if x != y]
            return "values differ, first in %s: file %r, target %r" % diff[0]
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file")
    parser.add_argument("--database", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=3306)
    parser.add_argument("--socket")
    parser.add_argument("--user", default=os.environ.get("USER", "root"))
    parser.add_argument("--password", default="")
    parser.add_argument("--kro", default="kro")
    parser.add_argument("--no-import", action="store_true")
    options = parser.parse_args()
    target = Target(options)
    status = 0
    if not options.no_import and import_file(options, target) != 0:
        status = 1
    tables = [t for t in run(["mdb-tables", "-1", options.file]).decode().split("\n") if t]
    for table in tables:
        problem = compare_table(options, target, table)
        print("%-40s %s" % (table, "equal (%s rows)" % run(["mdb-count", options.file, table]).decode().strip()
                            if problem is None else "DIFFERS: " + problem))
        if problem is not None:
            status = 1
    sys.exit(status)


if __name__ == "__main__":
    main()
