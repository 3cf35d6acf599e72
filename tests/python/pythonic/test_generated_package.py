"""What the build generates from the record and action tables: the action map, the frozen dataclasses and the
raw module's stubs agree with the module and the tables they come from."""

import ast
import dataclasses
import pathlib

import pytest

import DataServicePyWrapper as ds
from binding_tables import ACTIONS, RECORDS, SERVICE_FUNCTIONS
from dataservice import _actions, records

STUBS = ast.parse(pathlib.Path(ds.__file__).with_suffix(".pyi").read_text())
STUB_CLASSES = {node.name: node for node in STUBS.body if isinstance(node, ast.ClassDef)}


def test_the_action_map_is_the_action_table():
    assert [(a.name, a.request_type, a.response_type) for a in _actions.ACTIONS.values()] == ACTIONS


@pytest.mark.parametrize("record", sorted(RECORDS))
def test_stubs_declare_each_record_class_with_the_modules_attributes_in_order(record):
    declared = [node.target.id for node in STUB_CLASSES[record].body if isinstance(node, ast.AnnAssign)]
    assert declared == ["thisown"] + [name for name, _ in RECORDS[record]]
    assert all(hasattr(getattr(ds, record)(), name) for name in declared)


def test_stubs_declare_the_six_service_functions_with_their_arguments():
    functions = {node.name: len(node.args.args) for node in STUBS.body if isinstance(node, ast.FunctionDef)}
    assert functions == {name: len(arguments) for name, arguments in SERVICE_FUNCTIONS.items()}


@pytest.mark.parametrize("record", sorted(RECORDS))
def test_every_record_is_a_frozen_dataclass_whose_fields_are_module_attributes(record):
    cls = records.RECORD_CLASSES[record]
    instance = cls()
    names = [field.name for field in dataclasses.fields(cls)]
    assert set(names) <= {name for name, _ in RECORDS[record]} and "error" not in names
    assert list(instance.to_dict()) == names
    if names:
        with pytest.raises(dataclasses.FrozenInstanceError):
            setattr(instance, names[0], None)


def test_to_dict_turns_nested_records_and_lists_into_plain_values():
    tracker = records.TrackerResData([records.TrackerData("plate", "trk-1", "Gate", records.AssociatedDeviceData(
        "analytics-1", "cam-01"))])
    assert tracker.to_dict() == {"tracker_data_list": [{"type": "plate", "id": "trk-1", "name": "Gate",
                                                        "associated_device": {"server_id": "analytics-1",
                                                                              "device_id": "cam-01"}}]}
