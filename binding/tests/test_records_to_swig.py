"""The generator that turns the record table into the declarations SWIG wraps."""

import pathlib
import sys

import pytest

import DataServicePyWrapper as ds

BINDING = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(BINDING))

import records_to_swig  # noqa: E402

TABLE = BINDING.parent / "types" / "records.def"
RECORDS = records_to_swig.read_records(TABLE)


def attributes(cls):
    return [name for name, value in vars(cls).items() if isinstance(value, property) and name != "thisown"]


def field_names(members):
    return [member.rstrip(";").split()[-1] for member in members]


class TestTable:
    def test_every_record_of_the_table_is_a_class_with_its_fields_in_order(self):
        assert len(RECORDS) == 58
        classes = {name: attributes(getattr(ds, name)) for name, _, _ in RECORDS}
        assert classes == {name: field_names(members) for name, members, _ in RECORDS}

    def test_module_lists_the_session_key_records_last(self):
        order = [name for name, _, _ in records_to_swig.module_order(RECORDS)]
        assert order[-2:] == list(records_to_swig.LISTED_LAST)
        assert sorted(order) == sorted(name for name, _, _ in RECORDS)

    def test_opaque_fields_get_their_guard(self):
        text = records_to_swig.render(RECORDS)
        assert "%ds_opaque_field(DeviceIdImageResData, image_data)" in text
        assert "opaque image_data;\n  opaque_size image_data_opaque_size;" in text


MALFORMED = [
    ("DS_TEXT(id)\n", "field outside a record"),
    ("DS_RECORD(A)\nDS_TEXT(id)\n", "record A is not closed"),
    ("DS_RECORD(A)\nDS_END(B)\n", "DS_END(B) closes no open record"),
    ("DS_RECORD(A)\nDS_FLOAT(x)\nDS_END(A)\n", "unknown field kind DS_FLOAT"),
    ("DS_RECORD(A)\nstruct A;\nDS_END(A)\n", "not a table entry: struct A;"),
]


@pytest.mark.parametrize("text, message", MALFORMED, ids=[row[1] for row in MALFORMED])
def test_malformed_tables_are_reported(tmp_path, text, message):
    table = tmp_path / "records.def"
    table.write_text(text)
    with pytest.raises(ValueError) as raised:
        records_to_swig.read_records(table)
    assert message in str(raised.value)


def test_an_unchanged_output_is_not_rewritten(tmp_path):
    output = tmp_path / "DataServiceRecords.i"
    assert records_to_swig.main([str(TABLE), str(output)]) == 0
    output.write_text(output.read_text())
    stamp = output.stat().st_mtime_ns
    assert records_to_swig.main([str(TABLE), str(output)]) == 0
    assert output.stat().st_mtime_ns == stamp
