"""Turns the record table (types/records.def) into the declarations that SWIG wraps.

Run at build time; the output lives only in the build tree. It writes one SWIG
file with three parts:

  * forward declarations of every record, so that the vector templates, which
    the module lists before the records, can name their element types;
  * the macro DS_RECORD_DECLARATIONS, the 58 structs with their fields in
    declaration order, which the interface expands after the vector templates;
  * one %ds_opaque_field(Record, field) line per opaque field, for the
    typemaps that guard the opaque setter;
  * for every local int32 field (the completion flag processingOK), an
    %extend attribute whose accessors use atomic loads and stores: an IPC
    thread raises the flag with a release store while Python polls it, so the
    getter's load must be an acquire load for the reader to see the whole
    completed record.

Usage: records_to_swig.py RECORDS_DEF OUTPUT_I
"""

import pathlib
import re
import sys

# The module lists each record's functions in this order, which scripts that
# enumerate the module rely on: the session-key records came last, after the
# RTSP records, and keep that place although the table groups them with the
# other authentication records.
LISTED_LAST = ("AuthenticationSessionkeyReqData", "AuthenticationSessionkeyResData")

ENTRY = re.compile(r"^\s*(DS_[A-Z0-9_]+)\(([^)]*)\)\s*$")


def field_lines(macro, arguments):
    """The SWIG member declarations for one field entry of the table."""
    if macro in ("DS_TEXT", "DS_LOCAL_TEXT"):
        return ["cfstring %s;" % arguments[0]]
    if macro == "DS_INT32":
        return ["int32 %s;" % arguments[0]]
    if macro == "DS_NESTED":
        return ["%s %s;" % (arguments[0], arguments[1])]
    if macro == "DS_STATUS":
        # The status is wrapped as the nested ServiceError it is.
        return ["ServiceError %s;" % arguments[0]]
    if macro == "DS_LIST":
        return ["std::vector< %s > %s;" % (arguments[0], arguments[1])]
    if macro == "DS_TEXT_LIST":
        return ["std::vector< cfstring > %s;" % arguments[0]]
    if macro == "DS_OPAQUE":
        return ["opaque %s;" % arguments[0], "opaque_size %s_opaque_size;" % arguments[0]]
    raise ValueError("unknown field kind %s" % macro)


def read_records(path):
    """[(name, [member declarations], [opaque field names], [flag field names])]
    in table order. Flag fields (local int32) are declared through %extend and
    must therefore be the record's last fields, to keep the field order."""
    records = []
    current = None
    for number, line in enumerate(path.read_text().splitlines(), start=1):
        line = line.split("//", 1)[0]
        if not line.strip():
            continue
        match = ENTRY.match(line)
        if not match:
            raise ValueError("%s:%d: not a table entry: %s" % (path, number, line.strip()))
        macro = match.group(1)
        arguments = [argument.strip() for argument in match.group(2).split(",")]
        if macro == "DS_RECORD":
            current = (arguments[0], [], [], [])
        elif macro == "DS_END":
            if current is None or current[0] != arguments[0]:
                raise ValueError("%s:%d: DS_END(%s) closes no open record" % (path, number, arguments[0]))
            records.append(current)
            current = None
        elif current is None:
            raise ValueError("%s:%d: field outside a record" % (path, number))
        elif macro == "DS_LOCAL_INT32":
            current[3].append(arguments[0])
        else:
            if current[3]:
                raise ValueError("%s:%d: a field follows the flag %s of %s"
                                 % (path, number, current[3][-1], current[0]))
            current[1].extend(field_lines(macro, arguments))
            if macro == "DS_OPAQUE":
                current[2].append(arguments[0])
    if current is not None:
        raise ValueError("%s: record %s is not closed" % (path, current[0]))
    return records


def module_order(records):
    """The records in the order the module lists them."""
    last = [record for name in LISTED_LAST for record in records if record[0] == name]
    return [record for record in records if record[0] not in LISTED_LAST] + last


FLAG_ACCESSORS = """\
static int32 DataServiceNamespace_{record}_{field}_get(DataServiceNamespace::{record} *self) {{
  return self ? __atomic_load_n(&self->{field}, __ATOMIC_ACQUIRE) : 0;
}}
static void DataServiceNamespace_{record}_{field}_set(DataServiceNamespace::{record} *self, int32 value) {{
  if (self) __atomic_store_n(&self->{field}, value, __ATOMIC_RELEASE);
}}"""


def render(records):
    out = ["/* Generated from types/records.def by binding/records_to_swig.py; do not edit. */", ""]
    out.append("namespace DataServiceNamespace {")
    out.extend("struct %s;" % record[0] for record in records)
    out.append("}")
    out.append("")
    out.append("%{")
    for name, _, _, flags in records:
        out.extend(FLAG_ACCESSORS.format(record=name, field=field) for field in flags)
    out.append("%}")
    out.append("")
    out.append("%define DS_RECORD_DECLARATIONS")
    out.append("namespace DataServiceNamespace {")
    for name, members, _, flags in module_order(records):
        out.append("struct %s {" % name)
        out.extend("  %s" % member for member in members)
        out.append("};")
        if flags:
            out.append("%%extend %s {" % name)
            out.extend("  int32 %s;" % field for field in flags)
            out.append("}")
    out.append("}")
    out.append("%enddef")
    out.append("")
    for name, _, opaque_fields, _ in records:
        out.extend("%%ds_opaque_field(%s, %s)" % (name, field) for field in opaque_fields)
    return "\n".join(out) + "\n"


def main(arguments):
    if len(arguments) != 2:
        sys.stderr.write("usage: records_to_swig.py RECORDS_DEF OUTPUT_I\n")
        return 2
    records = read_records(pathlib.Path(arguments[0]))
    output = pathlib.Path(arguments[1])
    text = render(records)
    # Leave an unchanged file alone so that SWIG does not run again.
    if not output.exists() or output.read_text() != text:
        output.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
