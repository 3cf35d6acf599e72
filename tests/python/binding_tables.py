"""The binding's classes, functions and actions held as data, and the exact messages built from them."""

import pathlib
import re

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
FIELD_KINDS = {"DS_TEXT": "text", "DS_LOCAL_TEXT": "text", "DS_INT32": "int32", "DS_LOCAL_INT32": "int32",
               "DS_TEXT_LIST": "StringVector"}


def read_records(path=REPOSITORY / "types" / "records.def"):
    """Record class -> its attributes in native field order, each with its kind: "text", "int32", "opaque",
    "opaque_size", a record class name (a nested record held by value) or a vector class name (a vector held by
    value). Read from the record table on its own, without the build's generator."""
    records = {}
    for macro, arguments in re.findall(r"^\s*(DS_\w+)\(([^)]*)\)", path.read_text(), re.MULTILINE):
        first, *rest = [argument.strip() for argument in arguments.split(",")]
        if macro == "DS_RECORD":
            fields = records[first] = []
        elif macro in ("DS_NESTED", "DS_LIST"):
            fields.append((rest[0], first + ("Vector" if macro == "DS_LIST" else "")))
        elif macro == "DS_STATUS":
            fields.append((first, "ServiceError"))
        elif macro == "DS_OPAQUE":
            fields += [(first, "opaque"), (first + "_opaque_size", "opaque_size")]
        elif macro != "DS_END":
            fields.append((first, FIELD_KINDS[macro]))
    return records


RECORDS = read_records()

# Vector class -> (element kind, element type text E, element record class or
# None, the element attribute that tells record elements apart).
VECTORS = {"IntVector": ("int", "int", None, None), "StringVector": ("text", "std::string", None, None)}
for element in [stem + "Data" for stem in "Service Link Device Streamprofile Record Tracker Contact Component".split()]:
    VECTORS[element + "Vector"] = ("record", "DataServiceNamespace::" + element, element, "id")
VECTORS["LinkDataVector"] = VECTORS["LinkDataVector"][:3] + ("ref",)

RECORD_VECTORS = [name for name, row in VECTORS.items() if row[0] == "record"]

# The 22 actions: name, request class, response class.
ACTIONS = re.findall(r"^DS_ACTION\((\w+), \w+, (\w+), (\w+)\)", (REPOSITORY / "client" / "actions.def").read_text(),
                     re.MULTILINE)

# The six service functions with the C type of each argument, in order.
SERVICE_FUNCTIONS = {
    "create_service": ["char *", "int", "char *", "void *"],
    "service_connect": ["void *", "char *", "int", "void *"],
    "destroy_service": ["void *"],
    "create_callback_functor": ["char *"],
    "destroy_callback_functor": ["char *", "void *"],
    "send_service_request": ["void *", "char *", "void *", "void *", "void *"],
}

# Module functions of every vector class and of the iterator class, without the class prefix.
VECTOR_METHODS = """iterator __nonzero__ __bool__ __len__ pop __getslice__ __setslice__ __delslice__ __delitem__
    __getitem__ __setitem__ append empty size clear swap get_allocator begin end rbegin rend pop_back erase front
    back push_back assign resize insert reserve capacity swigregister""".split()
ITERATOR_METHODS = """value incr decr distance equal copy next __next__ previous advance __eq__ __ne__ __iadd__
    __isub__ __add__ __sub__ swigregister""".split()

# Functions with one form and what they take after argument 1 ("element",
# "vector" and "other" stand for an element, a vector of the class under test
# and a second iterator); the flag tells whether they only read argument 1,
# which their messages then call const.
VECTOR_SINGLE_FORMS = [(name, (), True) for name in "__nonzero__ __bool__ __len__ empty size capacity".split()] + [
    ("front", (), True), ("back", (), True),
    ("get_allocator", (), True), ("__getslice__", (0, 1), False), ("__delslice__", (0, 1), False),
    ("append", ("element",), False), ("push_back", ("element",), False), ("swap", ("vector",), False),
    ("assign", (1, "element"), False), ("reserve", (1,), False),
] + [(name, (), False) for name in "iterator pop clear begin end rbegin rend pop_back".split()]
ITERATOR_SINGLE_FORMS = [("value", (), True), ("copy", (), True), ("__add__", (1,), True)] + [
    (name, ("other",), True) for name in "distance equal __eq__ __ne__".split()] + [
    (name, (), False) for name in "next __next__ previous".split()] + [
    (name, (1,), False) for name in "advance __iadd__ __isub__".split()]

# Overloaded vector functions: the prototypes in the order in which they are
# tried, "; "-separated; {S} stands for the vector's short type, {L} for its long type.
VECTOR_OVERLOADS = {
    "__getitem__": "{S}::__getitem__(PySliceObject *); {S}::__getitem__({S}::difference_type) const",
    "__setitem__": "{S}::__setitem__(PySliceObject *,{L} const &); {S}::__setitem__(PySliceObject *); "
    "{S}::__setitem__({S}::difference_type,{S}::value_type const &)",
    "__delitem__": "{S}::__delitem__({S}::difference_type); {S}::__delitem__(PySliceObject *)",
    "__setslice__": "{S}::__setslice__({S}::difference_type,{S}::difference_type,{L} const &); "
    "{S}::__setslice__({S}::difference_type,{S}::difference_type)",
    "erase": "{S}::erase({S}::iterator); {S}::erase({S}::iterator,{S}::iterator)",
    "new": "{S}::vector(); {S}::vector({S} const &); {S}::vector({S}::size_type); "
    "{S}::vector({S}::size_type,{S}::value_type const &)",
    "resize": "{S}::resize({S}::size_type); {S}::resize({S}::size_type,{S}::value_type const &)",
    "insert": "{S}::insert({S}::iterator,{S}::value_type const &); "
    "{S}::insert({S}::iterator,{S}::size_type,{S}::value_type const &)",
}


def kind_class(kind):
    """Tells the family of an attribute kind: text, int32, opaque, opaque_size, record or vector."""
    if kind in RECORDS:
        return "record"
    return "vector" if kind in VECTORS else kind


def attributes(kinds=None):
    """Every (class, attribute, kind) of the record table, optionally only those of some kind families."""
    return [(cls, name, kind) for cls, fields in RECORDS.items() for name, kind in fields
            if kinds is None or kind_class(kind) in kinds]


def attribute_id(row):
    return "%s.%s" % row[:2]


def short_type(vector):
    """The vector's type as messages write it: std::vector< E >; long_type adds the allocator."""
    return "std::vector< %s >" % VECTORS[vector][1]


def long_type(vector):
    return "std::vector< {0},std::allocator< {0} > >".format(VECTORS[vector][1])


def record_type_text(record):
    return "DataServiceNamespace::%s *" % record


def field_type_text(kind):
    """The native type named in a record setter's argument-2 message for a field of this kind."""
    family = kind_class(kind)
    if family in ("int32", "opaque", "opaque_size"):
        return family
    if family in ("text", "record"):
        return "cfstring const &" if family == "text" else record_type_text(kind)
    element = "cfstring" if kind == "StringVector" else "DataServiceNamespace::" + VECTORS[kind][2]
    return "std::vector< {0},std::allocator< {0} > > *".format(element)


def argument_message(function, position, type_text):
    return "in method '%s', argument %d of type '%s'" % (function, position, type_text)


def null_message(function, position, type_text):
    return "invalid null reference " + argument_message(function, position, type_text)


def overload_message(function, prototypes):
    return "Wrong number or type of arguments for overloaded function '%s'.\n  Possible C/C++ prototypes are:\n%s" % (
        function, "".join("    %s\n" % prototype for prototype in prototypes)
    )


def vector_overload_message(vector, method):
    function = "new_" + vector if method == "new" else "%s_%s" % (vector, method)
    prototypes = VECTOR_OVERLOADS[method].format(S=short_type(vector), L=long_type(vector)).split("; ")
    return overload_message(function, prototypes)
