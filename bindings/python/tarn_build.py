"""The PEP 517 build backend of the Python binding: a wheel holding the package `tarn` (tarn.py
as its __init__, tarn.pyi as its stub, with the py.typed marker), built from the standard library
alone so that `pip install` works on a machine without network access.

Run as a program (with the library loadable, see tarn.py) it rewrites the operation methods in
tarn.pyi from the library's description of its operations."""
import base64
import hashlib
import os
import zipfile

_NAME = "tarn"
_VERSION = "0.1.0"
_HERE = os.path.dirname(os.path.abspath(__file__))
_TAG = "py3-none-any"


def _metadata():
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\n"
            "Summary: Python binding of the Tarn VPN client core (libtarn-c)\nRequires-Python: >=3.9\n"
            % (_NAME, _VERSION))


# The Python type of each argument type of the description ("json": any JSON value).
_TYPES = {"string": "str", "boolean": "bool", "integer": "int", "json": "Any"}
_BEGIN, _END = "    # BEGIN operations\n", "    # END operations\n"


def operation_stubs(described):
    """The stub of Client's operation methods, as tarn.py makes them from the description:
    required arguments first, then the optional ones (None: left out), then timeout."""
    lines = []
    for op in described:
        arguments = [a for a in op["arguments"] if a["required"]] + [a for a in op["arguments"] if not a["required"]]
        parameters = ["self"] + ["%s: %s%s" % (a["name"], _TYPES[a["type"]], "" if a["required"] else " | None = None")
                                 for a in arguments] + ["*", "timeout: float | None = None"]
        lines.append("    # %s\n" % op["summary"])
        head = "    def %s(" % op["name"]
        pieces = [p + "," for p in parameters[:-1]] + [
            parameters[-1] + ") -> Call[%s]: ..." % ("Any" if op["answers"] else "None")]
        line = head
        for piece in pieces:  # wrapped at 120 columns, continued under the first parameter
            joined = line + ("" if line.endswith("(") else " ") + piece
            if len(joined) > 120 and not line.endswith("("):
                lines.append(line + "\n")
                joined = " " * len(head) + piece
            line = joined
        lines.append(line + "\n")
    return "".join(lines)


def stub_with_operations(stub, described):
    """stub (the text of tarn.pyi) with its generated block replaced by the description's."""
    start, end = stub.index(_BEGIN) + len(_BEGIN), stub.index(_END)
    return stub[:start] + operation_stubs(described) + stub[end:]


def _read(name):
    with open(os.path.join(_HERE, name), "rb") as f:
        return f.read()


def _files():
    info = "%s-%s.dist-info" % (_NAME, _VERSION)
    return {
        "tarn/__init__.py": _read("tarn.py"),
        "tarn/__init__.pyi": _read("tarn.pyi"),
        "tarn/py.typed": b"",
        info + "/METADATA": _metadata().encode(),
        info + "/WHEEL": ("Wheel-Version: 1.0\nGenerator: tarn_build\nRoot-Is-Purelib: true\nTag: %s\n" % _TAG).encode(),
    }, info


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (name, digest, len(data))


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files, info = _files()
    name = "%s-%s-%s.whl" % (_NAME, _VERSION, _TAG)
    record = "".join(_record_line(n, d) for n, d in files.items()) + info + "/RECORD,,\n"
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for n, d in files.items():
            wheel.writestr(n, d)
        wheel.writestr(info + "/RECORD", record)
    return name


def build_sdist(sdist_directory, config_settings=None):
    raise NotImplementedError("the binding is installed from the source tree: pip install ./bindings/python")


def get_requires_for_build_wheel(config_settings=None):
    return []


if __name__ == "__main__":
    import sys
    sys.path.insert(0, _HERE)
    import tarn
    path = os.path.join(_HERE, "tarn.pyi")
    with open(path, encoding="utf-8") as f:
        text = stub_with_operations(f.read(), tarn.operations())
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
