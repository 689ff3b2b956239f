"""The build backend of kelvra-logging (PEP 517), kept in the source tree and made of the
standard library only, so `pip install ./clients/python` needs no package index and no
setuptools or wheel: it packs the one module and its metadata into a wheel."""

import base64
import hashlib
import os
import tarfile
import zipfile

NAME = "kelvra_logging"
DIST = "kelvra-logging"
VERSION = "0.1.0"
MODULES = ["kelvra_logging.py"]
HERE = os.path.dirname(os.path.abspath(__file__))
SUMMARY = "A logging handler and record sender for the Kelvra Log Server (standard library only)"


def _metadata():
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nRequires-Python: >=3.8\n"
            % (DIST, VERSION, SUMMARY))


def _wheel_file():
    return ("Wheel-Version: 1.0\nGenerator: kelvra_build\nRoot-Is-Purelib: true\n"
            "Tag: py3-none-any\n")


def _dist_info():
    return "%s-%s.dist-info" % (NAME, VERSION)


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info = os.path.join(metadata_directory, _dist_info())
    os.makedirs(info, exist_ok=True)
    with open(os.path.join(info, "METADATA"), "w") as out:
        out.write(_metadata())
    with open(os.path.join(info, "WHEEL"), "w") as out:
        out.write(_wheel_file())
    return _dist_info()


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (path, digest, len(data))


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    filename = "%s-%s-py3-none-any.whl" % (NAME, VERSION)
    entries = []
    for module in MODULES:
        with open(os.path.join(HERE, module), "rb") as source:
            entries.append((module, source.read()))
    entries.append((_dist_info() + "/METADATA", _metadata().encode()))
    entries.append((_dist_info() + "/WHEEL", _wheel_file().encode()))
    record_path = _dist_info() + "/RECORD"
    record = "".join(_record_line(path, data) for path, data in entries) + record_path + ",,\n"
    entries.append((record_path, record.encode()))
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        for path, data in entries:
            wheel.writestr(path, data)
    return filename


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, VERSION)
    filename = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz") as sdist:
        for name in MODULES + ["kelvra_build.py", "pyproject.toml", "README.md"]:
            sdist.add(os.path.join(HERE, name), arcname=base + "/" + name)
        pkg_info = os.path.join(sdist_directory, "PKG-INFO")
        with open(pkg_info, "w") as out:
            out.write(_metadata())
        sdist.add(pkg_info, arcname=base + "/PKG-INFO")
        os.remove(pkg_info)
    return filename
