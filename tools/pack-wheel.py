"""Packs a cross-built extension module with the pure-Python package into a wheel.

    pack-wheel.py MODULE TAG OUTDIR

MODULE is the built extension (tamarels.cp313-win_amd64.pyd), TAG the wheel's tag
(cp313-cp313-win_amd64). The metadata comes from pyproject.toml and README.md, as
the native build's wheel has it.
"""

import base64
import hashlib
import pathlib
import sys
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
    ]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {d}" for d in project.get("dependencies", [])]
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f"Requires-Dist: {r}; extra == \"{extra}\"" for r in requirements]
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + (ROOT / "README.md").read_text(encoding="utf-8")


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(module, tag, outdir):
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    name, version = project["name"], project["version"]
    dist_info = f"{name}-{version}.dist-info"
    files = {}
    package = ROOT / "python" / "tamareltools"
    for path in sorted(package.rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts:
            files[f"tamareltools/{path.relative_to(package).as_posix()}"] = path.read_bytes()
    module = pathlib.Path(module)
    files[f"tamareltools/{module.name}"] = module.read_bytes()
    files[f"{dist_info}/METADATA"] = metadata(project).encode()
    files[f"{dist_info}/WHEEL"] = (
        f"Wheel-Version: 1.0\nGenerator: tamareltools pack-wheel\n"
        f"Root-Is-Purelib: false\nTag: {tag}\n").encode()
    record = [record_line(n, d) for n, d in files.items()] + [f"{dist_info}/RECORD,,"]
    files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()

    outdir = pathlib.Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    wheel = outdir / f"{name}-{version}-{tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for n, d in files.items():
            info = zipfile.ZipInfo(n, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, d)
    print(wheel)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
