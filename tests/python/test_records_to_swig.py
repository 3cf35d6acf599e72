"""The build step that turns the record table into SWIG declarations: it refuses a malformed table and leaves an
unchanged output alone.

The generator is not installed with the package, so it is loaded from the source tree.
"""

import importlib.util
import os

import pytest

from binding_tables import REPOSITORY

TABLE = REPOSITORY / "types" / "records.def"
_spec = importlib.util.spec_from_file_location("records_to_swig", REPOSITORY / "binding" / "records_to_swig.py")
records_to_swig = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(records_to_swig)

# A table that cannot be turned into declarations, and the part of the message
# that names what is wrong.
MALFORMED = [
    ("field-outside-a-record", "DS_TEXT(id)\n", ":1: field outside a record"),
    ("record-not-closed", "DS_RECORD(A)\nDS_TEXT(id)\n", ": record A is not closed"),
    ("end-of-another-record", "DS_RECORD(A)\nDS_END(B)\n", ":2: DS_END(B) closes no open record"),
    ("unknown-field-kind", "DS_RECORD(A)\nDS_FLOAT(x)\nDS_END(A)\n", "unknown field kind DS_FLOAT"),
    ("not-a-table-entry", "DS_RECORD(A)\nstruct A;\nDS_END(A)\n", ":2: not a table entry: struct A;"),
    ("field-after-flag", "DS_RECORD(A)\nDS_LOCAL_INT32(done)\nDS_TEXT(id)\nDS_END(A)\n", ":3: a field follows the flag done of A"),
]


@pytest.mark.parametrize("text, message", [row[1:] for row in MALFORMED], ids=[row[0] for row in MALFORMED])
def test_a_malformed_table_is_refused_with_its_line_and_fault(tmp_path, text, message):
    table = tmp_path / "records.def"
    table.write_text(text)
    with pytest.raises(ValueError) as raised:
        records_to_swig.read_records(table)
    expected = str(table) + message if message.startswith(":") else message
    assert str(raised.value) == expected


def test_output_is_rewritten_only_when_it_changes_so_swig_does_not_run_again(tmp_path):
    output = tmp_path / "DataServiceRecords.i"
    output.write_text("stale\n")
    assert records_to_swig.main([str(TABLE), str(output)]) == 0
    written = output.read_text()
    assert written == records_to_swig.render(records_to_swig.read_records(TABLE))
    stamp = output.stat().st_mtime_ns - 10**9
    os.utime(output, ns=(stamp, stamp))
    assert records_to_swig.main([str(TABLE), str(output)]) == 0
    assert (output.stat().st_mtime_ns, output.read_text()) == (stamp, written)
