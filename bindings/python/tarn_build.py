"""The PEP 517 build backend of the Python binding: a wheel holding the package `tarn` (tarn.py
as its __init__, with the py.typed marker), built from the standard library alone so that
`pip install` works on a machine without network access."""
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


def _files():
    with open(os.path.join(_HERE, "tarn.py"), "rb") as f:
        module = f.read()
    info = "%s-%s.dist-info" % (_NAME, _VERSION)
    return {
        "tarn/__init__.py": module,
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
