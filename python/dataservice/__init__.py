"""The data service client for Python; the native layer is the module DataServicePyWrapper.

DEFINITION_FILE is the path of the installed "ConfigSerializationDef.txt", the schema that a
service loads when it is created (create_service's third argument).
"""

import os

DEFINITION_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ConfigSerializationDef.txt")

__all__ = ["DEFINITION_FILE"]
