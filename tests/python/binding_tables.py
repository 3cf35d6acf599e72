"""The binding's classes, functions and actions held as data, and the exact messages built from them."""

# Record class -> its attributes in native field order, each with its kind:
# "text", "int32", "opaque", "opaque_size", a record class name (a nested
# record held by value) or a vector class name (a vector held by value).
RECORDS = {
    "DataServiceRequestData": [("action", "text"), ("version", "text"), ("session_key", "text")],
    "ServiceError": [("request_data", "DataServiceRequestData"), ("errorCode", "int32"), ("errorMesg", "text"), ("processingOK", "int32")],
    "VerifyAuthenticationReqData": [("url", "text"), ("signature", "text"), ("timestamp", "text"), ("session_key", "text"), ("vendor", "text"), ("error", "ServiceError")],
    "VerifyAuthenticationResData": [("service_error", "ServiceError"), ("error", "ServiceError")],
    "AuthenticationReqData": [("request_data", "DataServiceRequestData"), ("username", "text"), ("password", "text"), ("app_code", "text"), ("timestamp", "text"), ("vendor", "text"), ("error", "ServiceError")],
    "AuthenticationResData": [("service_error", "ServiceError"), ("session_key", "text"), ("secret_key", "text"), ("error", "ServiceError")],
    "LinkData": [("ref", "text"), ("url", "text")],
    "ServiceData": [("id", "text"), ("type", "text"), ("service_port", "int32"), ("service_switch", "text"), ("links", "LinkDataVector")],
    "ServiceReqData": [("request_data", "DataServiceRequestData"), ("error", "ServiceError")],
    "ServiceResData": [("services_data", "ServiceDataVector"), ("error", "ServiceError")],
    "ServiceIdReqData": [("request_data", "DataServiceRequestData"), ("id", "text"), ("error", "ServiceError")],
    "ServiceIdResData": [("service_data", "ServiceData"), ("error", "ServiceError")],
    "SmtpSettingData": [("id", "text"), ("host", "text"), ("port", "int32"), ("username", "text"), ("password", "text"), ("sender", "text"), ("need_auth", "int32"), ("need_ssl", "int32")],
    "SmtpSettingReqData": [("request_data", "DataServiceRequestData"), ("error", "ServiceError")],
    "SmtpSettingResData": [("smtp_setting_data", "SmtpSettingData"), ("error", "ServiceError")],
    "SmtpSettingIdReqData": [("request_data", "DataServiceRequestData"), ("smtp_setting_data", "SmtpSettingData"), ("error", "ServiceError")],
    "SmtpSettingIdResData": [("smtp_setting_data", "SmtpSettingData"), ("error", "ServiceError")],
    "FtpSiteData": [("id", "text"), ("host", "text"), ("port", "int32"), ("username", "text"), ("password", "text"), ("dst_path", "text"), ("passive_mode", "int32")],
    "FtpSiteReqData": [("request_data", "DataServiceRequestData"), ("error", "ServiceError")],
    "FtpSiteResData": [("ftp_site_data", "FtpSiteData"), ("error", "ServiceError")],
    "FtpSiteIdReqData": [("request_data", "DataServiceRequestData"), ("ftp_site_data", "FtpSiteData"), ("error", "ServiceError")],
    "FtpSiteIdResData": [("ftp_site_data", "FtpSiteData"), ("error", "ServiceError")],
    "ContactData": [("id", "text"), ("name", "text"), ("email", "text"), ("description", "text")],
    "ContactReqData": [("request_data", "DataServiceRequestData"), ("contact_data", "ContactData"), ("error", "ServiceError")],
    "ContactResData": [("contact_data", "ContactDataVector"), ("error", "ServiceError")],
    "ContactIdReqData": [("request_data", "DataServiceRequestData"), ("contact_data", "ContactData"), ("error", "ServiceError")],
    "ContactIdResData": [("contact_data", "ContactData"), ("error", "ServiceError")],
    "DeviceData": [("id", "text"), ("name", "text"), ("type", "text"), ("components", "StringVector")],
    "DeviceReqData": [("request_data", "DataServiceRequestData"), ("error", "ServiceError")],
    "DeviceResData": [("device_data", "DeviceDataVector"), ("error", "ServiceError")],
    "DeviceIdReqData": [("request_data", "DataServiceRequestData"), ("id", "text"), ("error", "ServiceError")],
    "DeviceIdResData": [("device_data", "DeviceData"), ("error", "ServiceError")],
    "ComponentData": [("id", "text"), ("name", "text"), ("type", "text"), ("stream_profiles", "StringVector")],
    "ComponentReqData": [("request_data", "DataServiceRequestData"), ("device_id", "text"), ("error", "ServiceError")],
    "ComponentResData": [("component_data", "ComponentDataVector"), ("error", "ServiceError")],
    "ComponentIdReqData": [("request_data", "DataServiceRequestData"), ("id", "text"), ("error", "ServiceError")],
    "ComponentIdResData": [("component_data", "ComponentData"), ("error", "ServiceError")],
    "StreamprofileData": [("id", "text"), ("rtsp_url", "text"), ("bitrates", "text"), ("quality", "text"), ("fps", "text"), ("resolution", "text"), ("format", "text")],
    "DeviceIdStreamprofileReqData": [("request_data", "DataServiceRequestData"), ("id", "text"), ("error", "ServiceError")],
    "DeviceIdStreamprofileResData": [("streamprofile_data", "StreamprofileDataVector"), ("error", "ServiceError")],
    "DeviceIdStreamprofileIdReqData": [("request_data", "DataServiceRequestData"), ("stream_id", "text"), ("device_id", "text"), ("error", "ServiceError")],
    "DeviceIdStreamprofileIdResData": [("streamprofile_data", "StreamprofileData"), ("error", "ServiceError")],
    "StreamDetailsData": [("resolution", "text"), ("format", "text")],
    "RecordData": [("id", "text"), ("start", "text"), ("end", "text"), ("stream_details", "StreamDetailsData"), ("stream_profile_id", "text"), ("rtsp_url", "text"), ("service_id", "text"), ("device_id", "text")],
    "RecordReqData": [("request_data", "DataServiceRequestData"), ("start", "text"), ("end", "text"), ("error", "ServiceError")],
    "RecordResData": [("record_data", "RecordDataVector"), ("error", "ServiceError")],
    "DeviceIdRecordReqData": [("request_data", "DataServiceRequestData"), ("id", "text"), ("start", "text"), ("end", "text"), ("error", "ServiceError")],
    "DeviceIdRecordResData": [("record_data", "RecordDataVector"), ("error", "ServiceError")],
    "AssociatedDeviceData": [("server_id", "text"), ("device_id", "text")],
    "TrackerData": [("type", "text"), ("id", "text"), ("name", "text"), ("associated_device", "AssociatedDeviceData")],
    "TrackerReqData": [("request_data", "DataServiceRequestData"), ("error", "ServiceError")],
    "TrackerResData": [("tracker_data_list", "TrackerDataVector"), ("error", "ServiceError")],
    "DeviceIdImageReqData": [("request_data", "DataServiceRequestData"), ("id", "text"), ("error", "ServiceError")],
    "DeviceIdImageResData": [("image_data", "opaque"), ("image_data_opaque_size", "opaque_size"), ("error", "ServiceError"), ("image_file_path", "text"), ("device_id", "text")],
    "RtspSettingReqData": [("request_data", "DataServiceRequestData"), ("error", "ServiceError")],
    "RtspSettingResData": [("ips", "StringVector"), ("port", "int32"), ("error", "ServiceError")],
    "AuthenticationSessionkeyReqData": [("request_data", "DataServiceRequestData"), ("session_key", "text"), ("error", "ServiceError")],
    "AuthenticationSessionkeyResData": [("service_error", "ServiceError"), ("error", "ServiceError")],
}

# Vector class -> (element kind, element type text E, element record class or
# None, the element attribute that tells record elements apart).
VECTORS = {
    "ServiceDataVector": ("record", "DataServiceNamespace::ServiceData", "ServiceData", "id"),
    "LinkDataVector": ("record", "DataServiceNamespace::LinkData", "LinkData", "ref"),
    "DeviceDataVector": ("record", "DataServiceNamespace::DeviceData", "DeviceData", "id"),
    "StreamprofileDataVector": ("record", "DataServiceNamespace::StreamprofileData", "StreamprofileData", "id"),
    "RecordDataVector": ("record", "DataServiceNamespace::RecordData", "RecordData", "id"),
    "TrackerDataVector": ("record", "DataServiceNamespace::TrackerData", "TrackerData", "id"),
    "ContactDataVector": ("record", "DataServiceNamespace::ContactData", "ContactData", "id"),
    "IntVector": ("int", "int", None, None),
    "StringVector": ("text", "std::string", None, None),
    "ComponentDataVector": ("record", "DataServiceNamespace::ComponentData", "ComponentData", "id"),
}

RECORD_VECTORS = [name for name, row in VECTORS.items() if row[0] == "record"]

# The 22 actions: name, request class, response class (the stem followed by ReqData and ResData).
ACTIONS = [(name, stem + "ReqData", stem + "ResData") for name, stem in [
    ("verify_authentication", "VerifyAuthentication"), ("authentications", "Authentication"),
    ("authentications_sessionkey", "AuthenticationSessionkey"), ("services", "Service"), ("services_id", "ServiceId"),
    ("smtp_settings", "SmtpSetting"), ("smtp_settings_id", "SmtpSettingId"), ("ftp_sites", "FtpSite"),
    ("ftp_sites_id", "FtpSiteId"), ("contacts", "Contact"), ("contacts_id", "ContactId"), ("devices", "Device"),
    ("devices_id", "DeviceId"), ("devices_id_streamprofiles", "DeviceIdStreamprofile"),
    ("devices_id_streamprofiles_id", "DeviceIdStreamprofileId"), ("records", "Record"),
    ("devices_id_records", "DeviceIdRecord"), ("trackers", "Tracker"), ("devices_id_image", "DeviceIdImage"),
    ("rtsp_setting", "RtspSetting"), ("components", "Component"), ("components_id", "ComponentId"),
]]

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
